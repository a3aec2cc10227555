// A value with its metadata, as a dict (a list of keys and values, which
// every Tcl from 8.4 reads): value, severity, status, timestamp, and where
// the channel's type has them units, precision, display, warning, alarm,
// control ({low high} each) and states.
#pragma once

#include "forms.h"

namespace tessaly {

// `timed` holds a TIME_ form of `count` elements (the form's time type);
// `control` the form's control type, or null where it has none.
Tcl_Obj* metaDict(const ValueForm& form, const void* timed, long count, const void* control);

// Appends a key and its value to a dict being built.
void putKey(Tcl_Obj* dict, const char* key, Tcl_Obj* value);

}  // namespace tessaly
