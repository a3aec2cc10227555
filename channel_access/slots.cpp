// The slot table.
//
// Why the receive buffers belong to the slots: ca_array_get keeps the
// buffer address until the answer arrives.  When ca_pend_io times out the
// library only stops counting that get: the answer may still arrive later and
// be copied into the buffer during any later ca_pend_io, so the buffer cannot
// live on the stack of the command.  Each slot therefore owns its receive
// buffers, one per request type.  Answers on one circuit arrive in request
// order, so a late answer for a slot always lands before the answer of the
// next get on that slot, which overwrites it before its own ca_pend_io
// returns; a late answer on another slot lands in that slot's buffers only.
// Clearing a channel or destroying the context cancels any copy still
// pending, so a slot reused for a new channel never receives an old answer.
#include "slots.h"

#include <climits>
#include <cstdlib>

extern "C" {
chid EPICS_ChanIdStore[kSlotCount] = {};
int32_t EPICS_ChanIdInUse[kSlotCount] = {};
}

namespace tessaly {
namespace {

SlotValues slotValues[kSlotCount];
SlotReleaseHook releaseHook = nullptr;

}  // namespace

int32_t parseInt32(const char* text) {
    long value = strtol(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

uint32_t parseSlot(const char* text) { return static_cast<uint32_t>(parseInt32(text)); }

uint32_t parseSlot(Tcl_Obj* word) { return parseSlot(Tcl_GetString(word)); }

bool slotValid(uint32_t slot) { return slot < kSlotCount && EPICS_ChanIdInUse[slot] != 0; }

chid channelOf(uint32_t slot) { return EPICS_ChanIdStore[slot]; }

SlotValues& valuesOf(uint32_t slot) { return slotValues[slot]; }

int freeSlotCount() {
    int count = 0;
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] == 0) ++count;
    return count;
}

int takeSlot(chid channel) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (EPICS_ChanIdInUse[slot] != 0) continue;
        EPICS_ChanIdStore[slot] = channel;
        EPICS_ChanIdInUse[slot] = 1;
        return slot;
    }
    return -1;
}

void releaseSlot(uint32_t slot) {
    if (releaseHook != nullptr) releaseHook(slot);
    EPICS_ChanIdInUse[slot] = 0;
}

void releaseAllSlots() {
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] != 0) releaseSlot(slot);
}

void setSlotReleaseHook(SlotReleaseHook hook) { releaseHook = hook; }

}  // namespace tessaly
