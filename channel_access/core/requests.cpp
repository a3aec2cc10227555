// Requests answered through callbacks, the waits that let them arrive, and
// reads.
//
// A request is a record of a pool.  The tag handed to libca holds the
// record's index and its generation; closing a record moves its generation
// on, so that an answer for a closed request matches no open record.
#include "requests.h"
#include "context.h"
#include "lock.h"
#include "pool.h"
#include "text.h"

#include <poll.h>

#include <chrono>
#include <cstring>

namespace tessaly {
namespace {

struct Request {
    Side side = Side::Slots;
    bool answered = false;
    const Feature* notify = nullptr;
    int status = ECA_NORMAL;
    long count = 0;
    void* buffer = nullptr;
    std::size_t capacity = 0;
};

Pool<Request> requests;  // under the callback lock

// The open request a tag names, or null (under the lock).
Request* requestOfTag(void* tag) {
    std::size_t index = tagIndex(tag);
    if (!requests.used(index) || !tagMatches(tag, requests.generation(index))) return nullptr;
    return &requests[index];
}

using Clock = std::chrono::steady_clock;

// The moment `seconds` from now; an infinite wait ends in a century.
Clock::time_point deadlineAfter(Clock::time_point start, double seconds) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    if (!(seconds < kCentury)) seconds = kCentury;
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The requests of `ids` not answered yet (under the lock).
std::vector<std::size_t> unanswered(const std::vector<RequestId>& ids) {
    std::vector<std::size_t> late;
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (!requests[static_cast<std::size_t>(ids[i])].answered) late.push_back(i);
    return late;
}

bool allAnswered(const std::vector<RequestId>& ids, std::size_t& from) {
    for (; from < ids.size(); ++from)
        if (!requests[static_cast<std::size_t>(ids[from])].answered) return false;
    return true;
}

// Answers from a server nearby come within a fraction of a millisecond, and
// a wait that sleeps costs three wake-ups of threads each time (libca's
// receive thread signals, this one lets it run the callbacks, it signals
// back): so the slot side's wait first lets the library work in a tight
// loop for a short while (kSpin), then sleeps in poll on libca's wake-up
// descriptor, which becomes readable when a receive thread has callbacks to
// run (ca_pend_event would always sleep its whole time).
std::vector<std::size_t> awaitSlots(const std::vector<RequestId>& ids, double seconds) {
    constexpr auto kSpin = std::chrono::microseconds(500);
    auto start = Clock::now();
    auto deadline = deadlineAfter(start, seconds);
    checkUnlocked("ca_flush_io");
    ca_flush_io();
    std::size_t from = 0;
    for (;;) {
        {
            Held hold(callbackLock());
            if (allAnswered(ids, from)) return {};
            if (Clock::now() >= deadline) return unanswered(ids);
        }
        auto now = Clock::now();
        int fd = wakeupDescriptor();
        if (now - start < kSpin) {
            ca_poll();
        } else if (fd < 0) {
            ca_pend_event(0.001);
        } else {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            if (left < 0) left = 0;
            timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
            pollfd wake{fd, POLLIN, 0};
            ppoll(&wake, 1, &timeout, nullptr);
            ca_poll();
        }
    }
}

// The name side's callbacks run on libca's threads: the command sleeps until
// one of them says an answer has come.
std::vector<std::size_t> awaitNames(const std::vector<RequestId>& ids, double seconds) {
    auto deadline = deadlineAfter(Clock::now(), seconds);
    {
        InNameContext in;
        ca_flush_io();
    }
    std::size_t from = 0;
    HeldUnique hold(callbackLock());
    waitingCommands(1);
    while (!allAnswered(ids, from) && answerArrived().wait_until(hold, deadline) != std::cv_status::timeout) {
    }
    waitingCommands(-1);
    return allAnswered(ids, from) ? std::vector<std::size_t>{} : unanswered(ids);
}

void closeLocked(RequestId id) { requests.remove(static_cast<std::size_t>(id)); }

Buffer spare;  // the largest buffer freed, and not taken again yet

// Trace lines of the newer commands and the name layer.
void traceSubject(const Subject& subject, const char* call, int status) {
    if (EPICSVerbose == 0) return;
    if (subject.slot >= 0)
        trace("%s: %s on slot %d returned with rc=0x%x\n", subject.command, call, subject.slot,
              static_cast<unsigned>(status));
    else
        trace("%s: %s on %s returned with rc=0x%x\n", subject.command, call, nameOf(subject),
              static_cast<unsigned>(status));
}

}  // namespace

RequestId openRequest(Side side, void* buffer, std::size_t capacity, const Feature* notify) {
    Held hold(callbackLock());
    long id = requests.add();
    if (id < 0) return -1;
    Request& request = requests[static_cast<std::size_t>(id)];
    request.side = side;
    request.notify = notify;
    request.buffer = buffer;
    request.capacity = capacity;
    return id;
}

uint32_t requestGeneration(RequestId id) {
    Held hold(callbackLock());
    return requests.generation(static_cast<std::size_t>(id));
}

void* requestTag(RequestId id) {
    Held hold(callbackLock());
    return packTag(static_cast<std::size_t>(id), requests.generation(static_cast<std::size_t>(id)));
}

void onRequestAnswered(event_handler_args args) {
    Held hold(callbackLock());
    Request* request = requestOfTag(args.usr);
    if (request == nullptr || request->answered) return;  // late: its command has gone
    request->answered = true;
    request->status = args.status;
    if (request->notify != nullptr)
        noteReady(*request->notify, static_cast<uint32_t>(tagIndex(args.usr)), tagGeneration(args.usr),
                  request->side);
    if (anyCommandWaiting()) answerArrived().notify_all();
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
    Held hold(callbackLock());
    const Request& request = requests[static_cast<std::size_t>(id)];
    if (!request.answered) return false;
    status = request.status;
    count = request.count;
    return true;
}

void closeRequest(RequestId id) { closeRequests(&id, 1); }

void closeRequests(const RequestId* ids, std::size_t count) {
    Held hold(callbackLock());
    for (std::size_t i = 0; i < count; ++i) closeLocked(ids[i]);
}

void closeAllRequests(Side side) {
    Held hold(callbackLock());
    for (std::size_t index = 0; index < requests.size(); ++index)
        if (requests.used(index) && requests[index].side == side) requests.remove(index);
}

std::vector<std::size_t> awaitRequests(Side side, const std::vector<RequestId>& ids, double seconds) {
    return side == Side::Slots ? awaitSlots(ids, seconds) : awaitNames(ids, seconds);
}

// ---- reads --------------------------------------------------------------------------------

Buffer::Buffer(std::size_t wanted) : size(wanted) {
    if (spare.capacity >= wanted && spare.bytes != nullptr) {
        bytes = std::move(spare.bytes);
        capacity = spare.capacity;
        spare.capacity = 0;
    } else {
        bytes.reset(new unsigned char[wanted]);
        capacity = wanted;
    }
}

Buffer::~Buffer() {
    if (bytes == nullptr || this == &spare || capacity <= spare.capacity) return;
    spare.bytes = std::move(bytes);
    spare.capacity = capacity;
}

Read readOf(const Subject& subject, chtype type, unsigned long count) {
    unsigned long room = count > 0 ? count : ca_element_count(subject.channel->id);
    return Read{&subject, type, count, Buffer(dbr_size_n(type, room)), 0};
}

void closeAll(std::vector<RequestId>& ids) {
    closeRequests(ids.data(), ids.size());
    ids.clear();
}

int awaitAll(Tcl_Interp* interp, std::string_view call, std::vector<RequestId>& ids,
             const std::vector<const Subject*>& subjects, double timeout, Waiting waiting,
             std::vector<long>* counts, double stated) {
    Side side = subjects.front()->channel->side;
    std::vector<std::size_t> late = awaitRequests(side, ids, timeout);
    if (EPICSVerbose != 0) {
        const Subject& first = *subjects.front();
        trace("%s: waiting for %zu answer%s returned with rc=0x%x\n", first.command, ids.size(),
              ids.size() == 1 ? "" : "s", static_cast<unsigned>(late.empty() ? ECA_NORMAL : ECA_TIMEOUT));
    }
    if (!late.empty()) {
        closeAll(ids);
        std::vector<const Subject*> named;
        for (std::size_t i : late) named.push_back(subjects[i]);
        return failTimeout(interp, named, stated < 0 ? timeout : stated, waiting);
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        int status = ECA_NORMAL;
        long count = 0;
        requestAnswered(ids[i], status, count);
        if (counts != nullptr) (*counts)[i] = count;
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, *subjects[i], status);
        }
    }
    closeAll(ids);
    return TCL_OK;
}

