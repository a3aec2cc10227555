// What puts of the newer commands report later, from the event loop: the
// completion of a put with -command, and the rejection of a plain put
// (which reaches only libca's exception handler).
#pragma once

#include "native.h"
#include "pending.h"

namespace tessaly {

// Runs `script` with the put's status appended (0, or the library's text)
// when request `id` (opened with notify) completes, or a time-out message
// after `timeout` seconds.
void expectCompletion(Tcl_Interp* interp, RequestId id, const Subject& subject, Tcl_Obj* script,
                      double timeout);
void deliverCompletion(uint32_t id, uint32_t generation);

// A plain put of `type` is going out on `subject`'s channel for `interp`:
// should the server reject it, the rejection goes to that interpreter's
// background error handler instead of libca's report on standard error.
void notePlainPut(Tcl_Interp* interp, const Subject& subject, chtype type);
// A specified command's plain string put is going out on the slot: a
// rejection of DBR_STRING puts is libca's to report again.
void noteSpecifiedStringPut(uint32_t slot);
void deliverException(uint32_t index, uint32_t generation);

void forgetSlotCompletions(uint32_t slot);
void forgetInterpCompletions(Tcl_Interp* interp);
void forgetAllCompletions();

}  // namespace tessaly
