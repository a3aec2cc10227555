// Requests answered through libca's callbacks (ca_array_get_callback,
// ca_array_put_callback), the waits for them, and the reads of the newer
// commands and the name layer.
//
// A callback copies what arrived (the data it is handed are valid only
// inside it) into the request's own buffer under the callback lock (rule 1
// of core/lock.h).  A command that stops waiting (a time-out) closes its
// requests, and an answer that comes later finds its request gone and is
// dropped: it never writes into freed memory or into a later command's reply.
#pragma once

#include "forms.h"
#include "registry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tessaly {

// A request's handle; -1 when none could be opened.
using RequestId = long;

// Opens a request of a context's side whose answer (a get's DBR data) is
// copied into `buffer` of `capacity` bytes, owned by the caller until
// closeRequest.  A put's request takes no buffer.  With `notify`, the answer
// also notes the request ready for that feature (by the request's index and
// generation): a put with -command.
RequestId openRequest(Side side, void* buffer, std::size_t capacity, const Feature* notify = nullptr);
uint32_t requestGeneration(RequestId id);
// The user argument and the callback to hand libca for it.
void* requestTag(RequestId id);
void onRequestAnswered(event_handler_args args);

// What arrived: the library's status, and for a get the element count
// copied into the buffer.  False while nothing has.
bool requestAnswered(RequestId id, int& status, long& count);

// Closes requests; an answer arriving later is dropped.
void closeRequest(RequestId id);
void closeRequests(const RequestId* ids, std::size_t count);
// The context of a side is going: its open requests are closed.
void closeAllRequests(Side side);

// Waits until every request of `ids` has been answered or `seconds` have
// passed; returns the indexes of those not answered in time (empty when all
// were).  The slot side lets libca run its callbacks meanwhile; the name
// side sleeps until they have.
std::vector<std::size_t> awaitRequests(Side side, const std::vector<RequestId>& ids, double seconds);

// ---- reads ----------------------------------------------------------------------------

// Where an answer lands: room for the channel's elements, not cleared
// first (8 MB of a big waveform would be written twice).  The largest one
// freed is kept for the next read that fits in it, so that a waveform read
// over and over writes into pages it has already.
struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;

    Buffer() = default;
    explicit Buffer(std::size_t size);
    Buffer(Buffer&&) = default;
    Buffer& operator=(Buffer&&) = default;
    ~Buffer();
};

// One get request of a command and where its answer lands.
struct Read {
    const Subject* subject;
    chtype type;
    unsigned long count;  // requested: 0 for the current length
    Buffer buffer;
    long received = 0;

    const void* data() const { return buffer.bytes.get(); }
    const void* values() const { return dbr_value_ptr(buffer.bytes.get(), type); }
};

// A read of `count` elements (0: the current length) as `type`, with room
// for the channel's element count.
Read readOf(const Subject& subject, chtype type, unsigned long count);

// Closes every request of `ids` and empties it.
void closeAll(std::vector<RequestId>& ids);

// Waits for every request of `ids` (made for `subjects`, one each), then
// closes them; the element counts that arrived go to `counts` when given.
// A time-out names what it was waiting for; a failed answer fails with
// `call`'s name and the library's text.
// `stated` is the time-out a failure names when it is not `timeout` (the
// name layer's commands wait what is left of their own).
int awaitAll(Tcl_Interp* interp, std::string_view call, std::vector<RequestId>& ids,
             const std::vector<const Subject*>& subjects, double timeout, Waiting waiting,
             std::vector<long>* counts, double stated = -1);

// Sends one read's request (traced for the newer commands); TCL_OK or the
// library's refusal.
int sendRead(Tcl_Interp* interp, Read& read, std::vector<RequestId>& ids);
// Makes every read's request, then waits once for them all.
int readAll(Tcl_Interp* interp, std::vector<Read>& reads, double timeout, double stated = -1);

// The value a plain read brought, in `form`.
Tcl_Obj* readValue(const ValueForm& form, const Read& read);

}  // namespace tessaly
