// The queue-and-wait path of the specified gets and puts and their batch
// forms: a single command is a batch of one.  Every request of the command
// is queued, then one ca_pend_io waits for them all.
#pragma once

#include "../core/forms.h"

namespace tessaly {

// How the requests are traced: a single command's lines
// ("EPICS_GetInt calling ca_get", "ca_get returned with rc=0x1", ...) or a
// batch's ("EPICS_GetInts: ca_get on slot 3 returned with rc=0x1").
enum class Style { Single, Batch };

// Gets `count` slots (valid, checked by the caller) into their receive
// buffers.  A refused request resets the context (the reset rule); a wait
// that fails fails the command.  TCL_OK when every value has arrived.
int queueGets(Tcl_Interp* interp, const char* command, Form kind, const uint32_t* slots, int count,
              Style style);

// Puts values[i] to slots[i].  A put the library refuses resets the context,
// and the puts queued before it may still go out as the context closes: a
// channel whose put would be refused (not connected, or without write
// access) is therefore asked first, so that nothing else has been sent when
// the library refuses it.
int queuePuts(Tcl_Interp* interp, const char* command, const uint32_t* slots, const PutValue* values,
              int count, Style style);

}  // namespace tessaly
