// Notices: what a script is told later, from the event loop, when something
// it set up ends without its asking (a reset of the slot context ends every
// monitor, connection script and put completion on its channels).
#pragma once

#include "../core/registry.h"

#include <string>

namespace tessaly {

// A background error with `message` for the interpreter.
void noticeError(Tcl_Interp* interp, const std::string& message);
// Runs `script` with `word` appended (a connection script's 0).
void noticeScript(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* word);

extern const Feature kNotices;

}  // namespace tessaly
