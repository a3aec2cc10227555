// Puts of values whole, for the newer slot commands and the name layer:
// every value is converted and checked before anything is sent (the states
// of enum channels fetched first, in one wait), then all are sent at once.
#pragma once

#include "requests.h"

#include <vector>

namespace tessaly {

struct PutPlan {
    std::vector<ValueForm> forms;
    std::vector<PutData> data;
};

// Converts the value of each subject (values[i * step]) by its channel's
// form (`text`: char arrays as text); fails naming the first that does not
// fit, or a channel the library would refuse (not connected, no write
// access).  Nothing has been sent then.
int planPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, Tcl_Obj* const* values, int step,
             bool text, double seconds, double timeout, PutPlan& plan);

// Called before each plain put goes out (rejections are reported later).
using PlainPutHook = void (*)(Tcl_Interp* interp, const Subject& subject, chtype type);

// Sends every put: with `completion`, as puts with completion whose
// requests go to `ids` (noting `notify` when each completes); else plain.
int sendPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, const PutPlan& plan, bool completion,
             const Feature* notify, PlainPutHook plain, std::vector<RequestId>& ids);

// Waits `seconds` for every completion.  A refusal or a time-out fails the
// command naming it (a time-out as after `timeout`, the command's own);
// with several puts, the message also names what was written, which a
// server's refusal of another cannot undo.
int awaitPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, std::vector<RequestId>& ids,
              double seconds, double timeout);

}  // namespace tessaly
