// Put completions (EPICS_Put -command, tessaly::put -command): the script
// runs from the event loop once every put of the command has completed,
// with 0 or what went wrong, or with a time-out message.
#pragma once

#include "../core/requests.h"
#include "../pva/pva.h"

#include <vector>

namespace tessaly {

// Requests to open for the puts of such a command notify this feature.
extern const Feature kCompletions;

// The puts of `subjects` went out as requests `ids` (opened with
// kCompletions): `script` runs when all have completed, or after `timeout`
// seconds (inf: no limit) with the time-out message.
// PV Access puts of `pvaSubjects` count too: they are sent with
// pvaPutEnded, and the completion owns them from here.
void expectCompletion(Tcl_Interp* interp, const std::vector<RequestId>& ids, const std::vector<Subject>& subjects,
                      Tcl_Obj* script, double timeout, const std::vector<pva::Put*>& pvaPuts = {},
                      const std::vector<Subject>& pvaSubjects = {});
// The hook a PV Access put of such a command is sent with.
void pvaPutEnded(pva::Put* put);

}  // namespace tessaly
