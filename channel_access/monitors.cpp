// Monitors.
//
// Each monitor owns two buffers.  libca's callback copies an update into
// `pending` under the callback lock; if an update was already pending (the
// script has not run for it yet), the new one replaces it and `dropped`
// counts the one lost: memory never grows with the update rate, and the
// newest value wins.  Delivery swaps `pending` with `delivering`, makes the
// Tcl value and runs the script.
#include "monitors.h"
#include "commands.h"
#include "connections.h"
#include "context.h"
#include "events.h"
#include "meta.h"
#include "options.h"
#include "pending.h"
#include "reads.h"
#include "slots.h"
#include "text.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace tessaly {
namespace {

constexpr int kIndexBits = 14;
constexpr uint32_t kMaxMonitors = 1u << kIndexBits;

struct Monitor {
    // On the interpreter's thread only:
    unsigned long number = 0;      // monitorN
    Tcl_Interp* interp = nullptr;
    Tcl_Obj* script = nullptr;
    uint32_t slot = 0;
    evid subscription = nullptr;
    ValueForm form{};
    chtype type = DBR_DOUBLE;
    bool meta = false;
    unsigned long mask = 0;
    std::vector<unsigned char> control;  // the control form, for -meta
    std::vector<unsigned char> delivering;
    // Under the callback lock:
    bool used = false;
    uint32_t generation = 0;
    std::vector<unsigned char> pending;
    long pendingCount = 0;
    bool hasPending = false;
    bool queued = false;
    uint64_t dropped = 0;
};

std::unique_ptr<Monitor> monitors[kMaxMonitors];
std::vector<uint32_t> onSlot[kSlotCount];  // the monitors of each slot
unsigned long nextNumber = 1;

void* tagOf(uint32_t index, uint32_t generation) {
    return reinterpret_cast<void*>((static_cast<uintptr_t>(generation) << kIndexBits) | index);
}

void onUpdate(event_handler_args args) {
    uintptr_t tag = reinterpret_cast<uintptr_t>(args.usr);
    uint32_t index = static_cast<uint32_t>(tag & (kMaxMonitors - 1));
    std::lock_guard<std::mutex> hold(callbackLock());
    Monitor* monitor = monitors[index].get();
    if (monitor == nullptr || !monitor->used || tagOf(index, monitor->generation) != args.usr) return;
    // A disconnect or a failed update carries no value; the connection
    // events tell of the former.
    if (args.status != ECA_NORMAL || args.dbr == nullptr) return;
    std::size_t size = dbr_size_n(args.type, args.count);
    const auto* bytes = static_cast<const unsigned char*>(args.dbr);
    monitor->pending.assign(bytes, bytes + size);
    monitor->pendingCount = static_cast<long>(args.count);
    if (monitor->hasPending) ++monitor->dropped;
    monitor->hasPending = true;
    if (!monitor->queued) {
        monitor->queued = true;
        noteReady(Ready::Monitor, index, monitor->generation);
    }
}

// Ends a monitor; with `alive`, its subscription is cleared in the library.
void endMonitor(uint32_t index, bool alive) {
    Monitor* monitor = monitors[index].get();
    if (monitor == nullptr) return;
    if (alive && monitor->subscription != nullptr) ca_clear_subscription(monitor->subscription);
    unwatchSlot(monitor->slot, alive);
    auto& list = onSlot[monitor->slot];
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] != index) continue;
        list[i] = list.back();
        list.pop_back();
        break;
    }
    Tcl_DecrRefCount(monitor->script);
    std::unique_ptr<Monitor> gone;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        gone = std::move(monitors[index]);  // freed outside the lock
    }
}

int findMonitor(Tcl_Interp* interp, const char* id) {
    if (strncmp(id, "monitor", 7) != 0) return -1;
    char* end;
    unsigned long number = strtoul(id + 7, &end, 10);
    if (end == id + 7 || *end != '\0') return -1;
    for (uint32_t i = 0; i < kMaxMonitors; ++i) {
        const Monitor* monitor = monitors[i].get();
        if (monitor != nullptr && monitor->number == number && monitor->interp == interp)
            return static_cast<int>(i);
    }
    return -1;
}

const char* const kMaskNames[] = {"value", "log", "alarm"};

}  // namespace

