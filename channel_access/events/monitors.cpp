// Monitors.
//
// Each monitor owns two buffers.  libca's callback copies an update into
// `pending` under the callback lock; if an update was already pending (the
// script has not run for it yet), the new one replaces it and `dropped`
// counts the one lost: memory never grows with the update rate, and the
// newest value wins.  Delivery swaps `pending` with `delivering`, makes the
// Tcl value and runs the script.
//
// A monitor with -meta has a second subscription, to the control form
// (units, limits, states) with the property mask: its first update comes
// with every connection and a change of the properties brings another.  Its
// updates wait until the control form has arrived.
#include "monitors.h"
#include "loop.h"
#include "notices.h"
#include "../core/lock.h"
#include "../core/meta.h"
#include "../core/pool.h"
#include "../core/text.h"
#include "../pva/pva.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessaly {
namespace {

struct Monitor {
    // On the interpreter's thread only:
    unsigned long number = 0;
    bool named = false;
    Tcl_Interp* interp = nullptr;
    Tcl_Obj* script = nullptr;
    Channel* channel = nullptr;
    evid subscription = nullptr;
    evid controlSubscription = nullptr;
    pva::Watch* watch = nullptr;   // a PV Access name's subscription
    pva::Form pvaForm;
    bool subscribed = false;
    bool text = false, index = false;
    unsigned long mask = 0;
    ValueForm form{};
    chtype type = DBR_DOUBLE;
    std::vector<unsigned char> delivering;
    std::vector<unsigned char> controlCopy;
    // Set before it is subscribed, read by callbacks:
    Side side = Side::Slots;
    bool meta = false;
    // Under the callback lock:
    std::vector<unsigned char> pending;
    long pendingCount = 0;
    bool hasPending = false;
    bool queued = false;
    uint64_t dropped = 0;
    std::vector<unsigned char> control;
    bool hasControl = false;
};

Pool<Monitor> monitors;                                // entries added and removed under the lock
std::unordered_map<unsigned long, uint32_t> byNumber;  // monitorN: its record
unsigned long nextNumber = 1;

const char* prefixOf(bool named) { return named ? "tessaly::monitor" : "monitor"; }

std::string idOf(const Monitor& monitor) {
    return prefixOf(monitor.named) + std::to_string(monitor.number);
}

// The record of an id exactly as handed out to `interp`, or -1.
long findMonitor(Tcl_Interp* interp, const char* id) {
    for (bool named : {false, true}) {
        const char* prefix = prefixOf(named);
        std::size_t length = strlen(prefix);
        if (strncmp(id, prefix, length) != 0) continue;
        const char* digits = id + length;
        if (*digits < '1' || *digits > '9') return -1;
        char* end;
        unsigned long number = strtoul(digits, &end, 10);
        if (*end != '\0') return -1;
        auto found = byNumber.find(number);
        if (found == byNumber.end()) return -1;
        const Monitor& monitor = monitors[found->second];
        if (monitor.interp != interp || monitor.named != named) return -1;
        return found->second;
    }
    return -1;
}

Monitor* monitorOfTag(void* tag) {
    std::size_t index = tagIndex(tag);
    if (!monitors.used(index) || !tagMatches(tag, monitors.generation(index))) return nullptr;
    return &monitors[index];
}

// Under the lock: the monitor's update is ready to go if it has one and
// needs nothing more.
void queueLocked(Monitor& monitor, void* tag) {
    if (monitor.queued || !monitor.hasPending || (monitor.meta && !monitor.hasControl)) return;
    monitor.queued = true;
    noteReady(kMonitors, static_cast<uint32_t>(tagIndex(tag)), tagGeneration(tag), monitor.side);
}

void copyInto(std::vector<unsigned char>& into, const event_handler_args& args) {
    const auto* bytes = static_cast<const unsigned char*>(args.dbr);
    into.assign(bytes, bytes + dbr_size_n(args.type, args.count));
}

void onUpdate(event_handler_args args) {
    Held hold(callbackLock());
    Monitor* monitor = monitorOfTag(args.usr);
    // A disconnect or a failed update carries no value; the connection
    // events tell of the former.
    if (monitor == nullptr || args.status != ECA_NORMAL || args.dbr == nullptr) return;
    copyInto(monitor->pending, args);
    monitor->pendingCount = static_cast<long>(args.count);
    if (monitor->hasPending) ++monitor->dropped;
    monitor->hasPending = true;
    queueLocked(*monitor, args.usr);
}

void onControl(event_handler_args args) {
    Held hold(callbackLock());
    Monitor* monitor = monitorOfTag(args.usr);
    if (monitor == nullptr || args.status != ECA_NORMAL || args.dbr == nullptr) return;
    copyInto(monitor->control, args);
    monitor->hasControl = true;
    queueLocked(*monitor, args.usr);
}

// PV Access: an update waits in the library's queue; delivery takes the
// newest and counts the others as dropped.
void onPvaUpdate(void* tag) {
    Held hold(callbackLock());
    Monitor* monitor = monitorOfTag(tag);
    if (monitor == nullptr) return;
    monitor->hasPending = true;
    queueLocked(*monitor, tag);
}

void traceCall(const Monitor& monitor, const char* command, const char* call, int status) {
    if (EPICSVerbose == 0) return;
    const Channel& channel = *monitor.channel;
    if (channel.side == Side::Slots)
        trace("%s: %s on slot %u returned with rc=0x%x\n", command, call, channel.ref, static_cast<unsigned>(status));
    else
        trace("%s: %s on %s returned with rc=0x%x\n", command, call, channelName(channel), static_cast<unsigned>(status));
}

void flush(Side side) {
    checkUnlocked("ca_flush_io");
    if (side == Side::Names) {
        InNameContext in;
        ca_flush_io();
    } else {
        ca_flush_io();
    }
}

// Subscribes a monitor whose channel is connected, in `form`; the library's
// status.
int subscribe(uint32_t index, const ValueForm& form, const char* command) {
    Monitor& monitor = monitors[index];
    monitor.form = form;
    monitor.type = monitor.meta ? timeType(form.form) : readType(form.form);
    void* tag = packTag(index, monitors.generation(index));
    chtype control = monitor.meta ? controlType(form.form) : -1;
    if (monitor.meta && control < 0) {
        Held hold(callbackLock());
        monitor.hasControl = true;  // a string has no control form
    }
    checkUnlocked("ca_create_subscription");
    int status = ca_create_subscription(monitor.type, 0, monitor.channel->id, monitor.mask, onUpdate, tag,
                                        &monitor.subscription);
    traceCall(monitor, command, "ca_create_subscription", status);
    if (status != ECA_NORMAL) {
        monitor.subscription = nullptr;
        return status;
    }
    if (control >= 0) {
        status = ca_create_subscription(control, 1, monitor.channel->id, DBE_PROPERTY, onControl, tag,
                                        &monitor.controlSubscription);
        if (status != ECA_NORMAL) {
            ca_clear_subscription(monitor.subscription);
            monitor.subscription = nullptr;
            monitor.controlSubscription = nullptr;
            return status;
        }
    }
    monitor.subscribed = true;
    return ECA_NORMAL;
}

// Ends a monitor; with `alive`, its subscriptions are cleared in the library.
void finish(uint32_t index, bool alive, const char* command) {
    Monitor& monitor = monitors[index];
    if (monitor.watch != nullptr) {
        pva::unsubscribe(monitor.watch);
        monitor.watch = nullptr;
    }
    if (alive && monitor.subscription != nullptr) {
        checkUnlocked("ca_clear_subscription");
        int status = ca_clear_subscription(monitor.subscription);
        traceCall(monitor, command, "ca_clear_subscription", status);
        if (monitor.controlSubscription != nullptr) ca_clear_subscription(monitor.controlSubscription);
    }
    Channel& channel = *monitor.channel;
    auto& list = channel.monitors;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] != index) continue;
        list[i] = list.back();
        list.pop_back();
        break;
    }
    unwatchChannel(channel, alive);
    byNumber.erase(monitor.number);
    Tcl_DecrRefCount(monitor.script);
    Held hold(callbackLock());
    monitors.remove(index);
}

