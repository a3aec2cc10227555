// PV Access values as Tcl values, and Tcl values into PV Access fields; on
// the interpreter's thread only.
#pragma once

#include "pva.h"

#include <pv/bitSet.h>
#include <pv/pvData.h>

namespace tessaly {
namespace pva {

namespace pvd = epics::pvData;

// The value of a top structure, by its kind:
//   NTScalar, NTScalarArray   its value (a list for an array)
//   NTEnum                    its choice (the index with form.index)
//   NTTable                   {labels {..} columns {NAME LIST ...}}
//   NTNDArray                 {value BYTES type T dimension {..} uniqueId N
//                              timestamp S codec NAME attribute {NAME V ...}}
//   any other structure       nested dicts of its fields
// With form.meta, a dict of value, severity, status, timestamp, userTag and
// what the structure has of units, precision, description, display,
// warning, alarm, control and states.
// `valid`, when given, marks the fields the server set: -meta leaves out
// those it did not (a -request that asked for fewer).
Tcl_Obj* readValue(const pvd::PVStructure& root, const Form& form, const pvd::BitSet* valid = nullptr);

// A structure's type as info gives it: {type ID fields {NAME TYPE ...}},
// a nested structure's TYPE being its own {type ID fields {...}}.
Tcl_Obj* typeDict(const pvd::StructureConstPtr& type);

// Converts `value` into `target`: scalars by Tcl's rules (integers with a
// leading zero read as decimal, range-checked), arrays from a list, an
// enum (index and choices) from its choice or its index, a byte array
// from text with `text`.  False with the reason.
bool fillField(pvd::PVField& target, Tcl_Obj* value, bool text, std::string& why);

}  // namespace pva
}  // namespace tessaly
