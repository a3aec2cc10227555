// Values whole: the commands that read and write a channel in its native
// type, arrays included, with its metadata, and puts that wait for the
// server to finish processing.
//
//   EPICS_Get ?-count N? ?-text? ?-index? ?-timeout S? slot
//   EPICS_GetMany ?-timeout S? slot ?slot ...?
//   EPICS_Put ?-wait? ?-text? ?-timeout S? slot value
//   EPICS_PutMany ?-wait? ?-timeout S? slot value ?slot value ...?
//   EPICS_GetMeta ?-timeout S? slot
//   EPICS_Info slot
//
// Unlike the specified commands they never reset the context: a request the
// library refuses, a lost circuit or a time-out fails the command alone, and
// every channel stays.  A failure leaves its message as the result and, as
// the specified commands do, in errorCode.
#include "commands.h"
#include "completions.h"
#include "context.h"
#include "meta.h"
#include "monitors.h"
#include "options.h"
#include "pending.h"
#include "reads.h"
#include "text.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace tessaly {
namespace {

// ---- reads -----------------------------------------------------------------

// The value a plain read brought.
Tcl_Obj* readValue(const ValueForm& form, const Read& read) {
    const dbr_ctrl_enum* states =
        read.type == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(read.data()) : nullptr;
    return valueObj(form, read.values(), read.received, states);
}

int EPICS_GetCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Get";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kCount | kText | kIndex | kTimeout, 1, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, options.text, options.index, form)) return TCL_ERROR;
    unsigned long elements = ca_element_count(subject.channel);
    if (static_cast<unsigned long>(options.count) > elements)
        return failFor(interp, subject, "-count %ld is more than its %lu elements", options.count,
                       elements);

    std::vector<Read> reads;
    reads.push_back(readOf(subject, readType(form.form), static_cast<unsigned long>(options.count)));
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;
    Tcl_SetObjResult(interp, readValue(form, reads[0]));
    return TCL_OK;
}

int EPICS_GetManyCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_GetMany";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kTimeout, 1, false, options, subjects) != TCL_OK)
        return TCL_ERROR;
    std::vector<ValueForm> forms(subjects.size());
    std::vector<Read> reads;
    reads.reserve(subjects.size());
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        if (!formOf(interp, subjects[i], false, false, forms[i])) return TCL_ERROR;
        reads.push_back(readOf(subjects[i], readType(forms[i].form), 0));
    }
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;
    std::vector<Tcl_Obj*> values(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) values[i] = readValue(forms[i], reads[i]);
    Tcl_SetObjResult(interp, Tcl_NewListObj(static_cast<int>(values.size()), values.data()));
    return TCL_OK;
}

// ---- metadata --------------------------------------------------------------

int EPICS_GetMetaCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_GetMeta";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kTimeout, 1, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, false, false, form)) return TCL_ERROR;

    // The value with its alarm and time stamp, and the control form, in one wait.
    std::vector<Read> reads;
    reads.push_back(readOf(subject, timeType(form.form), 0));
    chtype control = controlType(form.form);
    if (control >= 0) reads.push_back(readOf(subject, control, 1));
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;

    const void* controlData = control >= 0 ? reads[1].data() : nullptr;
    Tcl_Obj* dict = metaDict(form, reads[0].data(), reads[0].received, controlData);
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

// EPICS_Info slot|monitorN: what the library knows of the channel, with
// the updates its monitors replaced before they were delivered (a monitor's
// id: that monitor's, its mask and slot too).
int EPICS_InfoCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Info";
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    Tcl_Obj* monitor = Tcl_NewListObj(0, nullptr);
    Tcl_Obj* slotWord = objc == 2 ? objv[1] : nullptr;
    uint32_t monitored = 0;
    bool byMonitor = objc == 2 && monitorInfo(interp, Tcl_GetString(objv[1]), monitor, monitored);
    if (byMonitor) slotWord = Tcl_NewIntObj(static_cast<int>(monitored));
    Tcl_Obj* words[2] = {objv[0], slotWord};
    std::vector<Subject> subjects;
    if (checkSlots(interp, command, objc, slotWord != nullptr ? words : objv, 1, 1, true, subjects) != TCL_OK) {
        Tcl_DecrRefCount(dict);
        Tcl_DecrRefCount(monitor);
        return TCL_ERROR;
    }
    chid channel = subjects[0].channel;
    bool connected = ca_state(channel) == cs_conn;
    short type = ca_field_type(channel);
    putKey(dict, "name", newTextObj(ca_name(channel), strlen(ca_name(channel))));
    putKey(dict, "host", Tcl_NewStringObj(ca_host_name(channel), -1));
    putKey(dict, "type", Tcl_NewStringObj(type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type)
                                                                         : "TYPENOTCONN", -1));
    putKey(dict, "count", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(ca_element_count(channel))));
    Tcl_Obj* access = Tcl_NewListObj(0, nullptr);
    if (connected && ca_read_access(channel)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("read", -1));
    if (connected && ca_write_access(channel)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("write", -1));
    putKey(dict, "access", access);
    putKey(dict, "connected", Tcl_NewIntObj(connected ? 1 : 0));
    if (byMonitor) {
        Tcl_ListObjAppendList(nullptr, dict, monitor);
        Tcl_DecrRefCount(monitor);
    } else {
        Tcl_DecrRefCount(monitor);
        putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(droppedOnSlot(subjects[0].slot))));
    }
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

