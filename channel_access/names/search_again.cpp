// A lost server is searched for again at once, and found again as soon as
// it is back.
//
// When a circuit goes down libca parks its channels in a "disconnect
// governor" that searches for them again only on a tick of its own, every
// 10 s, whatever the server does.  A channel made anew is searched for at
// once instead, but backs off as its searches go unanswered: after a few
// seconds it is searched for every few seconds only (a beacon anomaly
// brings that down to about 5 s, no further).  So:
//
//   - when a name's Channel Access channel loses its server, the name layer
//     makes a new library channel for the same record and clears the old
//     one: the record, its monitors and its scripts stay, its monitors
//     subscribe again when it connects, and scripts hear `0` then `1` as
//     with any reconnection;
//   - while any name is lost, one probe channel, made anew every second for
//     the oldest lost name, is searched for at libca's fastest pace; when it
//     connects (its server is back), every name still lost is made anew
//     once more, and all of them are searched for at once.
//
// One probe a second is all the extra traffic, however many names are
// lost.  The slot commands' channels are left as they are.
#include "names.h"
#include "../core/lock.h"
#include "../events/monitors.h"

#include <deque>
#include <string>
#include <unordered_set>

namespace tessaly {
namespace {

constexpr int kProbeMs = 1000;

// A name made anew is given this long to connect before a probe's find
// makes it anew again (many thousands connect well within it).
constexpr auto kRenewedFor = std::chrono::seconds(3);

struct Lost {
    uint32_t ref;
    uint32_t generation;
    Clock::time_point renewed;
};

std::deque<Lost> lost;               // on the interpreter's thread
chid probe = nullptr;                // on the interpreter's thread
uint32_t probeGeneration = 0;        // under the callback lock
bool probeFound = false;             // under the callback lock
Tcl_TimerToken probeTimer = nullptr;

extern const Feature kProbe;

// A new library channel of the same name for a channel not connected.
void renew(Channel& channel) {
    chid old = channel.id;
    std::string name = ca_name(old);
    // The old channel tells no more connection changes: one in progress may
    // still finish, and is then taken for the new channel's.
    ca_change_connection_event(old, nullptr);
    chid fresh = nullptr;
    if (ca_create_channel(name.c_str(), onConnection, &channel, kPriority, &fresh) != ECA_NORMAL) {
        // Out of memory: libca's own search stands.
        ca_change_connection_event(old, onConnection);
        if (ca_state(old) == cs_conn) noteLink(&channel, true);
        return;
    }
    dropSubscriptions(channel);  // clearing the old channel frees them
    ca_clear_channel(old);
    channel.id = fresh;
}

// The lost record, if it still is one (the others leave the list).
Channel* stillLost(const Lost& entry) {
    Channel* channel = channelAt(entry.ref, entry.generation);
    if (channel == nullptr || channel->protocol != Protocol::Ca) return nullptr;
    Held hold(callbackLock());
    return channel->link == Link::Disconnected ? channel : nullptr;
}

// Keeps the records still lost, each once; with `renewing`, each is made
// anew.
void keepLost(bool renewing) {
    std::deque<Lost> still;
    std::unordered_set<Channel*> seen;
    Clock::time_point now = Clock::now();
    for (Lost entry : lost) {
        Channel* channel = stillLost(entry);
        if (channel == nullptr || !seen.insert(channel).second) continue;
        if (renewing && now - entry.renewed >= kRenewedFor) {
            renew(*channel);
            entry.renewed = now;
        }
        still.push_back(entry);
    }
    lost.swap(still);
}

void endProbe() {
    if (probe != nullptr) {
        ca_clear_channel(probe);
        probe = nullptr;
    }
    Held hold(callbackLock());
    ++probeGeneration;
    probeFound = false;
}

void onProbe(connection_handler_args args) {
    if (args.op != CA_OP_CONN_UP) return;
    Held hold(callbackLock());
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ca_puser(args.chid)));
    if (generation != probeGeneration || probeFound) return;
    probeFound = true;
    noteReady(kProbe, 0, generation, Side::Names);
}

void probeTick(ClientData) {
    probeTimer = nullptr;
    keepLost(false);
    InNameContext in;
    endProbe();
    if (lost.empty()) return;
    uint32_t generation;
    {
        Held hold(callbackLock());
        generation = probeGeneration;
    }
    // (It may have connected since: the probe then finds its server at once.)
    Channel* channel = channelAt(lost.front().ref, lost.front().generation);
    void* tag = reinterpret_cast<void*>(static_cast<uintptr_t>(generation));
    if (ca_create_channel(ca_name(channel->id), onProbe, tag, kPriority, &probe) != ECA_NORMAL) probe = nullptr;
    ca_flush_io();
    probeTimer = Tcl_CreateTimerHandler(kProbeMs, probeTick, nullptr);
}

// The probe connected: every name still lost is searched for at once.
void probeFoundServer(uint32_t, uint32_t generation) {
    {
        Held hold(callbackLock());
        if (generation != probeGeneration) return;
    }
    if (probeTimer != nullptr) Tcl_DeleteTimerHandler(probeTimer);
    probeTimer = nullptr;
    checkUnlocked("ca_create_channel");
    InNameContext in;
    endProbe();
    keepLost(true);
    ca_flush_io();
    // Those whose server is not this one go on being probed for.
    if (!lost.empty()) probeTimer = Tcl_CreateTimerHandler(kProbeMs, probeTick, nullptr);
}

const Feature kProbe = {"probe", probeFoundServer, nullptr, nullptr, nullptr, nullptr, nullptr};

void searchAgain(uint32_t ref, uint32_t generation) {
    Channel* channel = channelAt(ref, generation);
    if (channel == nullptr || channel->protocol != Protocol::Ca) return;
    {
        Held hold(callbackLock());
        channel->lost = false;
        if (channel->link != Link::Disconnected) return;  // back already
    }
    checkUnlocked("ca_create_channel");
    {
        InNameContext in;
        renew(*channel);
        ca_flush_io();
    }
    lost.push_back(Lost{ref, generation, Clock::now()});
    if (probeTimer == nullptr) probeTimer = Tcl_CreateTimerHandler(kProbeMs, probeTick, nullptr);
}

}  // namespace

const Feature kSearchAgain = {"search again", searchAgain, nullptr, nullptr, nullptr, nullptr, nullptr};

void endSearchAgainAtExit() {
    if (probeTimer != nullptr) Tcl_DeleteTimerHandler(probeTimer);
    probeTimer = nullptr;
    lost.clear();
    if (probe == nullptr) return;
    InNameContext in;
    endProbe();
}

}  // namespace tessaly