int sendRead(Tcl_Interp* interp, Read& read, std::vector<RequestId>& ids) {
    const Subject& subject = *read.subject;
    RequestId id = openRequest(subject.channel->side, read.buffer.bytes.get(), read.buffer.size);
    if (id < 0) {
        closeAll(ids);
        return failWith(interp, "Too many requests outstanding in %s", subject.command);
    }
    ids.push_back(id);
    checkUnlocked("ca_array_get_callback");
    int status = ca_array_get_callback(read.type, read.count, subject.channel->id, onRequestAnswered,
                                       requestTag(id));
    traceSubject(subject, "ca_get_callback", status);
    if (status != ECA_NORMAL) {
        closeAll(ids);
        return failLibrary(interp, "ca_get_callback", subject, status);
    }
    return TCL_OK;
}

int readAll(Tcl_Interp* interp, std::vector<Read>& reads, double timeout, double stated) {
    std::vector<RequestId> ids;
    std::vector<const Subject*> subjects;
    ids.reserve(reads.size());
    subjects.reserve(reads.size());
    for (Read& read : reads) {
        if (sendRead(interp, read, ids) != TCL_OK) return TCL_ERROR;
        subjects.push_back(read.subject);
    }
    std::vector<long> counts(reads.size());
    if (awaitAll(interp, "ca_get_callback", ids, subjects, timeout, Waiting::Value, &counts, stated) != TCL_OK)
        return TCL_ERROR;
    for (std::size_t i = 0; i < reads.size(); ++i) reads[i].received = counts[i];
    return TCL_OK;
}

Tcl_Obj* readValue(const ValueForm& form, const Read& read) {
    const dbr_ctrl_enum* states =
        read.type == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(read.data()) : nullptr;
    return valueObj(form, read.values(), read.received, states);
}

}  // namespace tessaly
