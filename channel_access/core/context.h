// The two Channel Access contexts of the process.
//
// The slot commands' context has no preemptive callbacks: libca runs its
// callbacks only inside a library call of the interpreter's thread (or on
// its receive thread while that thread waits inside one).  It is set up on
// demand (SetUpEPICS) and destroyed when the library refuses a get or put
// request of a specified command (the reset rule); the next command makes a
// fresh one with every slot free.
//
// The name layer's context has preemptive callbacks: they run on libca's
// threads as answers arrive, whatever the interpreter's thread is doing, so
// connections and updates never wait for a command.  It is made at the
// first name and never reset.  The slot context stays the thread's current
// one; a name-layer call that works on the current context (creating a
// channel, flushing) runs inside an InNameContext.
#pragma once

#include "../exports.h"

#include <cstdint>
#include <string_view>

namespace tessaly {

enum class Side : uint8_t { Slots, Names };

constexpr double kWaitSeconds = 5.0;
constexpr int kPriority = 10;

// ---- the slot commands' context --------------------------------------------

// Makes sure a context exists (SetUpEPICS); without one, fails with
// "No Channel Access context in COMMAND".  TCL_OK when the command may go on.
int needContext(Tcl_Interp* interp, const char* command);

// The reset rule: a request the library refused fails the command with
// "CALL in COMMAND failed TEXT", announces the reset and destroys the context.
int resetAfterRefusal(Tcl_Interp* interp, std::string_view call, const char* command, int status);

// The number of the current slot context: each new one counts one up.
int contextNumber();

// libca's wake-up descriptor of the slot context: readable while a receive
// thread waits to run callbacks (which it does inside ca_poll or
// ca_pend_event).  -1 until the library has named it (at the first channel
// of a context).
int wakeupDescriptor();
using DescriptorHook = void (*)(int fd, bool opened);
void setDescriptorHook(DescriptorHook hook);

// ---- the name layer's context ----------------------------------------------

// Makes the name layer's context at its first use; false (the library's
// text in `why`) when the library cannot.
bool haveNameContext(const char*& why);
// The process is ending: the name layer's context goes, and with it libca's
// callbacks into records that are about to be destroyed.
void endNameContextAtExit();

// Makes the name layer's context the thread's current one for a scope.
class InNameContext {
public:
    InNameContext();
    ~InNameContext();
    InNameContext(const InNameContext&) = delete;
    InNameContext& operator=(const InNameContext&) = delete;

private:
    ca_client_context* previous_;
};

}  // namespace tessaly
