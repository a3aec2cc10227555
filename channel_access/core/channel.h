// Channel records.  A channel of the slot commands and a channel of the name
// layer are the same record: its identifier, its connection state, the
// buffers the specified gets receive into, and what hangs on it (monitors,
// connection scripts).  The slot table points at the records of slots
// 0..1023 (static, no allocation on the specified commands' path); the name
// table (names/) at records made for names, as many as memory holds.
//
// A record's `ref` names it in the ready list and in other features'
// records: slots are refs 0..1023, the name layer's records follow.
#pragma once

#include "context.h"
#include "registry.h"

#include <cstdint>
#include <vector>

namespace tessaly {

// Where the specified gets of a slot receive their values: the library keeps
// a get's buffer address until the answer arrives, which may be after the
// command has given up waiting, so the buffers belong to the slot (see
// channel.cpp).
struct SlotValues {
    uint16_t shortValue;
    float floatValue;
    char stringValue[MAX_STRING_SIZE];
};

enum class Link : uint8_t { Connecting, Connected, Disconnected };

// Which library serves a channel: Channel Access (libca, `id`), or PV
// Access (pvAccess's client, `pva`; names "pva://NAME" of the name layer).
enum class Protocol : uint8_t { Ca, Pva };
struct PvaLink;  // pva/pva.h

// A connection script of one interpreter (events/connections.cpp).
struct ChannelScript {
    Tcl_Interp* interp;
    Tcl_Obj* script;
};

struct Channel {
    // Set when the channel is made, on the interpreter's thread.
    chid id = nullptr;
    PvaLink* pva = nullptr;
    Protocol protocol = Protocol::Ca;
    Side side = Side::Slots;
    uint32_t ref = 0;
    uint32_t generation = 1;   // moves on when the record is freed
    // Under the callback lock: what the connection handler keeps.
    Link link = Link::Connecting;
    bool handled = false;      // the handler is on the channel
    bool unheard = false;      // a change came while nothing watched (names)
    bool queued = false;       // a change waits for delivery
    std::vector<bool> changes; // not yet delivered, oldest first
    bool awaited = false;      // a blocked command waits for it to connect
    bool lost = false;         // the lost-server feature has been told
    // On the interpreter's thread.
    uint32_t watchers = 0;                 // features that need its changes
    std::vector<uint32_t> monitors;        // events/monitors.cpp's records
    std::vector<ChannelScript> scripts;    // events/connections.cpp's
    uint32_t users = 0;                    // interpreters using a name
    SlotValues values;
};

// ---- slots -------------------------------------------------------------------

// strtol in base 0 read as a 32-bit signed number, saturating at its limits.
int32_t parseInt32(const char* text);
// A slot argument of the specified commands: strtol in base 0 as a 32-bit
// number taken as unsigned, so that negative numbers are never valid.
uint32_t parseSlot(const char* text);

bool slotValid(uint32_t slot);
chid channelOf(uint32_t slot);
Channel& slotChannel(uint32_t slot);
SlotValues& valuesOf(uint32_t slot);

int freeSlotCount();
// Puts a channel in the lowest free slot; -1 when none is free.
int takeSlot(chid channel);
// Frees a slot whose channel has been cleared (or never connected): what
// hangs on it ends first.
void releaseSlot(uint32_t slot);
// A new context: every slot is free (the store keeps old identifiers).
void releaseAllSlots();

// ---- the name layer's records --------------------------------------------------

// A fresh record of the name layer's side, or null when the table is full.
Channel* newNameChannel();
// Frees it (its channel cleared, whatever hung on it forgotten).
void freeNameChannel(Channel& channel);
std::size_t nameChannelCount();

// ---- any record ------------------------------------------------------------------

// The record a ref and generation name, if it still is that one.
Channel* channelAt(uint32_t ref, uint32_t generation);

template <typename Visit>
void forEachChannel(Side side, Visit visit);

// Whether the channel is connected now.
bool isConnected(const Channel& channel);
// Its name as its library has it ("pva://NAME" over PV Access).
const char* channelName(const Channel& channel);
// Its state as the name layer reports it.
Link linkOf(const Channel& channel);

// libca's connection handler for every record: `ca_puser` is the record.
void onConnection(connection_handler_args args);
// A connection change, from any library's callback thread (without the
// callback lock): a channel still connecting that is told it is down has
// not changed.
void noteLink(Channel* channel, bool up);

// The feature told, through the ready list, when a Channel Access channel of
// the name layer loses its server (set at load).
void tellLostServers(const Feature& feature);

// A feature that needs a channel's connection changes (a monitor, a script)
// watches it; a slot channel carries the handler only while watched.  With
// `alive` false the channel has gone already and the library is not asked.
// A name's channel that connected while nothing watched it (as it can while
// the very command that made it still runs) is delivered a `1` through the
// event loop when it comes to be watched, once.
void watchChannel(Channel& channel);
void unwatchChannel(Channel& channel, bool alive);

// Watched slot channels that are not connected: while there are any, the
// event loop lets the library work now and then (it finds a lost server
// again only inside a library call).
int watchedSlotsDown();

// The channel-links feature: delivers connection changes to every feature.
extern const Feature kChannelLinks;

// Commands of the name layer blocked until channels connect or answers
// arrive: callbacks wake them (core/lock.h's answerArrived) while any waits.
// Under the callback lock.
void waitingCommands(int change);
bool anyCommandWaiting();
// Awaited channels that have connected since the last call, under the
// callback lock (their `awaited` cleared).
void takeArrivals(std::vector<Channel*>& out);

// ---- template -----------------------------------------------------------------------

Channel* nameChannelAt(std::size_t index);
std::size_t nameChannelSlots();

template <typename Visit>
void forEachChannel(Side side, Visit visit) {
    if (side == Side::Slots) {
        for (uint32_t slot = 0; slot < kSlotCount; ++slot)
            if (slotValid(slot)) visit(slotChannel(slot));
        return;
    }
    for (std::size_t i = 0; i < nameChannelSlots(); ++i)
        if (Channel* channel = nameChannelAt(i)) visit(*channel);
}

}  // namespace tessaly
