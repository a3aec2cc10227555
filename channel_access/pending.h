// Requests answered through libca's callbacks (ca_array_get_callback,
// ca_array_put_callback), for the commands that read values whole and wait
// for put completion.
//
// libca runs these callbacks only inside a library call of this thread, but
// possibly on its own receive thread while this one is parked in ca_poll or
// ca_pend_event.  So a callback never calls Tcl: it copies what arrived (the
// data it is handed are valid only inside it) into the request's own buffer
// under a lock.  A command that stops waiting (a time-out) closes its
// requests, and an answer that comes later finds its request gone and is
// dropped: it never writes into freed memory or into a later command's reply.
#pragma once

#include "exports.h"

#include <cstdint>
#include <cstddef>
#include <mutex>

namespace tessaly {

// A request's handle; -1 when none could be opened.
using RequestId = int;
constexpr int kMaxRequests = 4096;  // open at once

// The lock under which callbacks hand over what arrived (this file's and
// the event loop's records alike).  Never held across a library call.
std::mutex& callbackLock();

// Opens a request whose answer (a get's DBR data) is copied into `buffer`
// of `capacity` bytes, owned by the caller until closeRequest.  A put's
// request takes no buffer.  With `notify`, the answer also makes the
// request ready for the event loop (a put with -command).
RequestId openRequest(void* buffer, std::size_t capacity, bool notify = false);
// The generation of an open request, which its ready note carries.
uint32_t requestGeneration(RequestId id);
// The user argument and the callback to hand libca for it.
void* requestTag(RequestId id);
void onRequestAnswered(event_handler_args args);

// What arrived: the library's status, and for a get the element count
// copied into the buffer.  False while nothing has.
bool requestAnswered(RequestId id, int& status, long& count);

// Closes a request; an answer arriving later is dropped.
void closeRequest(RequestId id);
// The same for `count` requests at once.
void closeRequests(const RequestId* ids, int count);

// Waits until every request of `ids` has been answered or `seconds` have
// passed, letting libca run its callbacks; returns the index of the first
// request not answered in time, or -1 when all were.
int awaitRequests(const RequestId* ids, int count, double seconds);

// The context is going: every open request is closed.
void closeAllRequests();

}  // namespace tessaly
