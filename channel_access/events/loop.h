// Tessaly in the Tcl event loop: scripts of monitors, connection changes and
// put completions run from vwait, update or Tk's main loop, never inside a
// library call (see core/lock.h for why callbacks never call Tcl).
//
// What callbacks note ready reaches the interpreter's thread two ways:
//  - the slot commands' context runs callbacks only inside a library call,
//    so the loop lets it work when its wake-up descriptor becomes readable
//    (a file handler that calls ca_poll), plus a timer only while a watched
//    slot channel is disconnected: an idle process costs nothing;
//  - the name layer's context runs them on its own threads at any time, so
//    the first record ready wakes the interpreter's thread at once through
//    Tcl's thread-safe event queue (Tcl_ThreadQueueEvent, Tcl_ThreadAlert).
#pragma once

#include "../exports.h"

namespace tessaly {

// Sets up delivery (at load, on the interpreter's thread).
void initEvents();

// Makes sure the event loop serves libca (at the first monitor, connection
// script or put with -command).
void startEvents();

// Whether this Tcl can take events from other threads (built with threads).
bool threadedTcl();
// Whether this is the thread that loaded the extension first, to which the
// name layer's events go.
bool onHomeThread();

// Runs a script at global level with `words` appended as words of their
// own; an error goes to the interpreter's background error handler.
void runScript(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* const* words, int count);
// Reports a failure with `message` through the background error handler:
// the message is the result, `code` (or the message) the errorCode.
void backgroundError(Tcl_Interp* interp, const char* message, Tcl_Obj* code = nullptr);

// An interpreter that holds scripts: when it is deleted, its records go
// with it (every feature's forgetInterp hook).
void watchInterp(Tcl_Interp* interp);

}  // namespace tessaly