int EPICS_MonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Monitor";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kMeta | kMask | kText | kIndex, 2, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, options.text, options.index, form)) return TCL_ERROR;
    if (options.meta && options.text)
        return failFor(interp, subject, "-meta and -text cannot go together");

    uint32_t index = 0;
    while (index < kMaxMonitors && monitors[index] != nullptr) ++index;
    if (index == kMaxMonitors)
        return failWith(interp, "Too many monitors in %s (%u at most)", command, kMaxMonitors);

    // With -meta the updates are the time form; the control form (units,
    // limits, states) is read once here.
    std::vector<unsigned char> control;
    chtype type = options.meta ? timeType(form.form) : readType(form.form);
    if (options.meta && controlType(form.form) >= 0) {
        std::vector<Read> reads;
        reads.push_back(readOf(subject, controlType(form.form), 1));
        if (readAll(interp, reads, kWaitSeconds) != TCL_OK) return TCL_ERROR;
        const auto* bytes = static_cast<const unsigned char*>(reads[0].data());
        control.assign(bytes, bytes + reads[0].buffer.size);
    }

    auto monitor = std::make_unique<Monitor>();
    monitor->number = nextNumber++;
    monitor->interp = interp;
    monitor->script = objv[objc - 1];
    Tcl_IncrRefCount(monitor->script);
    monitor->slot = subject.slot;
    monitor->form = form;
    monitor->type = type;
    monitor->meta = options.meta;
    monitor->mask = options.mask != 0 ? options.mask : DBE_VALUE | DBE_ALARM;
    monitor->control.swap(control);
    monitor->used = true;
    Monitor* made = monitor.get();
    uint32_t generation;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        generation = ++made->generation;
        monitors[index] = std::move(monitor);
    }
    onSlot[subject.slot].push_back(index);
    int status = ca_create_subscription(type, 0, subject.channel, made->mask, onUpdate,
                                        tagOf(index, generation), &made->subscription);
    if (status != ECA_NORMAL) {
        made->subscription = nullptr;
        watchSlot(subject.slot);  // endMonitor undoes it
        endMonitor(index, false);
        return failLibrary(interp, "ca_create_subscription", subject, status);
    }
    watchInterp(interp);
    watchSlot(subject.slot);
    ca_flush_io();
    char id[32];
    snprintf(id, sizeof id, "monitor%lu", made->number);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(id, -1));
    return TCL_OK;
}

int EPICS_UnmonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    if (objc != 2) return failWith(interp, "Invalid number of parameters in EPICS_Unmonitor");
    const char* id = Tcl_GetString(objv[1]);
    int index = findMonitor(interp, id);
    if (index < 0)
        return failWith(interp, "No monitor \"%.40s\" in this interpreter in EPICS_Unmonitor", id);
    endMonitor(static_cast<uint32_t>(index), true);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

void deliverMonitor(uint32_t index, uint32_t generation) {
    Monitor* monitor = monitors[index].get();
    long count;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        if (monitor == nullptr || !monitor->used || monitor->generation != generation ||
            !monitor->hasPending)
            return;
        monitor->delivering.swap(monitor->pending);
        count = monitor->pendingCount;
        monitor->hasPending = false;
        monitor->queued = false;
    }
    Tcl_Obj* value;
    if (monitor->meta) {
        value = metaDict(monitor->form, monitor->delivering.data(), count,
                         monitor->control.empty() ? nullptr : monitor->control.data());
    } else {
        const void* data = monitor->delivering.data();
        const dbr_ctrl_enum* states =
            monitor->type == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(data) : nullptr;
        value = valueObj(monitor->form, dbr_value_ptr(data, monitor->type), count, states);
    }
    // The script may end this monitor: it runs with its own reference.
    Tcl_Obj* script = monitor->script;
    Tcl_Interp* interp = monitor->interp;
    Tcl_IncrRefCount(script);
    runScript(interp, script, &value, 1);
    Tcl_DecrRefCount(script);
}

void forgetSlotMonitors(uint32_t slot) {
    while (!onSlot[slot].empty()) endMonitor(onSlot[slot].back(), false);
}

void forgetInterpMonitors(Tcl_Interp* interp) {
    for (uint32_t i = 0; i < kMaxMonitors; ++i)
        if (monitors[i] != nullptr && monitors[i]->interp == interp) endMonitor(i, true);
}

bool monitorInfo(Tcl_Interp* interp, const char* id, Tcl_Obj* dict, uint32_t& slot) {
    int index = findMonitor(interp, id);
    if (index < 0) return false;
    const Monitor& monitor = *monitors[index];
    slot = monitor.slot;
    Tcl_Obj* mask = Tcl_NewListObj(0, nullptr);
    for (int bit = 0; bit < 3; ++bit)
        if (monitor.mask & (1ul << bit))
            Tcl_ListObjAppendElement(nullptr, mask, Tcl_NewStringObj(kMaskNames[bit], -1));
    uint64_t dropped;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        dropped = monitor.dropped;
    }
    putKey(dict, "monitor", Tcl_NewStringObj(id, -1));
    putKey(dict, "slot", Tcl_NewIntObj(static_cast<int>(monitor.slot)));
    putKey(dict, "mask", mask);
    putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(dropped)));
    return true;
}

uint64_t droppedOnSlot(uint32_t slot) {
    uint64_t dropped = 0;
    std::lock_guard<std::mutex> hold(callbackLock());
    for (uint32_t index : onSlot[slot]) dropped += monitors[index]->dropped;
    return dropped;
}

}  // namespace tessaly

namespace tessaly {
namespace {

constexpr ObjCommand kRows[] = {
    {"EPICS_Monitor", EPICS_MonitorCmd},
    {"EPICS_Unmonitor", EPICS_UnmonitorCmd},
    {"EPICS_OnConnection", EPICS_OnConnectionCmd},
};

}  // namespace

const CommandTable<ObjCommand> kEventCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
