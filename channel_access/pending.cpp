// Requests answered through callbacks, and the wait that lets them arrive.
//
// A request is a row of a fixed table.  The tag handed to libca holds the
// row's index and its generation; closing a row bumps the generation, so
// that an answer for a closed request matches no open row.
#include "pending.h"
#include "context.h"
#include "events.h"

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tessaly {
namespace {

constexpr int kIndexBits = 12;
static_assert(kMaxRequests == 1 << kIndexBits, "the index part of a tag covers the table");

struct Request {
    uint32_t generation;
    bool open;
    bool answered;
    bool notify;
    int status;
    long count;
    void* buffer;
    std::size_t capacity;
};

std::mutex lock;  // callbacks may run on libca's receive thread
Request requests[kMaxRequests];
int nextFree = 0;

uintptr_t tagOf(RequestId id) {
    return (static_cast<uintptr_t>(requests[id].generation) << kIndexBits) | static_cast<uintptr_t>(id);
}

// The open request a tag names, or null (under the lock).
Request* requestOfTag(void* tag) {
    uintptr_t value = reinterpret_cast<uintptr_t>(tag);
    Request& request = requests[value & (kMaxRequests - 1)];
    if (!request.open || tagOf(static_cast<RequestId>(value & (kMaxRequests - 1))) != value)
        return nullptr;
    return &request;
}

}  // namespace

std::mutex& callbackLock() { return lock; }

uint32_t requestGeneration(RequestId id) {
    std::lock_guard<std::mutex> hold(lock);
    return requests[id].generation;
}

RequestId openRequest(void* buffer, std::size_t capacity, bool notify) {
    std::lock_guard<std::mutex> hold(lock);
    for (int tried = 0; tried < kMaxRequests; ++tried) {
        int id = (nextFree + tried) % kMaxRequests;
        Request& request = requests[id];
        if (request.open) continue;
        request.open = true;
        request.answered = false;
        request.notify = notify;
        request.status = ECA_NORMAL;
        request.count = 0;
        request.buffer = buffer;
        request.capacity = capacity;
        nextFree = (id + 1) % kMaxRequests;
        return id;
    }
    return -1;
}

void* requestTag(RequestId id) {
    std::lock_guard<std::mutex> hold(lock);
    return reinterpret_cast<void*>(tagOf(id));
}

void onRequestAnswered(event_handler_args args) {
    std::lock_guard<std::mutex> hold(lock);
    Request* request = requestOfTag(args.usr);
    if (request == nullptr || request->answered) return;  // late: its command has gone
    request->answered = true;
    request->status = args.status;
    if (request->notify) {
        auto id = static_cast<uint32_t>(request - requests);
        noteReady(Ready::Completion, id, request->generation);
    }
    if (args.status != ECA_NORMAL || args.dbr == nullptr || request->buffer == nullptr) return;
    long count = static_cast<long>(args.count);
    std::size_t size = dbr_size_n(args.type, count);
    if (size > request->capacity) {
        // More than the channel's element count promised: keep what fits.
        std::size_t element = dbr_value_size[args.type];
        std::size_t fixed = dbr_size[args.type] - element;
        count = static_cast<long>((request->capacity - fixed) / element);
        size = request->capacity;
    }
    memcpy(request->buffer, args.dbr, size);
    request->count = count;
}

bool requestAnswered(RequestId id, int& status, long& count) {
    std::lock_guard<std::mutex> hold(lock);
    const Request& request = requests[id];
    if (!request.answered) return false;
    status = request.status;
    count = request.count;
    return true;
}

namespace {

void closeLocked(Request& request) {
    request.open = false;
    request.buffer = nullptr;
    ++request.generation;
}

}  // namespace

void closeRequest(RequestId id) { closeRequests(&id, 1); }

void closeRequests(const RequestId* ids, int count) {
    std::lock_guard<std::mutex> hold(lock);
    for (int i = 0; i < count; ++i) closeLocked(requests[ids[i]]);
}

void closeAllRequests() {
    std::lock_guard<std::mutex> hold(lock);
    for (Request& request : requests)
        if (request.open) closeLocked(request);
}

namespace {

bool allAnswered(const RequestId* ids, int count, int& first) {
    std::lock_guard<std::mutex> hold(lock);
    for (int i = 0; i < count; ++i) {
        if (!requests[ids[i]].answered) {
            first = i;
            return false;
        }
    }
    return true;
}

}  // namespace

// Answers from a server nearby come within a fraction of a millisecond, and
// a wait that sleeps costs three wake-ups of threads each time (libca's
// receive thread signals, this one lets it run the callbacks, it signals
// back): so the wait first lets the library work in a tight loop for a
// short while (kSpin), then sleeps in poll on libca's wake-up descriptor,
// which becomes readable when a receive thread has callbacks to run
// (ca_pend_event would always sleep its whole time).
int awaitRequests(const RequestId* ids, int count, double seconds) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kSpin = std::chrono::microseconds(500);
    auto start = Clock::now();
    auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(seconds));
    ca_flush_io();
    int first = 0;
    for (;;) {
        if (allAnswered(ids, count, first)) return -1;
        auto now = Clock::now();
        if (now >= deadline) return first;
        int fd = wakeupDescriptor();
        if (now - start < kSpin) {
            ca_poll();
        } else if (fd < 0) {
            ca_pend_event(0.001);
        } else {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
            pollfd wake{fd, POLLIN, 0};
            ppoll(&wake, 1, &timeout, nullptr);
            ca_poll();
        }
    }
}

}  // namespace tessaly
