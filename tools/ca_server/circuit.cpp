// TCP circuits: requests decoded from each client's input buffer and
// answered in order into its output buffer. A request that must wait (a
// late read, a put on a channel whose last put has not completed) holds the
// circuit: later requests wait until it has run. Both buffers start small
// and grow to what a message needs, up to max_message(); they shrink back
// once emptied. Bytes come and go through CircuitIo: the server's sockets,
// or whatever a test or fuzz target puts in their place.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "circuit_internal.h"

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace ca {

Client g_clients[kMaxClients];

namespace {

unsigned g_next_client_id = 1;
bool g_verbose = false;
int64_t g_linger_ms = 0;
size_t g_max_message = kMaxTcp;

void close_now(Client& c)
{
    c.closing = true;
    c.close_at_ms = 0;
}

ssize_t socket_send(int fd, const uint8_t* data, size_t len)
{
    return send(fd, data, len, MSG_NOSIGNAL);
}
ssize_t socket_recv(int fd, uint8_t* data, size_t len) { return recv(fd, data, len, 0); }
void socket_close(int fd) { close(fd); }

CircuitIo g_io{socket_send, socket_recv, socket_close};

// Under AddressSanitizer the part of the input buffer that holds no received
// bytes is poisoned: decoding that reads past what arrived is reported at
// once instead of reading stale bytes. No-ops in other builds.
void mark_input(Client& c)
{
    ASAN_UNPOISON_MEMORY_REGION(c.in, c.in_cap);
    ASAN_POISON_MEMORY_REGION(c.in + c.in_len, c.in_cap - c.in_len);
}

// Gives a buffer cap bytes, keeping its first keep bytes; exits when memory
// runs out (a test tool has nothing better to do).
uint8_t* resize(uint8_t* data, size_t cap, size_t keep, const char* what)
{
    uint8_t* fresh = static_cast<uint8_t*>(malloc(cap));
    if (!fresh) {
        fprintf(stderr, "ca_server: out of memory for a %zu-byte %s buffer\n", cap, what);
        exit(1);
    }
    if (keep) memcpy(fresh, data, keep);
    free(data);
    return fresh;
}

void grow_input(Client& c, size_t cap)
{
    ASAN_UNPOISON_MEMORY_REGION(c.in, c.in_cap);
    c.in = resize(c.in, cap, c.in_len, "request");
    c.in_cap = cap;
    mark_input(c);
}

// ---- requests in --------------------------------------------------------

// Runs the complete requests in the input buffer, in order, until one must
// wait.
void process_input(int index)
{
    Client& c = g_clients[index];
    size_t pos = 0;
    while (!c.held && !c.closing) {
        Header h;
        size_t hlen = decode_header(c.in + pos, c.in_len - pos, h);
        if (hlen == 0) break;
        size_t size = hlen + size_t(h.payload_size);
        if (size > g_max_message) {
            fprintf(stderr, "ca_server: client %u: dropped, request of %u bytes is too large\n",
                    c.id, h.payload_size);
            close_now(c);
            break;
        }
        if (size > c.in_cap) {
            // Room for the whole request, the bytes before it dropped.
            memmove(c.in, c.in + pos, c.in_len - pos);
            c.in_len -= pos;
            pos = 0;
            grow_input(c, size);
        }
        if (c.in_len - pos < size) break;
        if (!dispatch(index, h, c.in + pos + hlen)) break;
        pos += size;
    }
    memmove(c.in, c.in + pos, c.in_len - pos);
    c.in_len -= pos;
    if (c.in_len == 0 && c.in_cap > kInBase) {
        ASAN_UNPOISON_MEMORY_REGION(c.in, c.in_cap);
        c.in = resize(c.in, kInBase, 0, "request");
        c.in_cap = kInBase;
    }
    mark_input(c);
}

void release_if_due(int index, int64_t now)
{
    Client& c = g_clients[index];
    if (!c.held || now < c.hold_until_ms) return;
    c.held = false;
    c.released = true;
    process_input(index);
    c.released = false;
}

void read_client(size_t index)
{
    Client& c = g_clients[index];
    if (c.closing) return;
    if (c.in_len == c.in_cap) return;  // full: wait until a held request has run
    ASAN_UNPOISON_MEMORY_REGION(c.in + c.in_len, c.in_cap - c.in_len);
    ssize_t n = g_io.recv(c.fd, c.in + c.in_len, c.in_cap - c.in_len);
    int err = errno;
    if (n > 0) c.in_len += size_t(n);
    mark_input(c);
    if (n > 0) {
        process_input(int(index));
    } else if (n == 0) {
        // The client ended its stream: close when the linger time is up.
        c.closing = true;
        c.close_at_ms = now_ms() + g_linger_ms;
    } else if (err != EINTR && err != EAGAIN && err != EWOULDBLOCK) {
        close_now(c);
    }
}

void drop_client(int index)
{
    Client& c = g_clients[index];
    forget_client(index);
    g_io.close(c.fd);
    log_line("client %u: disconnected", c.id);
    ASAN_UNPOISON_MEMORY_REGION(c.in, c.in_cap);
    free(c.in);
    free(c.out);
    c = Client();
}

}  // namespace

// ---- output ---------------------------------------------------------------

size_t unsent(const Client& c) { return c.out_len - c.out_pos; }

size_t max_message() { return g_max_message; }

void flush_client(Client& c)
{
    while (c.out_pos < c.out_len) {
        ssize_t n = g_io.send(c.fd, c.out + c.out_pos, c.out_len - c.out_pos);
        if (n > 0) { c.out_pos += size_t(n); continue; }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        log_line("client %u: send failed: %s", c.id, strerror(errno));
        close_now(c);
        break;
    }
    if (c.out_pos < c.out_len) return;
    c.out_pos = c.out_len = 0;
    if (c.out_cap > kOutBase) {
        c.out = resize(c.out, kOutBase, 0, "reply");
        c.out_cap = kOutBase;
    }
}

uint8_t* reply_reserve(Client& c, Header h, size_t payload_len, uint8_t** header)
{
    if (c.closing) return nullptr;
    size_t padded = pad8(payload_len);
    size_t size = kExtHeaderSize + padded;
    h.payload_size = uint32_t(padded);
    if (c.out_len + size > c.out_cap) flush_client(c);
    // A client that does not read its replies is dropped (monitor updates
    // wait instead: they never come here while kEventRoom bytes wait).
    if (unsent(c) + size > kEventRoom + g_max_message) {
        fprintf(stderr, "ca_server: client %u: dropped, it does not read its replies\n", c.id);
        close_now(c);
        return nullptr;
    }
    if (c.out_len + size > c.out_cap) {
        memmove(c.out, c.out + c.out_pos, unsent(c));
        c.out_len -= c.out_pos;
        c.out_pos = 0;
        if (c.out_len + size > c.out_cap) {
            size_t cap = c.out_cap * 2 > c.out_len + size ? c.out_cap * 2 : c.out_len + size;
            c.out = resize(c.out, cap, c.out_len, "reply");
            c.out_cap = cap;
        }
    }
    uint8_t* p = c.out + c.out_len;
    size_t n = encode_header(p, h);
    memset(p + n + payload_len, 0, padded - payload_len);
    c.out_len += n + padded;
    *header = p;
    return p + n;
}

// Queues one message; payload (may be null) is padded to 8 bytes.
void reply(Client& c, Header h, const void* payload, size_t payload_len)
{
    uint8_t* header;
    uint8_t* p = reply_reserve(c, h, payload_len, &header);
    if (p && payload_len) memcpy(p, payload, payload_len);
}

void reply_error(Client& c, const Header& request, uint32_t cid, EcaStatus status,
                 const char* text)
{
    uint8_t body[kExtHeaderSize + 256];
    Header echo = request;
    size_t n = encode_header(body, echo);
    snprintf(reinterpret_cast<char*>(body + n), sizeof body - n, "%s", text);
    size_t len = strlen(reinterpret_cast<char*>(body + n));
    reply(c, Header{CMD_ERROR, 0, 0, 0, cid, status}, body, n + len + 1);
}

// ---- the circuit's life -----------------------------------------------------

void set_verbose(bool verbose) { g_verbose = verbose; }

void circuit_set_io(const CircuitIo& io) { g_io = io; }

void circuit_set_linger(int64_t ms) { g_linger_ms = ms; }

void circuit_set_max_message(size_t bytes) { g_max_message = bytes < kMaxTcp ? kMaxTcp : bytes; }

void log_line(const char* fmt, ...)
{
    if (!g_verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

int64_t now_ms() { return now_us() / 1000; }

int64_t now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int circuit_open(int fd, const char* peer)
{
    size_t index = 0;
    while (index < kMaxClients && g_clients[index].fd >= 0) ++index;
    if (index == kMaxClients) return -1;
    Client& c = g_clients[index];
    c = Client();
    c.fd = fd;
    c.id = g_next_client_id++;
    c.in = resize(nullptr, kInBase, 0, "request");
    c.in_cap = kInBase;
    c.out = resize(nullptr, kOutBase, 0, "reply");
    c.out_cap = kOutBase;
    mark_input(c);
    log_line("client %u: connected from %s", c.id, peer);
    reply(c, Header{CMD_VERSION, 0, 0, kMinorVersion, 0, 0}, nullptr, 0);
    return int(index);
}

int circuit_fd(size_t index) { return g_clients[index].fd; }

short circuit_events(size_t index, int64_t& wake)
{
    const Client& c = g_clients[index];
    auto due = [&wake](int64_t at) { if (wake < 0 || at < wake) wake = at; };
    if (c.closing) {
        // Nothing more is read; only what is queued still goes out.
        due(c.close_at_ms);
        return unsent(c) > 0 ? POLLOUT : 0;
    }
    if (c.held) due(c.hold_until_ms);
    if (c.puts_busy > 0) due(c.next_put_ms);
    short events = c.in_len < c.in_cap ? POLLIN : 0;
    return unsent(c) > 0 ? short(events | POLLOUT) : events;
}

void circuit_readable(size_t index)
{
    if (g_clients[index].fd >= 0) read_client(index);
}

void circuit_service(size_t index, int64_t now)
{
    Client& c = g_clients[index];
    if (c.fd < 0) return;
    complete_due_puts(int(index), now);
    release_if_due(int(index), now);
    if (unsent(c) > 0) flush_client(c);
    if (c.pending > 0) {
        deliver_pending(int(index));
        if (unsent(c) > 0) flush_client(c);
    }
    if (c.closing && now >= c.close_at_ms) drop_client(int(index));
}

void circuit_close_all()
{
    for (size_t k = 0; k < kMaxClients; ++k)
        if (g_clients[k].fd >= 0) drop_client(int(k));
}

}  // namespace ca
