// Circuits that a clear closes, and the creates that must wait for them.
//
// libca closes its circuit to a server when the last channel on it is
// cleared. The circuit goes on libca's own threads and, without preemptive
// callbacks, only while this thread is inside a library call. Until it is
// gone, a new channel whose search that server answers is put on the closing
// circuit; when the circuit goes, that channel searches again only about
// 10 s later, so a create right after such a clear would fail its 5 s wait.
//
// Clears therefore note which servers lost their last channel (a clear
// itself never waits), and the next create first lets libca close those
// circuits: it waits in the library, in short steps and for at most
// kSettleLimit, until the number of circuits has dropped by as many.
#include "circuits.h"
#include "../core/channel.h"

#include <chrono>
#include <cstring>

namespace tessaly {
namespace {

constexpr int kMaxHosts = 8;              // servers watched per clear command
constexpr std::size_t kHostSize = 64;     // "host:port" as libca names it
constexpr auto kSettleLimit = std::chrono::seconds(1);
constexpr double kStepSeconds = 0.001;

// The servers of the channels a clear command is clearing.
char leavingHosts[kMaxHosts][kHostSize];
int leavingCount = 0;

// Circuits expected to close, and how many there were before the first
// clear that closes one; reset once a create has waited for them.
unsigned circuitsBefore = 0;
unsigned closingCount = 0;

void forgetCircuits() {
    closingCount = 0;
    leavingCount = 0;
}

int findLeaving(const char* host) {
    for (int i = 0; i < leavingCount; ++i)
        if (strcmp(leavingHosts[i], host) == 0) return i;
    return -1;
}

// The server of a connected channel; false when it is not connected.
bool hostOf(chid channel, char (&host)[kHostSize]) {
    if (ca_state(channel) != cs_conn) return false;
    ca_get_host_name(channel, host, sizeof host);
    return true;
}

}  // namespace

void beforeClearing() {
    leavingCount = 0;
    if (closingCount == 0) circuitsBefore = ca_get_ioc_connection_count();
}

void clearChannel(chid channel) {
    char host[kHostSize];
    if (hostOf(channel, host) && findLeaving(host) < 0 && leavingCount < kMaxHosts)
        memcpy(leavingHosts[leavingCount++], host, sizeof host);
    ca_clear_channel(channel);
}

void afterClearing() {
    // A server that still serves a channel in use keeps its circuit.
    for (uint32_t slot = 0; slot < kSlotCount && leavingCount > 0; ++slot) {
        char host[kHostSize];
        if (!slotValid(slot) || !hostOf(channelOf(slot), host)) continue;
        int i = findLeaving(host);
        if (i >= 0) memmove(leavingHosts[i], leavingHosts[--leavingCount], kHostSize);
    }
    closingCount += static_cast<unsigned>(leavingCount);
    leavingCount = 0;
}

void settleCircuits() {
    if (closingCount == 0) return;
    unsigned target = circuitsBefore > closingCount ? circuitsBefore - closingCount : 0;
    forgetCircuits();
    auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    while (ca_get_ioc_connection_count() > target && std::chrono::steady_clock::now() < deadline)
        ca_pend_event(kStepSeconds);
}

namespace {

void forgetOnReset(Side side) {
    if (side == Side::Slots) forgetCircuits();
}

}  // namespace

const Feature kClosingCircuits = {"closing circuits", nullptr, nullptr, nullptr, forgetOnReset, nullptr, nullptr};

}  // namespace tessaly
