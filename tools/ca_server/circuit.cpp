// TCP circuits: requests decoded from each client's input buffer and
// answered in order into its output buffer. A late read (delay=MS) holds
// the circuit: later requests wait until its answer has been queued.
// Bytes come and go through CircuitIo: the server's sockets, or whatever a
// test or fuzz target puts in their place.
#include "circuit.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ca_proto.h"
#include "pv_store.h"

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

namespace {

constexpr size_t kMaxChannels = 4096;
constexpr size_t kMaxSubscriptions = 4096;
constexpr size_t kInSize = 16384;   // largest request accepted
constexpr size_t kOutSize = 65536;  // replies waiting for the socket
constexpr size_t kMaxReply = 512;   // largest DBR structure is 424 bytes

enum EventMask : uint16_t { DBE_VALUE = 1, DBE_LOG = 2 };

struct Client {
    int fd = -1;
    unsigned id = 0;
    char user[64] = {};
    char host[64] = {};
    alignas(8) uint8_t in[kInSize];
    size_t in_len = 0;
    uint8_t out[kOutSize];
    size_t out_len = 0;
    bool closing = false;
    int64_t close_at_ms = 0;  // when a closing circuit is dropped
    bool held = false;     // a late read answer holds the circuit
    int64_t hold_until_ms = 0;
    Header held_request{};
};

struct Channel {
    bool used;
    int client;
    uint32_t cid;
    int pv;
};

struct Subscription {
    bool used;
    int client;
    uint32_t sid;
    uint32_t subid;
    uint16_t type;
    uint16_t mask;
};

Client g_clients[kMaxClients];
Channel g_channels[kMaxChannels];
Subscription g_subs[kMaxSubscriptions];
unsigned g_next_client_id = 1;
bool g_verbose = false;
int64_t g_linger_ms = 0;

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
    ASAN_UNPOISON_MEMORY_REGION(c.in, kInSize);
    ASAN_POISON_MEMORY_REGION(c.in + c.in_len, kInSize - c.in_len);
}

// ---- output -------------------------------------------------------------

void flush_client(Client& c)
{
    size_t sent = 0;
    while (sent < c.out_len) {
        ssize_t n = g_io.send(c.fd, c.out + sent, c.out_len - sent);
        if (n > 0) { sent += size_t(n); continue; }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        log_line("client %u: send failed: %s", c.id, strerror(errno));
        close_now(c);
        break;
    }
    memmove(c.out, c.out + sent, c.out_len - sent);
    c.out_len -= sent;
}

// Queues one message; payload (may be null) is padded to 8 bytes.
void reply(Client& c, Header h, const void* payload, size_t payload_len)
{
    if (c.closing) return;
    size_t padded = pad8(payload_len);
    h.payload_size = uint32_t(padded);
    if (c.out_len + kExtHeaderSize + padded > kOutSize) flush_client(c);
    if (c.out_len + kExtHeaderSize + padded > kOutSize) {
        fprintf(stderr, "ca_server: client %u: dropped, it does not read its replies\n", c.id);
        close_now(c);
        return;
    }
    uint8_t* p = c.out + c.out_len;
    size_t n = encode_header(p, h);
    if (payload_len) memcpy(p + n, payload, payload_len);
    memset(p + n + payload_len, 0, padded - payload_len);
    c.out_len += n + padded;
}

void reply_error(Client& c, const Header& request, uint32_t cid, EcaStatus status,
                 const char* text)
{
    uint8_t body[kExtHeaderSize + 128];
    Header echo = request;
    size_t n = encode_header(body, echo);
    snprintf(reinterpret_cast<char*>(body + n), sizeof body - n, "%s", text);
    size_t len = strlen(reinterpret_cast<char*>(body + n));
    reply(c, Header{CMD_ERROR, 0, 0, 0, cid, status}, body, n + len + 1);
}

// ---- channels and subscriptions ----------------------------------------

Channel* channel_of(int client, uint32_t sid)
{
    if (sid >= kMaxChannels) return nullptr;
    Channel& ch = g_channels[sid];
    return ch.used && ch.client == client ? &ch : nullptr;
}

void drop_client(int index)
{
    Client& c = g_clients[index];
    for (Channel& ch : g_channels)
        if (ch.used && ch.client == index) ch.used = false;
    for (Subscription& s : g_subs)
        if (s.used && s.client == index) s.used = false;
    g_io.close(c.fd);
    log_line("client %u: disconnected", c.id);
    c.fd = -1;
    c.closing = c.held = false;
    c.in_len = c.out_len = 0;
    mark_input(c);
}

uint32_t rights_of(const Pv& pv)
{
    return (pv.no_read ? 0u : ACCESS_READ) | (pv.no_write ? 0u : ACCESS_WRITE);
}

