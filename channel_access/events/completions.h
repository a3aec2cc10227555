// Put completions (EPICS_Put -command, tessaly::put -command): the script
// runs from the event loop once every put of the command has completed,
// with 0 or what went wrong, or with a time-out message.
#pragma once

#include "../core/requests.h"

#include <vector>

namespace tessaly {

// Requests to open for the puts of such a command notify this feature.
extern const Feature kCompletions;

// The puts of `subjects` went out as requests `ids` (opened with
// kCompletions): `script` runs when all have completed, or after `timeout`
// seconds (inf: no limit) with the time-out message.
void expectCompletion(Tcl_Interp* interp, const std::vector<RequestId>& ids, const std::vector<Subject>& subjects,
                      Tcl_Obj* script, double timeout);

}  // namespace tessaly
