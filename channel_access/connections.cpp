// Connection events: EPICS_OnConnection and the watch on monitored channels.
//
// The channels are created without a connection handler (the specified
// commands wait for connections with ca_pend_io); one is put on a channel
// only while a monitor or a connection script depends on it, and taken off
// again after.  The handler runs in libca's callbacks: it notes the new state
// in the slot's queue of states under the callback lock, and the scripts run
// from the event loop, each state in its order.
#include "connections.h"
#include "events.h"
#include "options.h"
#include "pending.h"
#include "slots.h"
#include "text.h"

#include <vector>

namespace tessaly {
namespace {

constexpr std::size_t kMaxStates = 64;  // transitions kept while none is delivered
constexpr int kIndexBits = 10;
static_assert(kSlotCount == 1 << kIndexBits, "a tag's index part covers the slots");

struct Script {
    Tcl_Interp* interp;
    Tcl_Obj* script;
};

struct SlotWatch {
    // On the interpreter's thread only:
    int watchers = 0;                  // monitors and scripts that depend on it
    std::vector<Script> scripts;       // one per interpreter
    // Under the callback lock:
    uint32_t generation = 0;
    bool watched = false;
    bool connected = false;
    bool queued = false;
    std::vector<bool> states;          // not yet delivered, oldest first
};
SlotWatch watches[kSlotCount];

void* tagOf(uint32_t slot, uint32_t generation) {
    return reinterpret_cast<void*>((static_cast<uintptr_t>(generation) << kIndexBits) | slot);
}

void onConnection(connection_handler_args args) {
    uintptr_t tag = reinterpret_cast<uintptr_t>(ca_puser(args.chid));
    uint32_t slot = static_cast<uint32_t>(tag & (kSlotCount - 1));
    std::lock_guard<std::mutex> hold(callbackLock());
    SlotWatch& watch = watches[slot];
    if (!watch.watched || tagOf(slot, watch.generation) != ca_puser(args.chid)) return;
    bool up = args.op == CA_OP_CONN_UP;
    if (up == watch.connected) return;
    watch.connected = up;
    countDisconnected(up ? -1 : 1);
    if (watch.states.size() == kMaxStates) watch.states.erase(watch.states.begin(), watch.states.begin() + 2);
    watch.states.push_back(up);
    if (!watch.queued) {
        watch.queued = true;
        noteReady(Ready::Connection, slot, watch.generation);
    }
}

// Stops watching (under the callback lock): the handler's notes are void.
void endWatchLocked(SlotWatch& watch) {
    if (!watch.watched) return;
    if (!watch.connected) countDisconnected(-1);
    watch.watched = false;
    watch.queued = false;
    watch.states.clear();
    ++watch.generation;
}

void dropScript(Script& script) { Tcl_DecrRefCount(script.script); }

}  // namespace

void watchSlot(uint32_t slot) {
    SlotWatch& watch = watches[slot];
    if (watch.watchers++ > 0) return;
    chid channel = channelOf(slot);
    uint32_t generation;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        watch.watched = true;
        watch.connected = ca_state(channel) == cs_conn;
        if (!watch.connected) countDisconnected(1);
        generation = watch.generation;
    }
    ca_set_puser(channel, tagOf(slot, generation));
    ca_change_connection_event(channel, onConnection);
    startEvents();
}

void unwatchSlot(uint32_t slot, bool alive) {
    SlotWatch& watch = watches[slot];
    if (watch.watchers == 0 || --watch.watchers > 0) return;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        endWatchLocked(watch);
    }
    if (alive) {
        ca_change_connection_event(channelOf(slot), nullptr);
        ca_set_puser(channelOf(slot), nullptr);
    }
}

void forgetSlotConnections(uint32_t slot) {
    SlotWatch& watch = watches[slot];
    for (Script& script : watch.scripts) dropScript(script);
    watch.scripts.clear();
    watch.watchers = 0;
    std::lock_guard<std::mutex> hold(callbackLock());
    endWatchLocked(watch);
}

void forgetInterpConnections(Tcl_Interp* interp) {
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        auto& scripts = watches[slot].scripts;
        for (std::size_t i = 0; i < scripts.size();) {
            if (scripts[i].interp != interp) {
                ++i;
                continue;
            }
            dropScript(scripts[i]);
            scripts.erase(scripts.begin() + static_cast<long>(i));
            unwatchSlot(slot, slotValid(slot));
        }
    }
}

void deliverConnection(uint32_t slot, uint32_t generation) {
    SlotWatch& watch = watches[slot];
    std::vector<bool> states;
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        if (!watch.watched || watch.generation != generation) return;
        states.swap(watch.states);
        watch.queued = false;
    }
    for (bool up : states) {
        // A script may remove itself or clear the slot: run a copy of the list.
        std::vector<Script> scripts = watch.scripts;
        for (Script& script : scripts) Tcl_IncrRefCount(script.script);
        for (Script& script : scripts) {
            Tcl_Obj* state = Tcl_NewIntObj(up ? 1 : 0);
            runScript(script.interp, script.script, &state, 1);
        }
        for (Script& script : scripts) Tcl_DecrRefCount(script.script);
    }
}

int EPICS_OnConnectionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_OnConnection";
    std::vector<Subject> subjects;
    if (checkSlots(interp, command, objc, objv, 1, 2, true, subjects) != TCL_OK) return TCL_ERROR;
    uint32_t slot = subjects[0].slot;
    Tcl_Obj* script = objv[2];
    auto& scripts = watches[slot].scripts;
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        if (scripts[i].interp != interp) continue;
        dropScript(scripts[i]);
        scripts.erase(scripts.begin() + static_cast<long>(i));
        unwatchSlot(slot, true);
        break;
    }
    TclSize length;
    Tcl_GetStringFromObj(script, &length);
    if (length > 0) {
        Tcl_IncrRefCount(script);
        scripts.push_back(Script{interp, script});
        watchInterp(interp);
        watchSlot(slot);
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

}  // namespace tessaly
