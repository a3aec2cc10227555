// Channels and subscriptions of every circuit, and monitor updates. Each
// PV keeps a list of its subscriptions, so a write posts to its own
// monitors only. An update goes out at once while its client takes them;
// a client that has sent EVENTS_OFF, or has kEventRoom bytes unsent, gets
// its updates later: each of its subscriptions keeps only its newest value
// pending (as an IOC's event queue replaces a subscription's last entry
// under flow control), sent once the client can take more.
#include <cstdio>
#include <cstring>

#include "circuit_internal.h"

namespace ca {

Channel g_channels[kMaxChannels];
Subscription g_subs[kMaxSubscriptions];

namespace {

int g_first_sub[kMaxPvs];  // each PV's first subscription, -1 when none
bool g_lists_ready = false;

void ready_lists()
{
    if (g_lists_ready) return;
    for (int& first : g_first_sub) first = -1;
    g_lists_ready = true;
}

bool has_room(const Client& c) { return !c.closing && !c.events_off && unsent(c) < kEventRoom; }

void clear_pending(Subscription& s)
{
    if (!s.pending) return;
    s.pending = false;
    --g_clients[s.client].pending;
}

}  // namespace

Channel* channel_of(int client, uint32_t sid)
{
    if (sid >= kMaxChannels) return nullptr;
    Channel& ch = g_channels[sid];
    return ch.used && ch.client == client ? &ch : nullptr;
}

int add_channel(int client, uint32_t cid, int pv, View view)
{
    for (size_t sid = 0; sid < kMaxChannels; ++sid) {
        if (g_channels[sid].used) continue;
        g_channels[sid] = Channel{true, client, cid, pv, view, false, 0, Header{}};
        return int(sid);
    }
    return -1;
}

void remove_channel(uint32_t sid)
{
    ready_lists();
    Channel& ch = g_channels[sid];
    for (int k = g_first_sub[ch.pv]; k >= 0;) {
        int next = g_subs[k].next;
        if (g_subs[k].sid == sid) remove_subscription(k);
        k = next;
    }
    if (ch.put_busy) --g_clients[ch.client].puts_busy;
    ch = Channel();
}

int add_subscription(const Subscription& s)
{
    ready_lists();
    for (size_t k = 0; k < kMaxSubscriptions; ++k) {
        if (g_subs[k].used) continue;
        int pv = g_channels[s.sid].pv;
        g_subs[k] = s;
        g_subs[k].used = true;
        g_subs[k].pending = false;
        g_subs[k].prev = -1;
        g_subs[k].next = g_first_sub[pv];
        if (g_first_sub[pv] >= 0) g_subs[g_first_sub[pv]].prev = int(k);
        g_first_sub[pv] = int(k);
        return int(k);
    }
    return -1;
}

void remove_subscription(int index)
{
    Subscription& s = g_subs[index];
    clear_pending(s);
    int pv = g_channels[s.sid].pv;
    if (s.prev >= 0) g_subs[s.prev].next = s.next;
    else g_first_sub[pv] = s.next;
    if (s.next >= 0) g_subs[s.next].prev = s.prev;
    s = Subscription();
}

void forget_client(int client)
{
    for (size_t sid = 0; sid < kMaxChannels; ++sid)
        if (g_channels[sid].used && g_channels[sid].client == client) remove_channel(uint32_t(sid));
}

EcaStatus deliver(int sub)
{
    Subscription& s = g_subs[sub];
    Client& c = g_clients[s.client];
    if (!has_room(c)) {
        if (!s.pending && !c.closing) {
            s.pending = true;
            ++c.pending;
        }
        return ECA_NORMAL;
    }
    // Whatever waited is older than what goes out now.
    clear_pending(s);
    const Channel& ch = g_channels[s.sid];
    return send_value(c, CMD_EVENT_ADD, pv_at(size_t(ch.pv)), ch.view, s.type, s.count, s.subid,
                      s.sid);
}

void deliver_pending(int client)
{
    Client& c = g_clients[client];
    for (size_t k = 0; k < kMaxSubscriptions && c.pending > 0 && has_room(c); ++k)
        if (g_subs[k].used && g_subs[k].client == client && g_subs[k].pending) deliver(int(k));
}

void circuit_post(int pv)
{
    ready_lists();
    uint16_t mask = pv_at(size_t(pv)).post_mask;
    if (mask == 0) return;
    for (int k = g_first_sub[pv]; k >= 0; k = g_subs[k].next)
        if (g_subs[k].mask & mask) deliver(k);
}

bool circuit_has_taker(int pv)
{
    ready_lists();
    for (int k = g_first_sub[pv]; k >= 0; k = g_subs[k].next)
        if ((g_subs[k].mask & (DBE_VALUE | DBE_LOG)) && has_room(g_clients[g_subs[k].client]))
            return true;
    return false;
}

EcaStatus send_value(Client& c, uint16_t command, const Pv& pv, View view, uint16_t type,
                     uint32_t count, uint32_t id, uint32_t sid)
{
    ReadShape shape = read_shape(pv, view, type, count);
    if (shape.size == 0 || type == DBR_PUT_ACKT || type == DBR_PUT_ACKS) {
        // READ carries the server id where the others carry the status.
        uint32_t p1 = command == CMD_READ ? sid : uint32_t(ECA_BADTYPE);
        reply(c, Header{command, 0, type, 1, p1, id}, nullptr, 0);
        return ECA_BADTYPE;
    }
    if (kExtHeaderSize + pad8(shape.size) > max_message()) {
        char text[256];
        snprintf(text, sizeof text, "server unable to load read (or subscription update) "
                 "response into protocol buffer PV=\"%s\" max bytes=%zu", pv.name, max_message());
        uint32_t cid = sid < kMaxChannels ? g_channels[sid].cid : 0;
        reply_error(c, Header{command, 0, type, count, sid, id}, cid, ECA_TOLARGE, text);
        return ECA_TOLARGE;
    }
    uint8_t* header;
    uint8_t* body = reply_reserve(c, Header{command, 0, type, shape.count, 0, id}, shape.size,
                                  &header);
    if (!body) return ECA_NORMAL;
    EcaStatus status = ECA_NORMAL;
    pv_encode(pv, view, type, shape, body, status);
    if (pv.no_read) {
        memset(body, 0, shape.size);
        status = ECA_NORDACCESS;
    }
    put32(header + 8, command == CMD_READ ? sid : uint32_t(status));
    return status;
}

}  // namespace ca
