// What the circuit files share: the clients, their channels and
// subscriptions, and the output side every answer goes through.
#pragma once

#include "ca_proto.h"
#include "circuit.h"
#include "pv_store.h"

namespace ca {

constexpr size_t kMaxChannels = 16384;
constexpr size_t kMaxSubscriptions = 16384;
constexpr size_t kInBase = kMaxTcp;   // input buffer of a circuit until a request needs more
constexpr size_t kOutBase = 65536;    // output buffer until answers need more
constexpr size_t kEventRoom = 65536;  // monitor updates are queued while less waits unsent

struct Client {
    int fd = -1;
    unsigned id = 0;
    char user[64] = {};
    char host[64] = {};
    uint8_t* in = nullptr;   // received bytes [0, in_len) of in_cap
    size_t in_len = 0, in_cap = 0;
    uint8_t* out = nullptr;  // replies; [out_pos, out_len) not sent yet
    size_t out_pos = 0, out_len = 0, out_cap = 0;
    bool closing = false;
    int64_t close_at_ms = 0;    // when a closing circuit is dropped
    bool held = false;          // the first request waits (a late read, a busy put)
    int64_t hold_until_ms = 0;
    bool released = false;      // that request runs now without waiting again
    bool events_off = false;    // EVENTS_OFF: monitor updates wait for EVENTS_ON
    unsigned pending = 0;       // subscriptions with an update waiting
    unsigned puts_busy = 0;     // put completions still to come
    int64_t next_put_ms = 0;    // the first of them
};

struct Channel {
    bool used;
    int client;
    uint32_t cid;
    int pv;
    View view;
    bool put_busy;        // a WRITE_NOTIFY completes at put_due_ms
    int64_t put_due_ms;
    Header put_reply;     // its answer
};

struct Subscription {
    bool used;
    int client;
    uint32_t sid;
    uint32_t subid;
    uint16_t type;
    uint16_t mask;
    uint32_t count;       // 0: the current length
    bool pending;         // an update waits for room
    int prev, next;       // the PV's subscriptions
};

extern Client g_clients[kMaxClients];
extern Channel g_channels[kMaxChannels];
extern Subscription g_subs[kMaxSubscriptions];

// ---- output (circuit.cpp) ----
size_t unsent(const Client& c);
// Room for a message with a payload of payload_len bytes (padded to 8 and
// zeroed here): returns where the payload goes and sets *header to the
// message, or null when the circuit is closing or was dropped because its
// client does not read its replies.
uint8_t* reply_reserve(Client& c, Header h, size_t payload_len, uint8_t** header);
void reply(Client& c, Header h, const void* payload, size_t payload_len);
void reply_error(Client& c, const Header& request, uint32_t cid, EcaStatus status,
                 const char* text);
void flush_client(Client& c);
size_t max_message();

// ---- channels and subscriptions (subscriptions.cpp) ----
Channel* channel_of(int client, uint32_t sid);
int add_channel(int client, uint32_t cid, int pv, View view);  // the sid, -1 when full
void remove_channel(uint32_t sid);  // with its subscriptions and put
int add_subscription(const Subscription& s);  // its index, -1 when full
void remove_subscription(int index);
void forget_client(int client);  // every channel and subscription of it
// Sends a subscription its PV's current value now, or keeps it pending
// while its client cannot take more (EVENTS_OFF, or kEventRoom waiting):
// only the newest value waits. Returns the status sent (ECA_NORMAL when
// kept).
EcaStatus deliver(int sub);
void deliver_pending(int client);

// Answers a READ_NOTIFY, READ or EVENT_ADD with the PV's value (an ERROR
// with ECA_TOLARGE when it does not fit max_message()); returns the status.
EcaStatus send_value(Client& c, uint16_t command, const Pv& pv, View view, uint16_t type,
                     uint32_t count, uint32_t id, uint32_t sid);

// ---- requests (requests.cpp) ----
// Handles one request; false when it must wait (the circuit is held until
// c.hold_until_ms, the request stays in the input).
bool dispatch(int index, const Header& h, const uint8_t* payload);
// put completions whose time has come (put_completion.cpp)
void start_put(Client& c, Channel& ch, const Header& request, int64_t due_ms);
void complete_due_puts(int index, int64_t now);

}  // namespace ca
