// The threading rule of Tessaly, and the lock that carries it.
//
// Tcl runs on the interpreter's thread only.  libca runs its callbacks
// (answers, monitor updates, connection changes, exceptions) on threads of
// its own: in the slot commands' context (no preemptive callbacks) only
// while the interpreter's thread is inside a library call, in the name
// layer's context (preemptive callbacks) at any time.  So:
//
//  1. A callback never calls Tcl.  It copies what arrived into a record of
//     the extension under the callback lock and notes the record as ready
//     (core/registry.h); scripts run later from the event loop.
//  2. The interpreter's thread never calls libca while it holds the callback
//     lock: libca may be running a callback that waits for that lock while
//     holding the library's own callback mutex, which a clear or a
//     subscription change waits for in turn.
//  3. Whatever a callback reads or writes is under the callback lock, and so
//     is every change to the tables through which callbacks find records.
//
// Debug and sanitizer builds check 2 and 3 (TESSALY_CHECK_LOCK): a library
// call made with the lock held, or a record of a callback touched without
// it, aborts with the place named.
#pragma once

#include <condition_variable>
#include <mutex>

namespace tessaly {

class CallbackLock {
public:
    void lock();
    void unlock();
    bool try_lock();
    // Whether this thread holds the lock (always true in builds without
    // the check: it is only ever asserted).
    bool heldHere() const;

private:
    std::mutex mutex_;
};

CallbackLock& callbackLock();

using Held = std::lock_guard<CallbackLock>;

// Waits on `condition` with the lock held by `hold` (which it releases while
// waiting), for the name layer's commands that wait for callbacks.
using HeldUnique = std::unique_lock<CallbackLock>;
std::condition_variable_any& answerArrived();

// Rule 2, before a library call on the interpreter's thread.
void checkUnlocked(const char* call);
// Rule 3, in functions that must run under the lock.
void checkLocked(const char* where);

}  // namespace tessaly