// ---- puts ------------------------------------------------------------------

// Converts every value (fetching the states of enum channels first, in one
// wait), then sends them all; with -wait, waits for every completion; with
// -command, has the script run when it comes.
int putAll(Tcl_Interp* interp, const Options& options, const std::vector<Subject>& subjects,
           Tcl_Obj* const* values, int step) {
    if (options.wait && options.command != nullptr)
        return failWith(interp, "-wait and -command cannot go together in %s", subjects[0].command);
    std::size_t n = subjects.size();
    std::vector<ValueForm> forms(n);
    std::vector<Read> states;
    std::vector<int> stateOf(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        if (!formOf(interp, subjects[i], options.text, false, forms[i])) return TCL_ERROR;
        if (needsStates(forms[i])) {
            stateOf[i] = static_cast<int>(states.size());
            states.push_back(readOf(subjects[i], DBR_CTRL_ENUM, 1));
        }
    }
    if (!states.empty() && readAll(interp, states, options.timeout) != TCL_OK) return TCL_ERROR;

    std::vector<PutData> data(n);
    for (std::size_t i = 0; i < n; ++i) {
        const dbr_ctrl_enum* enumStates =
            stateOf[i] >= 0 ? static_cast<const dbr_ctrl_enum*>(states[static_cast<std::size_t>(stateOf[i])].data())
                            : nullptr;
        if (!toPutData(interp, subjects[i], forms[i], values[i * static_cast<std::size_t>(step)],
                       enumStates, data[i]))
            return TCL_ERROR;
    }
    // What the library would refuse is turned away before anything is sent.
    bool completion = options.wait || options.command != nullptr;
    std::string_view call = completion ? "ca_put_callback" : "ca_put";
    for (const Subject& subject : subjects) {
        if (ca_state(subject.channel) != cs_conn) return failLibrary(interp, call, subject, ECA_DISCONN);
        if (!ca_write_access(subject.channel)) return failLibrary(interp, call, subject, ECA_NOWTACCESS);
    }

    std::vector<RequestId> ids;
    std::vector<const Subject*> waiting;
    for (std::size_t i = 0; i < n; ++i) {
        const Subject& subject = subjects[i];
        int status;
        if (completion) {
            RequestId id = openRequest(nullptr, 0, options.command != nullptr);
            if (id < 0) {
                closeAll(ids);
                return failWith(interp, "Too many requests outstanding in %s", subject.command);
            }
            ids.push_back(id);
            waiting.push_back(&subject);
            status = ca_array_put_callback(data[i].type, data[i].count, subject.channel,
                                           data[i].bytes.data(), onRequestAnswered, requestTag(id));
        } else {
            notePlainPut(interp, subject, data[i].type);
            status = ca_array_put(data[i].type, data[i].count, subject.channel, data[i].bytes.data());
        }
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, subject, status);
        }
    }
    if (options.command != nullptr) {
        // The completion, or its time-out, runs the script later.
        expectCompletion(interp, ids[0], subjects[0], options.command, options.timeout);
        ca_flush_io();
    } else if (options.wait) {
        if (awaitAll(interp, call, ids, waiting, options.timeout, "the completion of", nullptr) != TCL_OK)
            return TCL_ERROR;
    } else {
        ca_flush_io();
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int EPICS_PutCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Put";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kWait | kText | kTimeout | kCommand, 2, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    // The values follow the slots, the words after the options.
    return putAll(interp, options, subjects, objv + objc - 2 * static_cast<int>(subjects.size()) + 1, 2);
}

int EPICS_PutManyCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_PutMany";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kWait | kTimeout, 2, false, options, subjects) != TCL_OK)
        return TCL_ERROR;
    // The values follow the slots, the words after the options.
    return putAll(interp, options, subjects, objv + objc - 2 * static_cast<int>(subjects.size()) + 1, 2);
}

constexpr ObjCommand kRows[] = {
    {"EPICS_Get", EPICS_GetCmd},         {"EPICS_GetMany", EPICS_GetManyCmd},
    {"EPICS_Put", EPICS_PutCmd},         {"EPICS_PutMany", EPICS_PutManyCmd},
    {"EPICS_GetMeta", EPICS_GetMetaCmd}, {"EPICS_Info", EPICS_InfoCmd},
};

}  // namespace

const CommandTable<ObjCommand> kWholeCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
