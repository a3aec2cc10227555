// Tessaly in the Tcl event loop.
//
// libca runs its callbacks (monitor updates, connection changes, put
// completions, exceptions) only inside a library call of this thread, and
// possibly on its own receive thread while this one is parked in ca_poll or
// ca_pend_event.  A callback therefore never calls Tcl: it copies what
// arrived into a record of the extension under the callback lock and notes
// the record as ready.  The interpreter's thread turns ready records into a
// Tcl event, and the scripts run from the event loop (vwait, update, Tk's
// main loop), never inside a library call.
//
// The loop lets libca work when its wake-up descriptor becomes readable (a
// Tcl file handler that calls ca_poll), plus a timer only while a watched
// channel is disconnected: an idle process costs nothing.
#pragma once

#include "exports.h"

#include <cstdint>

namespace tessaly {

enum class Ready : uint8_t { Monitor, Connection, Completion, Exception };
constexpr int kReadyKinds = 4;

// Notes a record as ready (under the callback lock, from any thread).
void noteReady(Ready kind, uint32_t index, uint32_t generation);

// What delivers a ready record, on the interpreter's thread.
using Deliverer = void (*)(uint32_t index, uint32_t generation);
void setDeliverer(Ready kind, Deliverer deliver);

// Sets up delivery and what ends the scripts with their slots, context and
// interpreters (at load).
void initEvents();

// Makes sure the event loop serves libca (at the first monitor, connection
// script or put with -command).
void startEvents();

// Watched channels (with monitors or connection scripts) that are not
// connected; while there are any, a timer lets the library work.  Under the
// callback lock.
void countDisconnected(int change);

// Runs a script at global level with `words` appended as words of their
// own; an error goes to the interpreter's background error handler.
void runScript(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* const* words, int count);
// Reports a failure with `message` through the background error handler.
void backgroundError(Tcl_Interp* interp, const char* message);

// An interpreter that holds scripts: when it is deleted, its monitors,
// connection scripts and completions go with it.
void watchInterp(Tcl_Interp* interp);

}  // namespace tessaly
