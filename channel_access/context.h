// The Channel Access context of the process: set up on demand, destroyed by
// the reset rule, and the descriptor on which libca signals that callbacks
// are waiting to run.
#pragma once

#include "exports.h"

#include <string_view>

namespace tessaly {

constexpr double kWaitSeconds = 5.0;
constexpr int kPriority = 10;

// Makes sure a context exists (SetUpEPICS); without one, fails with
// "No Channel Access context in COMMAND".  TCL_OK when the command may go on.
int needContext(Tcl_Interp* interp, const char* command);

// The reset rule: a request the library refused fails the command with
// "CALL in COMMAND failed TEXT", announces the reset and destroys the context.
int resetAfterRefusal(Tcl_Interp* interp, std::string_view call, const char* command, int status);

// The number of the current context: each new one counts one up.
int contextNumber();

// libca's wake-up descriptor: readable while a receive thread waits to run
// callbacks (which it does inside ca_poll or ca_pend_event).  -1 until the
// library has named it (at the first channel of a context).
int wakeupDescriptor();
// Told when the library names its wake-up descriptor or takes it back.
using DescriptorHook = void (*)(int fd, bool opened);
void setDescriptorHook(DescriptorHook hook);

// Called before a context is destroyed, for what the extension keeps tied
// to it (the event loop's scripts).
using ContextHook = void (*)();
void setClosingHook(ContextHook hook);

}  // namespace tessaly