// Sends the PV's value as a READ_NOTIFY, READ or EVENT_ADD answer; returns
// the status sent.
EcaStatus send_value(Client& c, uint16_t command, const Pv& pv, uint16_t type, uint32_t count,
                uint32_t id, uint32_t sid)
{
    uint8_t body[kMaxReply];
    EcaStatus status = ECA_NORMAL;
    size_t size = 0;
    if (count > 1) status = ECA_BADCOUNT;
    else if (pv.no_read) status = ECA_NORDACCESS;
    if (status == ECA_NORMAL || status == ECA_NORDACCESS) {
        EcaStatus conv;
        size = pv_encode(pv, type, body, sizeof body, conv);
        if (size == 0) status = ECA_BADTYPE;
        else if (status == ECA_NORDACCESS) memset(body, 0, size);
        else status = conv;
    }
    // READ carries the server id where the others carry the status.
    uint32_t p1 = command == CMD_READ ? sid : uint32_t(status);
    reply(c, Header{command, 0, type, 1, p1, id}, body, size);
    return status;
}

// ": status N" for the log when a request failed, else "".
struct StatusNote { char text[24]; };
StatusNote status_note(EcaStatus status)
{
    StatusNote note{};
    if (status != ECA_NORMAL)
        snprintf(note.text, sizeof note.text, ": status %u", unsigned(status));
    return note;
}

void post_monitors(int pv_index)
{
    const Pv& pv = pv_at(size_t(pv_index));
    for (Subscription& s : g_subs) {
        if (!s.used || !(s.mask & (DBE_VALUE | DBE_LOG))) continue;
        if (g_channels[s.sid].pv != pv_index) continue;
        Client& c = g_clients[s.client];
        send_value(c, CMD_EVENT_ADD, pv, s.type, 1, s.subid, s.sid);
    }
}

// ---- requests -----------------------------------------------------------

void create_channel(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    char name[kMaxPvName + 1] = {};
    size_t len = strnlen(reinterpret_cast<const char*>(payload), h.payload_size);
    int pv = len < sizeof name ? find_pv(std::string_view(
                                     reinterpret_cast<const char*>(payload), len))
                               : -1;
    memcpy(name, payload, len < kMaxPvName ? len : kMaxPvName);
    size_t sid = 0;
    while (sid < kMaxChannels && g_channels[sid].used) ++sid;
    if (pv < 0 || sid == kMaxChannels) {
        log_line("client %u: CREATE_CHAN %s: %s", c.id, name,
                 pv < 0 ? "no such PV" : "channel table full");
        reply(c, Header{CMD_CREATE_CH_FAIL, 0, 0, 0, h.param1, 0}, nullptr, 0);
        return;
    }
    g_channels[sid] = Channel{true, index, h.param1, pv};
    const Pv& p = pv_at(size_t(pv));
    log_line("client %u: CREATE_CHAN %s cid=%u sid=%zu", c.id, name, h.param1, sid);
    reply(c, Header{CMD_ACCESS_RIGHTS, 0, 0, 0, h.param1, rights_of(p)}, nullptr, 0);
    reply(c, Header{CMD_CREATE_CHAN, 0, p.value.type, 1, h.param1, uint32_t(sid)}, nullptr, 0);
}

void write_request(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    bool notify = h.command == CMD_WRITE_NOTIFY;
    Channel* ch = channel_of(index, h.param1);
    EcaStatus status = ECA_NORMAL;
    const char* why = "";
    Pv* pv = ch ? &pv_at(size_t(ch->pv)) : nullptr;
    size_t min_size = h.data_type == DBR_STRING ? 1 : dbr_value_size(DbrType(h.data_type));
    if (!pv) { status = ECA_BADCHID; why = "unknown channel"; }
    else if (pv->no_write) { status = ECA_NOWTACCESS; why = "write access denied"; }
    else if (h.data_type == DBR_PUT_ACKT || h.data_type == DBR_PUT_ACKS) status = ECA_NORMAL;
    else if (h.data_type >= kPlainTypes) { status = ECA_BADTYPE; why = "unsupported type"; }
    else if (h.count < 1 || h.payload_size < min_size) {
        status = ECA_BADCOUNT; why = "no value in the request";
    } else {
        // The client sends a lone string only up to its NUL: widen it to 40 bytes.
        uint8_t value[kMaxString] = {};
        memcpy(value, payload, h.payload_size < kMaxString ? h.payload_size : kMaxString);
        status = pv_write(*pv, DbrType(h.data_type), value);
        why = "value does not convert to the PV's type";
    }
    log_line("client %u: %s %s as %s: %s", c.id, command_name(h.command), pv ? pv->name : "?",
             dbr_type_name(h.data_type), status == ECA_NORMAL ? "ok" : why);
    if (notify)
        reply(c, Header{CMD_WRITE_NOTIFY, 0, h.data_type, h.count, status, h.param2}, nullptr, 0);
    else if (status != ECA_NORMAL)
        reply_error(c, h, ch ? ch->cid : 0, status, why);
    // Only writes an IOC's record would post reach value monitors.
    if (status == ECA_NORMAL && pv && h.data_type < kPlainTypes && pv->monitor_due)
        post_monitors(ch->pv);
}

