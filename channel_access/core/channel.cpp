// Channel records and the slot table.
//
// Why the specified gets' receive buffers belong to the slots: ca_array_get
// keeps the buffer address until the answer arrives.  When ca_pend_io times
// out the library only stops counting that get: the answer may still arrive
// later and be copied into the buffer during any later ca_pend_io, so the
// buffer cannot live on the stack of the command.  Each slot therefore owns
// its receive buffers, one per request type.  Answers on one circuit arrive
// in request order, so a late answer for a slot always lands before the
// answer of the next get on that slot, which overwrites it before its own
// ca_pend_io returns; a late answer on another slot lands in that slot's
// buffers only.  Clearing a channel or destroying the context cancels any
// copy still pending, so a slot reused for a new channel never receives an
// old answer.
#include "channel.h"
#include "lock.h"
#include "pool.h"
#include "../pva/pva.h"

#include <climits>
#include <cstdlib>

extern "C" {
chid EPICS_ChanIdStore[kSlotCount] = {};
int32_t EPICS_ChanIdInUse[kSlotCount] = {};
}

namespace tessaly {
namespace {

constexpr std::size_t kMaxChanges = 64;  // changes kept while none is delivered

Channel slots[kSlotCount];
Pool<Channel> named;          // under the callback lock
int slotsDown = 0;            // under the callback lock
int commandsWaiting = 0;      // under the callback lock
std::vector<Channel*> arrivals;  // under the callback lock
const Feature* lostServers = nullptr;

bool slotsReady = false;
void readySlots() {
    if (slotsReady) return;
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) slots[slot].ref = slot;
    slotsReady = true;
}

void deliverLinks(uint32_t ref, uint32_t generation) {
    Channel* channel = channelAt(ref, generation);
    if (channel == nullptr) return;
    std::vector<bool> changes;
    {
        Held hold(callbackLock());
        changes.swap(channel->changes);
        channel->queued = false;
    }
    // A hook may clear the channel: the record's generation then moves on.
    for (bool up : changes) {
        if (channelAt(ref, generation) == nullptr) return;
        connectionChanged(*channel, up);
    }
}

// Under the callback lock: a change waits for delivery.
void queueChange(Channel& channel, bool up) {
    if (channel.changes.size() == kMaxChanges)
        channel.changes.erase(channel.changes.begin(), channel.changes.begin() + 2);
    channel.changes.push_back(up);
    if (!channel.queued) {
        channel.queued = true;
        noteReady(kChannelLinks, channel.ref, channel.generation, channel.side);
    }
}

}  // namespace

const Feature kChannelLinks = {"channel links", deliverLinks, nullptr, nullptr, nullptr, nullptr, nullptr};

// ---- slots ---------------------------------------------------------------------

int32_t parseInt32(const char* text) {
    long value = strtol(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

uint32_t parseSlot(const char* text) { return static_cast<uint32_t>(parseInt32(text)); }

bool slotValid(uint32_t slot) { return slot < kSlotCount && EPICS_ChanIdInUse[slot] != 0; }

chid channelOf(uint32_t slot) { return EPICS_ChanIdStore[slot]; }

Channel& slotChannel(uint32_t slot) {
    readySlots();
    return slots[slot];
}

SlotValues& valuesOf(uint32_t slot) { return slots[slot].values; }

int freeSlotCount() {
    int count = 0;
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] == 0) ++count;
    return count;
}

int takeSlot(chid id) {
    readySlots();
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (EPICS_ChanIdInUse[slot] != 0) continue;
        Channel& channel = slots[slot];
        {
            Held hold(callbackLock());
            channel.id = id;
            channel.side = Side::Slots;
            channel.link = Link::Connecting;
            channel.handled = false;
            channel.queued = false;
            channel.changes.clear();
        }
        channel.watchers = 0;
        ca_set_puser(id, &channel);
        EPICS_ChanIdStore[slot] = id;
        EPICS_ChanIdInUse[slot] = 1;
        return slot;
    }
    return -1;
}

void releaseSlot(uint32_t slot) {
    Channel& channel = slotChannel(slot);
    forgetChannel(channel, nullptr, Ending::Cleared);
    {
        Held hold(callbackLock());
        if (channel.handled && channel.link != Link::Connected) --slotsDown;
        channel.handled = false;
        channel.queued = false;
        channel.changes.clear();
        ++channel.generation;
    }
    channel.watchers = 0;
    EPICS_ChanIdInUse[slot] = 0;
}

void releaseAllSlots() {
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] != 0) releaseSlot(slot);
}

// ---- the name layer's records ------------------------------------------------------

