// Texts Tessaly hands to Tcl and prints: replies, failures, trace lines,
// and the byte mapping that gives server texts the same characters under
// Tcl 8 and Tcl 9.
#pragma once

#include "../exports.h"

#include <string_view>

namespace tessaly {

// Lengths and counts as Tcl's object interface takes them.
#if TCL_MAJOR_VERSION >= 9
using TclSize = Tcl_Size;
#else
using TclSize = int;
#endif

// The text to hand Tcl for a reply, message or value made of the bytes a
// server sent: the same characters under Tcl 8 and Tcl 9 (see text.cpp).
// The Tcl 9 build converts into a buffer of its own, valid until the next
// call; the Tcl 8 build returns `text` itself.
char* forTcl(char* text);
// The same for a text of known length that need not end in a NUL (long
// strings): a new Tcl object.
Tcl_Obj* newTextObj(const char* text, std::size_t length);

// Trace lines, written while EPICSVerbose is non-zero: a printf format, or
// a whole line.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceLine(const char* line);

// Fails a command the way the specified commands fail: the message,
// formatted into EPICS_response, goes to errorCode as its only element; the
// result stays as it was.  Returns TCL_ERROR.
int fail(Tcl_Interp* interp, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Fails one of the newer commands: the same errorCode, and the message as
// the result too, so that `catch {...} message` sees it.  Returns TCL_ERROR.
int failWith(Tcl_Interp* interp, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replies with a text formatted into EPICS_response (TCL_VOLATILE).  TCL_OK.
int reply(Tcl_Interp* interp, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tessaly
