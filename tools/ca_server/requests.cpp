// The requests of a circuit, each answered as an IOC answers it.
#include <cstdio>
#include <cstring>

#include "circuit_internal.h"

namespace ca {

namespace {

uint32_t rights_of(const Pv& pv)
{
    return (pv.no_read ? 0u : ACCESS_READ) | (pv.no_write ? 0u : ACCESS_WRITE);
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

// " count=N" for the log when a request is for other than one element.
struct CountNote { char text[24]; };
CountNote count_note(uint32_t count)
{
    CountNote note{};
    if (count != 1) snprintf(note.text, sizeof note.text, " count=%u", unsigned(count));
    return note;
}

void create_channel(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    char name[kMaxPvName + 8] = {};
    size_t len = strnlen(reinterpret_cast<const char*>(payload), h.payload_size);
    View view = VIEW_VALUE;
    int pv = len < sizeof name ? find_channel(std::string_view(
                                     reinterpret_cast<const char*>(payload), len), view)
                               : -1;
    memcpy(name, payload, len < sizeof name - 1 ? len : sizeof name - 1);
    int sid = pv < 0 ? -1 : add_channel(index, h.param1, pv, view);
    if (sid < 0) {
        log_line("client %u: CREATE_CHAN %s: %s", c.id, name,
                 pv < 0 ? "no such PV" : "channel table full");
        reply(c, Header{CMD_CREATE_CH_FAIL, 0, 0, 0, h.param1, 0}, nullptr, 0);
        return;
    }
    const Pv& p = pv_at(size_t(pv));
    log_line("client %u: CREATE_CHAN %s cid=%u sid=%d", c.id, name, h.param1, sid);
    reply(c, Header{CMD_ACCESS_RIGHTS, 0, 0, 0, h.param1, rights_of(p)}, nullptr, 0);
    reply(c, Header{CMD_CREATE_CHAN, 0, view_type(p, view), view_count(p, view), h.param1,
                    uint32_t(sid)},
          nullptr, 0);
}

// putdelay=MS: a write's processing takes MS; a WRITE_NOTIFY completes when
// it ends. As on an IOC whose record waits on a delay record: a write while
// the processing runs completes at once and has the PV processed once more
// when it ends. Returns whether this write started a processing.
bool delayed_processing(Pv& pv, int64_t now)
{
    if (pv.reprocess && now >= pv.busy_until_ms) {
        pv.busy_until_ms += pv.put_delay_ms;
        pv.reprocess = false;
    }
    if (now >= pv.busy_until_ms) {
        pv.busy_until_ms = now + pv.put_delay_ms;
        return true;
    }
    pv.reprocess = true;
    return false;
}

// False when the write waits: a WRITE_NOTIFY on a channel whose last one
// has not completed yet waits for it, holding the circuit (as an IOC
// serializes the put notifies of a channel).
bool write_request(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    bool notify = h.command == CMD_WRITE_NOTIFY;
    Channel* ch = channel_of(index, h.param1);
    if (notify && ch && ch->put_busy) {
        c.held = true;
        c.hold_until_ms = ch->put_due_ms;
        log_line("client %u: WRITE_NOTIFY waits for the channel's last put", c.id);
        return false;
    }
    EcaStatus status = ECA_NORMAL;
    const char* why = "";
    Pv* pv = ch ? &pv_at(size_t(ch->pv)) : nullptr;
    size_t min_size = h.data_type == DBR_STRING ? 1 : dbr_value_size(DbrType(h.data_type));
    bool array = pv && (pv->nelm > 1 || ch->view == VIEW_LONG_STRING);
    if (!pv) { status = ECA_BADCHID; why = "unknown channel"; }
    else if (pv->no_write) { status = ECA_NOWTACCESS; why = "write access denied"; }
    else if (h.data_type == DBR_PUT_ACKT || h.data_type == DBR_PUT_ACKS) status = ECA_NORMAL;
    else if (h.data_type >= kPlainTypes) { status = ECA_BADTYPE; why = "unsupported type"; }
    else if (!array && (h.count < 1 || h.payload_size < min_size)) {
        status = ECA_BADCOUNT; why = "no value in the request";
    } else if (pv->reject_put) {
        status = ECA_PUTFAIL; why = "the PV refuses every write (rejectput)";
    } else {
        status = pv_write(*pv, ch->view, DbrType(h.data_type), h.count, payload, h.payload_size);
        why = status == ECA_BADCOUNT ? "fewer values in the request than its count"
                                     : "value does not convert to the PV's type";
    }
    bool started = status == ECA_NORMAL && pv && h.data_type < kPlainTypes &&
                   pv->put_delay_ms > 0 && delayed_processing(*pv, now_ms());
    bool later = started && notify;
    if (later) start_put(c, *ch, h, pv->busy_until_ms);
    log_line("client %u: %s %s as %s%s: %s%s", c.id, command_name(h.command), pv ? pv->name : "?",
             dbr_type_name(h.data_type), count_note(h.count).text,
             status == ECA_NORMAL ? "ok" : why, later ? ", completes later (putdelay)" : "");
    if (notify && !later)
        reply(c, Header{CMD_WRITE_NOTIFY, 0, h.data_type, h.count, status, h.param2}, nullptr, 0);
    else if (!notify && status != ECA_NORMAL)
        reply_error(c, h, ch ? ch->cid : 0, status, why);
    // Only writes an IOC's record would post reach monitors.
    if (status == ECA_NORMAL && pv && h.data_type < kPlainTypes) circuit_post(ch->pv);
    return true;
}

// False when the read holds the circuit (answered later).
bool read_request(int index, const Header& h, bool released)
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
    if (!released && pv.delay_ms > 0 && pv.delayed_reads_left != 0) {
        if (pv.delayed_reads_left > 0) --pv.delayed_reads_left;
        log_line("client %u: %s %s: answer in %u ms", c.id, command_name(h.command), pv.name,
                 pv.delay_ms);
        c.held = true;
        c.hold_until_ms = now_ms() + pv.delay_ms;
        return false;
    }
    EcaStatus status = send_value(c, h.command, pv, ch->view, h.data_type, h.count, h.param2,
                                  h.param1);
    log_line("client %u: %s %s as %s%s%s", c.id, command_name(h.command), pv.name,
             dbr_type_name(h.data_type), count_note(h.count).text, status_note(status).text);
    return true;
}

void event_add(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    Channel* ch = channel_of(index, h.param1);
    uint16_t mask = h.payload_size >= 14 ? get16(payload + 12) : uint16_t(DBE_VALUE);
    int sub = ch ? add_subscription(Subscription{true, index, h.param1, h.param2, h.data_type,
                                                 mask, h.count, false, -1, -1})
                 : -1;
    if (sub < 0) {
        const char* why = ch ? "too many monitors" : "unknown channel";
        log_line("client %u: EVENT_ADD refused: %s", c.id, why);
        reply_error(c, h, ch ? ch->cid : 0, ch ? ECA_ALLOCMEM : ECA_BADCHID, why);
        return;
    }
    // The first update carries the current value.
    EcaStatus status = deliver(sub);
    log_line("client %u: EVENT_ADD %s as %s%s mask=%u%s", c.id, pv_at(size_t(ch->pv)).name,
             dbr_type_name(h.data_type), count_note(h.count).text, unsigned(mask),
             status_note(status).text);
}

void event_cancel(int index, const Header& h)
{
    Client& c = g_clients[index];
    for (size_t k = 0; k < kMaxSubscriptions; ++k) {
        const Subscription& s = g_subs[k];
        if (!s.used || s.client != index || s.sid != h.param1 || s.subid != h.param2) continue;
        remove_subscription(int(k));
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
    remove_channel(h.param1);
    reply(c, Header{CMD_CLEAR_CHANNEL, 0, 0, 0, h.param1, h.param2}, nullptr, 0);
}

// EVENTS_OFF: the client falls behind; its updates wait (the newest of
// each subscription) until EVENTS_ON.
void events_switch(int index, bool on)
{
    Client& c = g_clients[index];
    c.events_off = !on;
    log_line("client %u: %s (%u updates waiting)", c.id, on ? "EVENTS_ON" : "EVENTS_OFF",
             c.pending);
    if (on) deliver_pending(index);
}

void copy_name(char* dst, size_t cap, const uint8_t* payload, uint32_t size)
{
    size_t len = strnlen(reinterpret_cast<const char*>(payload), size);
    if (len >= cap) len = cap - 1;
    memcpy(dst, payload, len);
    dst[len] = '\0';
}

}  // namespace

bool dispatch(int index, const Header& h, const uint8_t* payload)
{
    Client& c = g_clients[index];
    // A held request runs once without waiting again; the ones after it may.
    bool released = c.released;
    c.released = false;
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
    case CMD_READ_NOTIFY: return read_request(index, h, released);
    case CMD_WRITE:
    case CMD_WRITE_NOTIFY: return write_request(index, h, payload);
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
    case CMD_EVENTS_ON: events_switch(index, h.command == CMD_EVENTS_ON); break;
    default: log_line("client %u: unknown command %u ignored", c.id, unsigned(h.command)); break;
    }
    return true;
}

}  // namespace ca