Channel* newNameChannel() {
    Held hold(callbackLock());
    long index = named.add();
    if (index < 0) return nullptr;
    Channel& channel = named[static_cast<std::size_t>(index)];
    channel.side = Side::Names;
    channel.ref = kSlotCount + static_cast<uint32_t>(index);
    channel.generation = named.generation(static_cast<std::size_t>(index));
    return &channel;
}

void freeNameChannel(Channel& channel) {
    Held hold(callbackLock());
    named.remove(channel.ref - kSlotCount);
}

std::size_t nameChannelCount() {
    Held hold(callbackLock());
    return named.live();
}

Channel* nameChannelAt(std::size_t index) { return named.used(index) ? &named[index] : nullptr; }

std::size_t nameChannelSlots() { return named.size(); }

// ---- any record -----------------------------------------------------------------------

Channel* channelAt(uint32_t ref, uint32_t generation) {
    if (ref < kSlotCount) {
        Channel& channel = slotChannel(ref);
        return EPICS_ChanIdInUse[ref] != 0 && channel.generation == generation ? &channel : nullptr;
    }
    return named.find(ref - kSlotCount, generation);
}

bool isConnected(const Channel& channel) {
    if (channel.protocol == Protocol::Ca) return ca_state(channel.id) == cs_conn;
    return linkOf(channel) == Link::Connected;
}

const char* channelName(const Channel& channel) {
    return channel.protocol == Protocol::Ca ? ca_name(channel.id) : pva::label(channel);
}

Link linkOf(const Channel& channel) {
    Held hold(callbackLock());
    return channel.link;
}

void onConnection(connection_handler_args args) {
    auto* channel = static_cast<Channel*>(ca_puser(args.chid));
    if (channel != nullptr) noteLink(channel, args.op == CA_OP_CONN_UP);
}

void noteLink(Channel* channel, bool up) {
    Link now = up ? Link::Connected : Link::Disconnected;
    Held hold(callbackLock());
    if (channel->link == now || (channel->link == Link::Connecting && !up)) return;
    bool counted = channel->side == Side::Slots && channel->handled;
    if (counted) slotsDown += now == Link::Connected ? -1 : channel->link == Link::Connected ? 1 : 0;
    bool lostServer = channel->link == Link::Connected && channel->side == Side::Names &&
                      channel->protocol == Protocol::Ca;
    channel->link = now;
    if (lostServer && lostServers != nullptr && !channel->lost) {
        channel->lost = true;
        noteReady(*lostServers, channel->ref, channel->generation, channel->side);
    }
    if (channel->awaited && now == Link::Connected) {
        channel->awaited = false;
        arrivals.push_back(channel);
    }
    if (commandsWaiting > 0) answerArrived().notify_all();
    if (!channel->handled) {
        // Whoever watches the name next hears where it stands.
        channel->unheard = true;
        return;
    }
    queueChange(*channel, now == Link::Connected);
}

void tellLostServers(const Feature& feature) { lostServers = &feature; }

void watchChannel(Channel& channel) {
    if (channel.watchers++ > 0) return;
    if (channel.side == Side::Names) {
        // The handler is on from the start; its changes are now delivered.
        // One that came while nothing watched (the connection of a name
        // found while the command that made it still ran) was dropped: a
        // connected channel is told so now, through the event loop, as if
        // it had just connected.
        Held hold(callbackLock());
        channel.handled = true;
        if (channel.unheard && channel.link == Link::Connected) queueChange(channel, true);
        channel.unheard = false;
        return;
    }
    bool up = isConnected(channel);
    {
        Held hold(callbackLock());
        channel.handled = true;
        channel.link = up ? Link::Connected : Link::Disconnected;
        if (!up) ++slotsDown;
    }
    ca_change_connection_event(channel.id, onConnection);
}

void unwatchChannel(Channel& channel, bool alive) {
    if (channel.watchers == 0 || --channel.watchers > 0) return;
    {
        Held hold(callbackLock());
        if (channel.side == Side::Slots && channel.handled && channel.link != Link::Connected) --slotsDown;
        // Changes not yet delivered go to whoever watches the name next.
        if (channel.side == Side::Names && !channel.changes.empty()) channel.unheard = true;
        channel.handled = false;
        channel.queued = false;
        channel.changes.clear();
    }
    if (alive && channel.side == Side::Slots) ca_change_connection_event(channel.id, nullptr);
}

int watchedSlotsDown() {
    Held hold(callbackLock());
    return slotsDown;
}

void waitingCommands(int change) {
    checkLocked("waitingCommands");
    commandsWaiting += change;
}

bool anyCommandWaiting() { return commandsWaiting > 0; }

void takeArrivals(std::vector<Channel*>& out) {
    checkLocked("takeArrivals");
    out.swap(arrivals);
    arrivals.clear();
}

}  // namespace tessaly
