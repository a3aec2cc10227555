// Puts of values whole.
#include "put.h"
#include "lock.h"
#include "text.h"

#include <string>

namespace tessaly {
namespace {

void tracePut(const Subject& subject, const char* call, int status) {
    if (EPICSVerbose == 0) return;
    if (subject.slot >= 0)
        trace("%s: %s on slot %d returned with rc=0x%x\n", subject.command, call, subject.slot,
              static_cast<unsigned>(status));
    else
        trace("%s: %s on %s returned with rc=0x%x\n", subject.command, call, nameOf(subject),
              static_cast<unsigned>(status));
}

// "slot 2 (t:long)" or "LAB:M1".
std::string describe(const Subject& subject) {
    if (subject.slot < 0) return nameOf(subject);
    return "slot " + std::to_string(subject.slot) + " (" + nameOf(subject) + ")";
}

// Adds `more` to the failure message in the interpreter's result (and to
// the slot commands' errorCode, which is the message).
void extendFailure(Tcl_Interp* interp, const Subject& voice, const std::string& more) {
    Tcl_Obj* message = Tcl_DuplicateObj(Tcl_GetObjResult(interp));
    Tcl_AppendToObj(message, more.data(), static_cast<TclSize>(more.size()));
    Tcl_SetObjResult(interp, message);
    if (voice.slot >= 0) Tcl_SetErrorCode(interp, Tcl_GetString(message), static_cast<char*>(nullptr));
}

}  // namespace

int planPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, Tcl_Obj* const* values, int step,
             bool text, double seconds, double timeout, PutPlan& plan) {
    std::size_t n = subjects.size();
    plan.forms.resize(n);
    plan.data.resize(n);
    std::vector<Read> states;
    std::vector<int> stateOf(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        if (!formOf(interp, subjects[i], text, false, plan.forms[i])) return TCL_ERROR;
        if (needsStates(plan.forms[i])) {
            stateOf[i] = static_cast<int>(states.size());
            states.push_back(readOf(subjects[i], DBR_CTRL_ENUM, 1));
        }
    }
    if (!states.empty() && readAll(interp, states, seconds, timeout) != TCL_OK) return TCL_ERROR;
    for (std::size_t i = 0; i < n; ++i) {
        const dbr_ctrl_enum* enumStates =
            stateOf[i] >= 0 ? static_cast<const dbr_ctrl_enum*>(states[static_cast<std::size_t>(stateOf[i])].data())
                            : nullptr;
        if (!toPutData(interp, subjects[i], plan.forms[i], values[i * static_cast<std::size_t>(step)], enumStates,
                       plan.data[i]))
            return TCL_ERROR;
    }
    return TCL_OK;
}

int sendPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, const PutPlan& plan, bool completion,
             const Feature* notify, PlainPutHook plain, std::vector<RequestId>& ids) {
    // What the library would refuse is turned away before anything is sent.
    const char* call = completion ? "ca_put_callback" : "ca_put";
    for (const Subject& subject : subjects) {
        if (ca_state(subject.channel->id) != cs_conn) return failLibrary(interp, call, subject, ECA_DISCONN);
        if (!ca_write_access(subject.channel->id)) return failLibrary(interp, call, subject, ECA_NOWTACCESS);
    }
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        const Subject& subject = subjects[i];
        const PutData& data = plan.data[i];
        int status;
        checkUnlocked(call);
        if (completion) {
            RequestId id = openRequest(subject.channel->side, nullptr, 0, notify);
            if (id < 0) {
                closeAll(ids);
                return failWith(interp, "Too many requests outstanding in %s", subject.command);
            }
            ids.push_back(id);
            status = ca_array_put_callback(data.type, data.count, subject.channel->id, data.bytes.data(),
                                           onRequestAnswered, requestTag(id));
        } else {
            if (plain != nullptr) plain(interp, subject, data.type);
            status = ca_array_put(data.type, data.count, subject.channel->id, data.bytes.data());
        }
        tracePut(subject, call, status);
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, subject, status);
        }
    }
    return TCL_OK;
}

int awaitPuts(Tcl_Interp* interp, const std::vector<Subject>& subjects, std::vector<RequestId>& ids,
              double seconds, double timeout) {
    Side side = subjects.front().channel->side;
    std::vector<std::size_t> late = awaitRequests(side, ids, seconds);
    if (EPICSVerbose != 0)
        trace("%s: waiting for %zu answer%s returned with rc=0x%x\n", subjects.front().command, ids.size(),
              ids.size() == 1 ? "" : "s", static_cast<unsigned>(late.empty() ? ECA_NORMAL : ECA_TIMEOUT));
    // What each put came to: written, refused (its status), or not answered.
    std::vector<int> statuses(ids.size(), ECA_TIMEOUT);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        long count;
        requestAnswered(ids[i], statuses[i], count);
    }
    closeAll(ids);
    std::vector<const Subject*> unanswered, refused, written;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        bool answered = true;
        for (std::size_t j : late) answered = answered && j != i;
        if (!answered) unanswered.push_back(&subjects[i]);
        else if (statuses[i] != ECA_NORMAL) refused.push_back(&subjects[i]);
        else written.push_back(&subjects[i]);
    }
    if (unanswered.empty() && refused.empty()) return TCL_OK;
    const Subject& voice = subjects.front();
    std::string more;
    if (!refused.empty()) {
        std::size_t first = static_cast<std::size_t>(refused.front() - subjects.data());
        failLibrary(interp, "ca_put_callback", *refused.front(), statuses[first]);
        for (std::size_t k = 1; k < refused.size(); ++k) {
            std::size_t i = static_cast<std::size_t>(refused[k] - subjects.data());
            more += (k == 1 ? "; also refused: " : ", ") + describe(*refused[k]) + " " + ca_message(statuses[i]);
        }
        for (std::size_t k = 0; k < unanswered.size(); ++k)
            more += (k == 0 ? "; not completed in time: " : ", ") + describe(*unanswered[k]);
    } else {
        failTimeout(interp, unanswered, timeout, Waiting::Completion);
    }
    if (subjects.size() > 1) {
        more += "; written: ";
        if (written.empty()) more += "none";
        for (std::size_t k = 0; k < written.size(); ++k) more += (k == 0 ? "" : ", ") + describe(*written[k]);
    }
    if (!more.empty()) extendFailure(interp, voice, more);
    return TCL_ERROR;
}

}  // namespace tessaly
