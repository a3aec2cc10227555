// The PV table's filling, for the PV file parser.
#pragma once

#include "pv_store.h"

namespace ca {

// Empties the table (freeing the arrays' elements).
void pv_clear();
// Appends a copy of pv (which owns its elements from then on); false when full.
bool pv_add(const Pv& pv);

}  // namespace ca
