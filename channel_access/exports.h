// What Tessaly exports to programs that embed it: the context's state, the
// trace switch, the reply buffer, the slot table and the entry points.
// Everything else of the extension is hidden.
#pragma once

#include <cadef.h>
#include <tcl.h>

#include <cstdint>

#define TESSALY_EXPORT __attribute__((visibility("default")))

constexpr int kSlotCount = 1024;
constexpr int kResponseSize = 1024;

extern "C" {
TESSALY_EXPORT extern int32_t EPICS_Handle;           // -1: no context, 1: context
TESSALY_EXPORT extern int32_t EPICSVerbose;           // trace switch
TESSALY_EXPORT extern char EPICS_response[kResponseSize];
TESSALY_EXPORT extern chid EPICS_ChanIdStore[kSlotCount];
TESSALY_EXPORT extern int32_t EPICS_ChanIdInUse[kSlotCount];

TESSALY_EXPORT int SetUpEPICS();
TESSALY_EXPORT int CloseDownEPICS();
TESSALY_EXPORT int Tessaly_Init(Tcl_Interp* interp);
}
