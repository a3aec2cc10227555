// The slot commands of the event loop, and what a channel is:
//
//   EPICS_Monitor ?-meta? ?-mask MASK? ?-text? ?-index? slot script   -> monitorN
//   EPICS_Unmonitor monitorN
//   EPICS_OnConnection slot script
//   EPICS_Info slot|monitorN
#include "words.h"
#include "../core/commands.h"
#include "../core/context.h"
#include "../core/meta.h"
#include "../core/text.h"
#include "../events/connections.h"
#include "../events/monitors.h"

#include <cstring>

namespace tessaly {
namespace {

int EPICS_MonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, "EPICS_Monitor", objc, objv, kMeta | kMask | kText | kIndex, 2, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    return startMonitor(interp, MonitorRequest{subjects[0], objv[objc - 1], &options, false});
}

int EPICS_UnmonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    if (objc != 2) return failWith(interp, "Invalid number of parameters in EPICS_Unmonitor");
    const char* id = Tcl_GetString(objv[1]);
    if (!endMonitor(interp, id, false, "EPICS_Unmonitor"))
        return failWith(interp, "No monitor \"%.40s\" in this interpreter in EPICS_Unmonitor", id);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int EPICS_OnConnectionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    std::vector<Subject> subjects;
    if (checkSlots(interp, "EPICS_OnConnection", objc, objv, 1, 2, true, subjects) != TCL_OK) return TCL_ERROR;
    setConnectionScript(interp, *subjects[0].channel, objv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

// What the library knows of the channel, with the updates its monitors
// replaced before they were delivered (a monitor's id: that monitor's, its
// mask and slot too).
int EPICS_InfoCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Info";
    if (objc != 2) return failWith(interp, "Invalid number of parameters in %s", command);
    if (needContext(interp, command) != TCL_OK) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(forTcl(EPICS_response), -1));
        return TCL_ERROR;
    }
    Tcl_Obj* monitor = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(monitor);
    uint32_t monitored = 0;
    long slot;
    bool byMonitor = monitorInfo(interp, Tcl_GetString(objv[1]), monitor, monitored);
    if (byMonitor) {
        slot = static_cast<long>(monitored);
    } else if (!readSlotWord(objv[1], slot)) {
        Tcl_DecrRefCount(monitor);
        return failWith(interp, "%s slot \"%.40s\": not a slot number or a monitor of this interpreter", command,
                        Tcl_GetString(objv[1]));
    }
    if (slot < 0 || !slotValid(static_cast<uint32_t>(slot))) {
        Tcl_DecrRefCount(monitor);
        return failWith(interp, "Invalid ChanId in %s", command);
    }
    Channel& channel = slotChannel(static_cast<uint32_t>(slot));
    chid id = channel.id;
    bool connected = ca_state(id) == cs_conn;
    short type = ca_field_type(id);
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "name", newTextObj(ca_name(id), strlen(ca_name(id))));
    putKey(dict, "host", Tcl_NewStringObj(ca_host_name(id), -1));
    putKey(dict, "type", Tcl_NewStringObj(type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type) : "TYPENOTCONN", -1));
    putKey(dict, "count", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(ca_element_count(id))));
    Tcl_Obj* access = Tcl_NewListObj(0, nullptr);
    if (connected && ca_read_access(id)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("read", -1));
    if (connected && ca_write_access(id)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("write", -1));
    putKey(dict, "access", access);
    putKey(dict, "connected", Tcl_NewIntObj(connected ? 1 : 0));
    if (byMonitor) Tcl_ListObjAppendList(nullptr, dict, monitor);
    else putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(droppedOn(channel, nullptr))));
    Tcl_DecrRefCount(monitor);
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

constexpr ObjCommand kRows[] = {
    {"EPICS_Monitor", EPICS_MonitorCmd},
    {"EPICS_Unmonitor", EPICS_UnmonitorCmd},
    {"EPICS_OnConnection", EPICS_OnConnectionCmd},
    {"EPICS_Info", EPICS_InfoCmd},
};

}  // namespace

const CommandTable<ObjCommand> kSlotEventCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
