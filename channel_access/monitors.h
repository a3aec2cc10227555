// Monitors: EPICS_Monitor subscribes to a channel and runs a script with
// every update from the event loop; EPICS_Unmonitor ends it.
#pragma once

#include "exports.h"

#include <cstdint>

namespace tessaly {

int EPICS_MonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);
int EPICS_UnmonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);

void deliverMonitor(uint32_t index, uint32_t generation);
// The slot is being freed: its monitors end without asking the library (the
// channel has gone, or its context).
void forgetSlotMonitors(uint32_t slot);
void forgetInterpMonitors(Tcl_Interp* interp);

// Updates replaced before they were delivered: of one monitor of `interp`
// (false when it has no such monitor), and of all the monitors on a slot.
bool monitorInfo(Tcl_Interp* interp, const char* id, Tcl_Obj* dict, uint32_t& slot);
uint64_t droppedOnSlot(uint32_t slot);

}  // namespace tessaly
