// Plain puts that the server rejects reach only libca's exception handler.
// Those of the newer commands and the name layer are reported to the
// putting interpreter's background error handler instead; every other
// exception is reported in libca's own words.
#pragma once

#include "../core/subject.h"

namespace tessaly {

// A plain put of `type` is going out on `subject`'s channel for `interp`.
void notePlainPut(Tcl_Interp* interp, const Subject& subject, chtype type);
// A specified command's plain string put is going out on the slot: a
// rejection of DBR_STRING puts there is libca's to report again.
void noteSpecifiedStringPut(uint32_t slot);

extern const Feature kRejections;

}  // namespace tessaly
