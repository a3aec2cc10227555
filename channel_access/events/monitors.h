// Monitors: a subscription to a channel whose updates run a script from the
// event loop, for EPICS_Monitor (ids monitorN) and tessaly::monitor (ids
// tessaly::monitorN).
#pragma once

#include "../core/options.h"
#include "../core/subject.h"

#include <cstdint>

namespace tessaly {

struct MonitorRequest {
    Subject subject;          // the command and the channel
    Tcl_Obj* script;
    const Options* options;   // -meta, -mask, -text, -index
    bool named;               // of the name layer: ids tessaly::monitorN
};

// Starts a monitor of `interp`; its id is the result.  A connected channel
// is subscribed at once (a form it cannot take fails the command); one not
// yet connected when it connects (a form it cannot take then ends the
// monitor with a background error).
int startMonitor(Tcl_Interp* interp, const MonitorRequest& request);

// Ends the monitor of `interp` with that id (exactly as handed out, by the
// slot commands or, `named`, by the name layer); false when it has none.
// `command` names the caller in trace lines.
bool endMonitor(Tcl_Interp* interp, const char* id, bool named, const char* command);

// A slot monitor's part of EPICS_Info: monitor, slot, mask and dropped;
// false when `interp` has no monitor with that id.
bool monitorInfo(Tcl_Interp* interp, const char* id, Tcl_Obj* dict, uint32_t& slot);
// Updates replaced before they were delivered, on a channel (of one
// interpreter's monitors, or all with `only` null).
uint64_t droppedOn(const Channel& channel, Tcl_Interp* only);
// The ids of one interpreter's monitors on a channel.
Tcl_Obj* monitorIds(const Channel& channel, Tcl_Interp* interp);

// The channel's library channel is about to be cleared and replaced by a
// new one of the same name: its subscriptions go with it, and are made
// again when the new one connects.
void dropSubscriptions(Channel& channel);

// The process is ending: PV Access subscriptions are cancelled while the
// records their callbacks reach still exist.
void endSubscriptionsAtExit();

extern const Feature kMonitors;

}  // namespace tessaly