// Returns false when the read holds the circuit (answered later).
bool read_request(int index, const Header& h, bool delayed_already)
{
    Client& c = g_clients[index];
    Channel* ch = channel_of(index, h.param1);
    if (!ch) {
        log_line("client %u: %s for unknown channel %u", c.id, command_name(h.command), h.param1);
        reply_error(c, h, 0, ECA_BADCHID, "unknown channel");
        return true;
    }
    Pv& pv = pv_at(size_t(ch->pv));
    if (pv.no_answer) {
        log_line("client %u: %s %s: not answered (noanswer)", c.id, command_name(h.command),
                 pv.name);
        return true;
    }
    if (!delayed_already && pv.delay_ms > 0 && pv.delayed_reads_left != 0) {
        if (pv.delayed_reads_left > 0) --pv.delayed_reads_left;
        log_line("client %u: %s %s: answer in %u ms", c.id, command_name(h.command), pv.name,
                 pv.delay_ms);
        c.held = true;
        c.hold_until_ms = now_ms() + pv.delay_ms;
        c.held_request = h;
        return false;
    }
    EcaStatus status = send_value(c, h.command, pv, h.data_type, h.count, h.param2, h.param1);
    log_line("client %u: %s %s as %s%s", c.id, command_name(h.command), pv.name,
             dbr_type_name(h.data_type), status_note(status).text);
    return true;
}

void event_add(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    Channel* ch = channel_of(index, h.param1);
    size_t slot = 0;
    while (slot < kMaxSubscriptions && g_subs[slot].used) ++slot;
    if (!ch || slot == kMaxSubscriptions) {
        const char* why = ch ? "too many monitors" : "unknown channel";
        log_line("client %u: EVENT_ADD refused: %s", c.id, why);
        reply_error(c, h, ch ? ch->cid : 0, ch ? ECA_ALLOCMEM : ECA_BADCHID, why);
        return;
    }
    uint16_t mask = h.payload_size >= 14 ? get16(payload + 12) : uint16_t(DBE_VALUE);
    g_subs[slot] = Subscription{true, index, h.param1, h.param2, h.data_type, mask};
    const Pv& pv = pv_at(size_t(ch->pv));
    EcaStatus status = send_value(c, CMD_EVENT_ADD, pv, h.data_type, h.count, h.param2,
                                  h.param1);
    log_line("client %u: EVENT_ADD %s as %s mask=%u%s", c.id, pv.name,
             dbr_type_name(h.data_type), unsigned(mask), status_note(status).text);
}

void event_cancel(int index, const Header& h)
{
    Client& c = g_clients[index];
    for (Subscription& s : g_subs) {
        if (!s.used || s.client != index || s.sid != h.param1 || s.subid != h.param2) continue;
        s.used = false;
        log_line("client %u: EVENT_CANCEL subscription %u", c.id, h.param2);
        reply(c, Header{CMD_EVENT_ADD, 0, h.data_type, h.count, h.param1, h.param2}, nullptr, 0);
        return;
    }
}

void clear_channel(int index, const Header& h)
{
    Client& c = g_clients[index];
    Channel* ch = channel_of(index, h.param1);
    log_line("client %u: CLEAR_CHANNEL sid=%u", c.id, h.param1);
    if (!ch) return;
    for (Subscription& s : g_subs)
        if (s.used && s.client == index && s.sid == h.param1) s.used = false;
    ch->used = false;
    reply(c, Header{CMD_CLEAR_CHANNEL, 0, 0, 0, h.param1, h.param2}, nullptr, 0);
}

void copy_name(char* dst, size_t cap, const uint8_t* payload, uint32_t size)
{
    size_t len = strnlen(reinterpret_cast<const char*>(payload), size);
    if (len >= cap) len = cap - 1;
    memcpy(dst, payload, len);
    dst[len] = '\0';
}

