// Connection scripts: run with 1 when a channel connects and 0 when it
// disconnects, one per interpreter and channel (EPICS_OnConnection,
// tessaly::onconnection).
#pragma once

#include "../core/channel.h"

namespace tessaly {

// Sets the interpreter's script for the channel; an empty script removes it.
void setConnectionScript(Tcl_Interp* interp, Channel& channel, Tcl_Obj* script);

extern const Feature kConnectionScripts;

}  // namespace tessaly
