// Requests of the newer commands made through callbacks and waited for
// together: reads into buffers of their own, and the wait for a set of
// requests with the failure messages they share.
#pragma once

#include "native.h"
#include "pending.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace tessaly {

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

// "CALL in COMMAND failed TEXT (slot N, NAME)".
int failLibrary(Tcl_Interp* interp, std::string_view call, const Subject& subject, int status);

// Closes every request of `ids` and empties it.
void closeAll(std::vector<RequestId>& ids);

// Waits for every request of `ids` (made for `subjects`, one each), then
// closes them; the element counts that arrived go to `counts` when given.
// A time-out names what it was `waiting` for; a failed answer fails with
// `call`'s name and the library's text.
int awaitAll(Tcl_Interp* interp, std::string_view call, std::vector<RequestId>& ids,
             const std::vector<const Subject*>& subjects, double timeout, const char* waiting,
             std::vector<long>* counts);

// Makes every read's request, then waits once for them all.
int readAll(Tcl_Interp* interp, std::vector<Read>& reads, double timeout);

}  // namespace tessaly