// Handles one request; false when the circuit is now held by a late read.
bool dispatch(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    switch (h.command) {
    case CMD_VERSION: log_line("client %u: VERSION minor=%u", c.id, h.count); break;
    case CMD_CLIENT_NAME:
        copy_name(c.user, sizeof c.user, payload, h.payload_size);
        log_line("client %u: CLIENT_NAME %s", c.id, c.user);
        break;
    case CMD_HOST_NAME:
        copy_name(c.host, sizeof c.host, payload, h.payload_size);
        log_line("client %u: HOST_NAME %s", c.id, c.host);
        break;
    case CMD_CREATE_CHAN: create_channel(index, h, payload); break;
    case CMD_READ:
    case CMD_READ_NOTIFY: return read_request(index, h, false);
    case CMD_WRITE:
    case CMD_WRITE_NOTIFY: write_request(index, h, payload); break;
    case CMD_EVENT_ADD: event_add(index, h, payload); break;
    case CMD_EVENT_CANCEL: event_cancel(index, h); break;
    case CMD_CLEAR_CHANNEL: clear_channel(index, h); break;
    case CMD_ECHO:
        log_line("client %u: ECHO", c.id);
        reply(c, Header{CMD_ECHO, 0, 0, 0, 0, 0}, nullptr, 0);
        break;
    case CMD_READ_SYNC:
        log_line("client %u: READ_SYNC", c.id);
        reply(c, h, nullptr, 0);
        break;
    case CMD_EVENTS_OFF:
    case CMD_EVENTS_ON: log_line("client %u: %s (ignored)", c.id, command_name(h.command)); break;
    default: log_line("client %u: unknown command %u ignored", c.id, unsigned(h.command)); break;
    }
    return true;
}

// Runs the complete requests in the input buffer, in order, until a late
// read holds the circuit.
void process_input(int index)
{
    Client& c = g_clients[index];
    size_t pos = 0;
    while (!c.held && !c.closing) {
        Header h;
        size_t hlen = decode_header(c.in + pos, c.in_len - pos, h);
        if (hlen == 0) break;
        if (hlen + size_t(h.payload_size) > kInSize) {
            fprintf(stderr, "ca_server: client %u: dropped, request of %u bytes is too large\n",
                    c.id, h.payload_size);
            close_now(c);
            break;
        }
        if (c.in_len - pos < hlen + h.payload_size) break;
        const uint8_t* payload = c.in + pos + hlen;
        pos += hlen + h.payload_size;
        dispatch(index, h, payload);
    }
    memmove(c.in, c.in + pos, c.in_len - pos);
    c.in_len -= pos;
    mark_input(c);
}

void release_if_due(int index, int64_t now)
{
    Client& c = g_clients[index];
    if (!c.held || now < c.hold_until_ms) return;
    read_request(index, c.held_request, true);
    c.held = false;
    process_input(index);
}

void read_client(size_t index)
{
    Client& c = g_clients[index];
    if (c.closing) return;
    if (c.in_len == kInSize) return;  // full: wait until a late read is answered
    ASAN_UNPOISON_MEMORY_REGION(c.in + c.in_len, kInSize - c.in_len);
    ssize_t n = g_io.recv(c.fd, c.in + c.in_len, kInSize - c.in_len);
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

}  // namespace

void set_verbose(bool verbose) { g_verbose = verbose; }

void circuit_set_io(const CircuitIo& io) { g_io = io; }

void circuit_set_linger(int64_t ms) { g_linger_ms = ms; }

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

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int circuit_open(int fd, const char* peer)
{
    size_t index = 0;
    while (index < kMaxClients && g_clients[index].fd >= 0) ++index;
    if (index == kMaxClients) return -1;
    Client& c = g_clients[index];
    c.fd = fd;
    c.id = g_next_client_id++;
    c.user[0] = c.host[0] = '\0';
    c.in_len = c.out_len = 0;
    c.closing = c.held = false;
    c.close_at_ms = 0;
    mark_input(c);
    log_line("client %u: connected from %s", c.id, peer);
    reply(c, Header{CMD_VERSION, 0, 0, kMinorVersion, 0, 0}, nullptr, 0);
    return int(index);
}

int circuit_fd(size_t index) { return g_clients[index].fd; }

short circuit_events(size_t index, int64_t& wake)
{
    const Client& c = g_clients[index];
    if (c.closing) {
        // Nothing more is read; only what is queued still goes out.
        if (wake < 0 || c.close_at_ms < wake) wake = c.close_at_ms;
        return c.out_len > 0 ? POLLOUT : 0;
    }
    if (c.held && (wake < 0 || c.hold_until_ms < wake)) wake = c.hold_until_ms;
    short events = c.in_len < kInSize ? POLLIN : 0;
    return c.out_len > 0 ? short(events | POLLOUT) : events;
}

void circuit_readable(size_t index)
{
    if (g_clients[index].fd >= 0) read_client(index);
}

void circuit_service(size_t index, int64_t now)
{
    Client& c = g_clients[index];
    if (c.fd < 0) return;
    release_if_due(int(index), now);
    if (c.out_len > 0) flush_client(c);
    if (c.closing && now >= c.close_at_ms) drop_client(int(index));
}

void circuit_close_all()
{
    for (size_t k = 0; k < kMaxClients; ++k)
        if (g_clients[k].fd >= 0) drop_client(int(k));
}

}  // namespace ca
