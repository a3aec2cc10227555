// TCP circuits: each client's buffers, its channels and monitors, and the
// requests it sends, answered in order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ca {

constexpr size_t kMaxClients = 64;

void set_verbose(bool verbose);
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int64_t now_ms();  // monotonic clock

// Takes over an accepted, non-blocking socket; false when every slot is used.
bool circuit_open(int fd, const char* peer);

// For the poll loop: the socket of slot index (-1 when free), the events to
// wait for, and the time a held late answer is due (wake, -1 if none).
int circuit_fd(size_t index);
short circuit_events(size_t index, int64_t& wake);

void circuit_readable(size_t index);            // socket has data or hung up
void circuit_service(size_t index, int64_t now);  // due answers, flush, close
void circuit_close_all();                       // SIGUSR1 and shutdown

}  // namespace ca
