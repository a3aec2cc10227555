// Values whole: the commands that read and write a channel in its native
// type, arrays included, with its metadata, and puts that wait for the
// server to finish processing.
//
//   EPICS_Get ?-count N? ?-text? ?-index? ?-timeout S? slot
//   EPICS_GetMany ?-timeout S? slot ?slot ...?
//   EPICS_Put ?-wait? ?-text? ?-timeout S? ?-command SCRIPT? slot value
//   EPICS_PutMany ?-wait? ?-timeout S? slot value ?slot value ...?
//   EPICS_GetMeta ?-timeout S? slot
//
// Unlike the specified commands they never reset the context: a request the
// library refuses, a lost circuit or a time-out fails the command alone, and
// every channel stays.  A failure leaves its message as the result and, as
// the specified commands do, in errorCode.
#include "words.h"
#include "../core/commands.h"
#include "../core/meta.h"
#include "../core/put.h"
#include "../core/text.h"
#include "../events/completions.h"
#include "../events/rejections.h"

#include <vector>

namespace tessaly {
namespace {

int EPICS_GetCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Get";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kCount | kText | kIndex | kTimeout, 1, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, options.text, options.index, form)) return TCL_ERROR;
    unsigned long elements = ca_element_count(subject.channel->id);
    if (static_cast<unsigned long>(options.count) > elements)
        return failFor(interp, subject, "-count %ld is more than its %lu elements", options.count, elements);

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
    if (readWords(interp, command, objc, objv, kTimeout, 1, false, options, subjects) != TCL_OK) return TCL_ERROR;
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
    Tcl_SetObjResult(interp, Tcl_NewListObj(static_cast<TclSize>(values.size()), values.data()));
    return TCL_OK;
}

int EPICS_GetMetaCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_GetMeta";
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, command, objc, objv, kTimeout, 1, true, options, subjects) != TCL_OK) return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, false, false, form)) return TCL_ERROR;

    // The value with its alarm and time stamp, and the control form, in one wait.
    std::vector<Read> reads;
    reads.push_back(readOf(subject, timeType(form.form), 0));
    chtype control = controlType(form.form);
    if (control >= 0) reads.push_back(readOf(subject, control, 1));
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;
    Tcl_SetObjResult(interp, metaDict(form, reads[0].data(), reads[0].received,
                                      control >= 0 ? reads[1].data() : nullptr));
    return TCL_OK;
}

// Converts every value, then sends them all; with -wait, waits for every
// completion; with -command, has the script run when they have come.
int putValues(Tcl_Interp* interp, const Options& options, const std::vector<Subject>& subjects,
              Tcl_Obj* const* values) {
    if (options.wait && options.command != nullptr)
        return failWith(interp, "-wait and -command cannot go together in %s", subjects[0].command);
    PutPlan plan;
    if (planPuts(interp, subjects, values, 2, options.text, options.timeout, options.timeout, plan) != TCL_OK) return TCL_ERROR;
    bool completion = options.wait || options.command != nullptr;
    std::vector<RequestId> ids;
    if (sendPuts(interp, subjects, plan, completion, options.command != nullptr ? &kCompletions : nullptr,
                 notePlainPut, ids) != TCL_OK)
        return TCL_ERROR;
    if (options.command != nullptr) {
        // The completion, or its time-out, runs the script later.
        expectCompletion(interp, ids, subjects, options.command, options.timeout);
        ca_flush_io();
    } else if (options.wait) {
        if (awaitPuts(interp, subjects, ids, options.timeout, options.timeout) != TCL_OK) return TCL_ERROR;
    } else {
        ca_flush_io();
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int EPICS_PutCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, "EPICS_Put", objc, objv, kWait | kText | kTimeout | kCommand, 2, true, options, subjects) != TCL_OK)
        return TCL_ERROR;
    // The values follow the slots, the words after the options.
    return putValues(interp, options, subjects, objv + objc - 2 * static_cast<int>(subjects.size()) + 1);
}

int EPICS_PutManyCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    Options options;
    std::vector<Subject> subjects;
    if (readWords(interp, "EPICS_PutMany", objc, objv, kWait | kTimeout, 2, false, options, subjects) != TCL_OK)
        return TCL_ERROR;
    return putValues(interp, options, subjects, objv + objc - 2 * static_cast<int>(subjects.size()) + 1);
}

constexpr ObjCommand kRows[] = {
    {"EPICS_Get", EPICS_GetCmd},         {"EPICS_GetMany", EPICS_GetManyCmd},
    {"EPICS_Put", EPICS_PutCmd},         {"EPICS_PutMany", EPICS_PutManyCmd},
    {"EPICS_GetMeta", EPICS_GetMetaCmd},
};

}  // namespace

const CommandTable<ObjCommand> kValueCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
