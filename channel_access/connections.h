// Connection events of channels: scripts run when a channel connects (1) or
// disconnects (0), and the watch that monitors keep on their channels.
#pragma once

#include "exports.h"

#include <cstdint>

namespace tessaly {

// A monitor or a connection script depends on the slot's channel: while any
// does, the extension's connection handler is on it, and a disconnected
// channel keeps the event loop's timer going.  `alive` is false when the
// channel has been cleared already (nothing is asked of the library then).
void watchSlot(uint32_t slot);
void unwatchSlot(uint32_t slot, bool alive);

// The slot is being freed (its channel cleared, or its context gone): its
// connection scripts and its watch go, without asking the library.
void forgetSlotConnections(uint32_t slot);
void forgetInterpConnections(Tcl_Interp* interp);
void deliverConnection(uint32_t slot, uint32_t generation);

// EPICS_OnConnection slot script
int EPICS_OnConnectionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);

}  // namespace tessaly
