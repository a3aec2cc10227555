// A lost server is searched for again at once.
//
// When a circuit goes down libca parks its channels in a "disconnect
// governor" that searches for them again only on a tick of its own, every
// 10 s: a restarted IOC would wait up to that long for its clients, however
// soon it is back, and the beacons it sends when it starts (which a
// repeater passes on) do not reach the parked channels.  A channel made
// anew is searched for at once, and faster again when a beacon anomaly is
// heard.  So when a name's Channel Access channel loses its server, the
// name layer makes a new library channel for the same record and clears
// the old one: the record, its monitors and its scripts stay, its monitors
// subscribe again when it connects, and scripts hear `0` then `1` as with
// any reconnection.  The slot commands' channels are left as they are.
#include "names.h"
#include "../core/lock.h"
#include "../events/monitors.h"

#include <string>

namespace tessaly {
namespace {

void searchAgain(uint32_t ref, uint32_t generation) {
    Channel* channel = channelAt(ref, generation);
    if (channel == nullptr || channel->protocol != Protocol::Ca) return;
    {
        Held hold(callbackLock());
        channel->lost = false;
        if (channel->link != Link::Disconnected) return;  // back already
    }
    checkUnlocked("ca_create_channel");
    InNameContext in;
    chid old = channel->id;
    std::string name = ca_name(old);
    // The old channel tells no more connection changes: one in progress may
    // still finish, and is then taken for the new channel's.
    ca_change_connection_event(old, nullptr);
    chid fresh = nullptr;
    if (ca_create_channel(name.c_str(), onConnection, channel, kPriority, &fresh) != ECA_NORMAL) {
        // Out of memory: the governor's search stands.
        ca_change_connection_event(old, onConnection);
        if (ca_state(old) == cs_conn) noteLink(channel, true);
        return;
    }
    dropSubscriptions(*channel);  // clearing the old channel frees them
    ca_clear_channel(old);
    channel->id = fresh;
    ca_flush_io();
}

}  // namespace

const Feature kSearchAgain = {"search again", searchAgain, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace tessaly