void deliverMonitor(uint32_t index, uint32_t generation) {
    Monitor* monitor;
    long count;
    {
        Held hold(callbackLock());
        monitor = monitors.find(index, generation);
        if (monitor == nullptr) return;
        monitor->queued = false;
        if (!monitor->hasPending || (monitor->meta && !monitor->hasControl)) return;
        monitor->delivering.swap(monitor->pending);
        count = monitor->pendingCount;
        monitor->hasPending = false;
        if (monitor->meta) monitor->controlCopy = monitor->control;
    }
    Tcl_Obj* value;
    if (monitor->watch != nullptr) {
        uint64_t skipped = 0;
        value = pva::takeNewest(monitor->watch, monitor->pvaForm, skipped);
        if (skipped != 0) {
            Held hold(callbackLock());
            monitor->dropped += skipped;
        }
        if (value == nullptr) return;
    } else if (monitor->meta) {
        value = metaDict(monitor->form, monitor->delivering.data(), count,
                         monitor->controlCopy.empty() ? nullptr : monitor->controlCopy.data());
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

}  // namespace

void dropSubscriptions(Channel& channel) {
    for (uint32_t index : channel.monitors) {
        Monitor& monitor = monitors[index];
        if (monitor.watch != nullptr) continue;
        monitor.subscription = nullptr;
        monitor.controlSubscription = nullptr;
        monitor.subscribed = false;
        Held hold(callbackLock());
        // Updates wait for the new channel's control form.
        if (monitor.meta) monitor.hasControl = false;
    }
}

namespace {

// A channel of the name layer connected: its monitors not yet subscribed
// are subscribed now; one whose form the channel cannot take ends.
void subscribeWaiting(Channel& channel, bool up) {
    if (!up) return;
    std::vector<uint32_t> waiting;
    for (uint32_t index : channel.monitors)
        if (!monitors[index].subscribed) waiting.push_back(index);
    for (uint32_t index : waiting) {
        Monitor& monitor = monitors[index];
        Tcl_Interp* interp = monitor.interp;
        const char* command = monitor.named ? "tessaly::monitor" : "EPICS_Monitor";
        Subject subject{command, &channel, monitor.named ? -1 : static_cast<int32_t>(channel.ref)};
        ValueForm form;
        int status = ECA_NORMAL;
        std::string why;
        if (!formOf(interp, subject, monitor.text, monitor.index, form)) {
            why = Tcl_GetStringResult(interp);
            Tcl_ResetResult(interp);
        } else if ((status = subscribe(index, form, command)) != ECA_NORMAL) {
            why = std::string("ca_create_subscription failed ") + ca_message(status);
        }
        if (why.empty()) continue;
        noticeError(interp, idOf(monitor) + " on " + channelName(channel) + " ended: " + why);
        finish(index, true, command);
    }
    flush(channel.side);
}

void forgetChannelMonitors(Channel& channel, Tcl_Interp* only, Ending why) {
    std::vector<uint32_t> ending;
    for (uint32_t index : channel.monitors)
        if (only == nullptr || monitors[index].interp == only) ending.push_back(index);
    for (uint32_t index : ending) {
        const Monitor& monitor = monitors[index];
        if (why == Ending::Reset) {
            char where[64];
            snprintf(where, sizeof where, " on slot %u (", channel.ref);
            noticeError(monitor.interp, idOf(monitor) + where + channelName(channel) +
                                            ") ended: the Channel Access context was reset");
        }
        finish(index, why == Ending::Released, "");
    }
}

void forgetInterpMonitors(Tcl_Interp* interp) {
    for (std::size_t index = 0; index < monitors.size(); ++index)
        if (monitors.used(index) && monitors[index].interp == interp) finish(static_cast<uint32_t>(index), true, "");
}

const char* const kMaskNames[] = {"value", "log", "alarm"};

}  // namespace

const Feature kMonitors = {"monitors", deliverMonitor, forgetChannelMonitors, forgetInterpMonitors,
                           nullptr, nullptr, subscribeWaiting};

int startMonitor(Tcl_Interp* interp, const MonitorRequest& request) {
    const Subject& subject = request.subject;
    const Options& options = *request.options;
    Channel& channel = *subject.channel;
    // A channel that is not connected yet is subscribed when it connects;
    // the slot commands' monitors want a connected one.
    bool pvAccess = channel.protocol == Protocol::Pva;
    bool now = !pvAccess && isConnected(channel);
    ValueForm form{};
    if ((now || !request.named) && !pvAccess && !formOf(interp, subject, options.text, options.index, form))
        return TCL_ERROR;
    // A PV Access server sends every change of the fields asked for.
    if (pvAccess && options.mask != 0 && options.mask != (DBE_VALUE | DBE_ALARM))
        return failUsage(interp, Voice::Names,
                         "%s %s: -mask takes only {value alarm} over PV Access, whose server sends every change "
                         "of the fields asked for (choose them with -request)",
                         subject.command, channelName(channel));

    uint32_t index;
    {
        Held hold(callbackLock());
        long added = monitors.add();
        if (added < 0) return failWith(interp, "Too many monitors in %s", subject.command);
        index = static_cast<uint32_t>(added);
        Monitor& monitor = monitors[index];
        monitor.side = channel.side;
        monitor.meta = options.meta;
    }
    Monitor& monitor = monitors[index];
    monitor.number = nextNumber++;
    monitor.named = request.named;
    monitor.interp = interp;
    monitor.script = request.script;
    Tcl_IncrRefCount(monitor.script);
    monitor.channel = &channel;
    monitor.text = options.text;
    monitor.index = options.index;
    monitor.mask = options.mask != 0 ? options.mask : DBE_VALUE | DBE_ALARM;
    byNumber[monitor.number] = index;
    channel.monitors.push_back(index);
    watchChannel(channel);
    watchInterp(interp);
    startEvents();
    if (pvAccess) {
        // Subscribed at once: the library starts it when the channel
        // connects, and again after each reconnection.
        monitor.pvaForm.count = options.count;
        monitor.pvaForm.text = options.text;
        monitor.pvaForm.index = options.index;
        monitor.pvaForm.meta = options.meta;
        {
            Held hold(callbackLock());
            monitor.hasControl = true;
        }
        std::string why;
        monitor.watch = pva::subscribe(channel, options.request, onPvaUpdate,
                                       packTag(index, monitors.generation(index)), why);
        if (monitor.watch == nullptr) {
            finish(index, false, subject.command);
            return failPva(interp, subject, why);
        }
        monitor.subscribed = true;
    } else if (now) {
        int status = subscribe(index, form, subject.command);
        if (status != ECA_NORMAL) {
            finish(index, false, subject.command);
            return failLibrary(interp, "ca_create_subscription", subject, status);
        }
        flush(channel.side);
    }
    std::string id = idOf(monitor);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(id.c_str(), -1));
    return TCL_OK;
}

