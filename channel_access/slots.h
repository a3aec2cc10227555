// The slot table: slots 0..1023 by which scripts name channels.  A slot owns
// its channel (EPICS_ChanIdStore), its in-use flag (EPICS_ChanIdInUse) and
// the buffers into which the specified gets receive its values.  Every
// change of a flag goes through this table.
#pragma once

#include "exports.h"

#include <cstdint>

namespace tessaly {

// Where the specified gets of a slot receive their values (see slots.cpp
// for why these belong to the slot and outlive the command).
struct SlotValues {
    uint16_t shortValue;
    float floatValue;
    char stringValue[MAX_STRING_SIZE];
};

// strtol in base 0 read as a 32-bit signed number, saturating at its limits.
int32_t parseInt32(const char* text);

// A slot argument: strtol in base 0 as a 32-bit number taken as unsigned,
// so that negative numbers are never valid.
uint32_t parseSlot(const char* text);
// Also from a Tcl object (its string form, read the same way).
uint32_t parseSlot(Tcl_Obj* word);

bool slotValid(uint32_t slot);
chid channelOf(uint32_t slot);
SlotValues& valuesOf(uint32_t slot);

int freeSlotCount();
// Puts a channel in the lowest free slot; -1 when none is free.
int takeSlot(chid channel);
// Frees a slot whose channel has been cleared (or never connected).
void releaseSlot(uint32_t slot);
// A new context: every slot is free (the store keeps old identifiers).
void releaseAllSlots();

// Called for a slot that is being freed, before its flag drops: whatever
// else of the extension hangs on the slot lets go of it.
using SlotReleaseHook = void (*)(uint32_t slot);
void setSlotReleaseHook(SlotReleaseHook hook);

}  // namespace tessaly
