// Circuits closed by clears (circuits.cpp).  A command that clears channels
// calls beforeClearing, then clearChannel (ca_clear_channel, noting the
// channel's server) for each, then afterClearing once their slots are free;
// a create calls settleCircuits before its first request.  A reset forgets
// them (the feature's context hook).
#pragma once

#include "../core/registry.h"

namespace tessaly {

void beforeClearing();
void clearChannel(chid channel);
void afterClearing();
void settleCircuits();

extern const Feature kClosingCircuits;

}  // namespace tessaly
