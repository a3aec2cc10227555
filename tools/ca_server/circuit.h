// TCP circuits: each client's buffers, its channels and monitors, and the
// requests it sends, answered in order.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace ca {

constexpr size_t kMaxClients = 64;

void set_verbose(bool verbose);
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int64_t now_ms();  // monotonic clock
int64_t now_us();

// How a circuit's bytes come in and go out, by the handle given to
// circuit_open: send and recv behave as on a non-blocking socket (the byte
// count, 0 from recv at the end of the stream, or -1 with errno, EAGAIN when
// nothing can move now); close ends the handle when the circuit is dropped.
// The default is the socket calls; tests and fuzz targets put in their own.
struct CircuitIo {
    ssize_t (*send)(int handle, const uint8_t* data, size_t len);
    ssize_t (*recv)(int handle, uint8_t* data, size_t len);
    void (*close)(int handle);
};
void circuit_set_io(const CircuitIo& io);

// A circuit whose client ended its stream is closed ms later (default 0),
// as a slow server would; until then it reads nothing more.
void circuit_set_linger(int64_t ms);

// The largest message (header included) a circuit takes or sends: larger
// requests drop the circuit, larger answers are refused with ECA_TOLARGE.
// Default kMaxTcp; the server sets max_message_bytes().
void circuit_set_max_message(size_t bytes);
// What EPICS_CA_MAX_ARRAY_BYTES and EPICS_CA_AUTO_ARRAY_BYTES allow, as an
// IOC reads them: with automatic sizes (the default) as much as the loaded
// PVs need, else the given bytes plus a header; never below kMaxTcp.
size_t max_message_bytes();

// Takes over an accepted connection (a non-negative handle); returns its slot
// index, or -1 when every slot is used.
int circuit_open(int fd, const char* peer);

// For the poll loop: the socket of slot index (-1 when free), the events to
// wait for, and the time (ms) something of the circuit is due (wake, -1 if
// none): a held late answer, a put completion, a close.
int circuit_fd(size_t index);
short circuit_events(size_t index, int64_t& wake);

void circuit_readable(size_t index);            // socket has data or hung up
void circuit_service(size_t index, int64_t now);  // due answers, flush, close
void circuit_close_all();                       // SIGUSR1 and shutdown

// Posts what the last change of PV index posts (its post_mask) to its
// monitors; whether a monitor of it could take a value update now.
void circuit_post(int pv);
bool circuit_has_taker(int pv);

}  // namespace ca
