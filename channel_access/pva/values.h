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
// `pixels`, when given, is a monitor's byte array of an image's last
// pixels: new pixels are copied into it when no script holds it any more
// (its memory is used again, not allocated and freed each frame), into a
// new one otherwise; with `fresh` false the update left the pixels alone
// and the same byte array is given again.
struct Pixels {
    Tcl_Obj* bytes = nullptr;  // our reference, or null
    bool fresh = true;
};
Tcl_Obj* readValue(const pvd::PVStructure& root, const Form& form, const pvd::BitSet* valid = nullptr,
                   Pixels* pixels = nullptr);

// Whether the structure is an NTNDArray.
bool isImage(const pvd::PVStructure& root);
// The field of an image that holds its pixels (its `value` union), or null.
const pvd::PVField* pixelField(const pvd::PVStructure& root);
// Lets go of an image's pixel array (the structure keeps an empty one), so
// that the library's buffer has no other owner and takes the next frame in
// place.  The bytes it had.
std::size_t dropPixels(const pvd::PVStructure& root);

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