void endSubscriptionsAtExit() {
    for (std::size_t index = 0; index < monitors.size(); ++index) {
        if (!monitors.used(index) || monitors[index].watch == nullptr) continue;
        pva::unsubscribe(monitors[index].watch);
        monitors[index].watch = nullptr;
    }
}

bool endMonitor(Tcl_Interp* interp, const char* id, bool named, const char* command) {
    long index = findMonitor(interp, id);
    if (index < 0 || monitors[static_cast<std::size_t>(index)].named != named) return false;
    finish(static_cast<uint32_t>(index), true, command);
    return true;
}

bool monitorInfo(Tcl_Interp* interp, const char* id, Tcl_Obj* dict, uint32_t& slot) {
    long index = findMonitor(interp, id);
    if (index < 0 || monitors[static_cast<std::size_t>(index)].named) return false;
    const Monitor& monitor = monitors[static_cast<std::size_t>(index)];
    slot = monitor.channel->ref;
    Tcl_Obj* mask = Tcl_NewListObj(0, nullptr);
    for (int bit = 0; bit < 3; ++bit)
        if (monitor.mask & (1ul << bit)) Tcl_ListObjAppendElement(nullptr, mask, Tcl_NewStringObj(kMaskNames[bit], -1));
    uint64_t dropped;
    {
        Held hold(callbackLock());
        dropped = monitor.dropped;
    }
    putKey(dict, "monitor", Tcl_NewStringObj(id, -1));
    putKey(dict, "slot", Tcl_NewIntObj(static_cast<int>(slot)));
    putKey(dict, "mask", mask);
    putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(dropped)));
    return true;
}

uint64_t droppedOn(const Channel& channel, Tcl_Interp* only) {
    uint64_t dropped = 0;
    Held hold(callbackLock());
    for (uint32_t index : channel.monitors)
        if (only == nullptr || monitors[index].interp == only) dropped += monitors[index].dropped;
    return dropped;
}

Tcl_Obj* monitorIds(const Channel& channel, Tcl_Interp* interp) {
    Tcl_Obj* ids = Tcl_NewListObj(0, nullptr);
    for (uint32_t index : channel.monitors)
        if (monitors[index].interp == interp)
            Tcl_ListObjAppendElement(nullptr, ids, Tcl_NewStringObj(idOf(monitors[index]).c_str(), -1));
    return ids;
}

}  // namespace tessaly
