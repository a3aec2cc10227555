// Put completions.
#include "completions.h"
#include "loop.h"
#include "notices.h"
#include "../core/lock.h"
#include "../core/pool.h"
#include "../core/text.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>

namespace tessaly {
namespace {

struct Completion {
    Tcl_Interp* interp = nullptr;
    Tcl_Obj* script = nullptr;
    std::vector<RequestId> ids;
    std::vector<Subject> subjects;
    std::vector<int> statuses;     // ECA_TIMEOUT until answered
    std::size_t left = 0;          // puts not answered yet
    Tcl_TimerToken timer = nullptr;
    double timeout = 0;
    std::vector<pva::Put*> pvaPuts;
    std::vector<Subject> pvaSubjects;
};

// Added and removed under the callback lock (PV Access puts look up their
// completion's generation from pvAccess's thread); used on the
// interpreter's thread.
Pool<Completion> completions;
std::unordered_map<RequestId, uint32_t> byRequest;     // a request's completion
std::unordered_map<pva::Put*, uint32_t> byPvaPut;      // under the callback lock

// Ready notes of PV Access puts carry the completion's index with this bit.
constexpr uint32_t kPvaNote = 0x80000000u;

bool pvaLeft(const Completion& completion) {
    for (pva::Put* put : completion.pvaPuts)
        if (!pva::putEnded(put)) return true;
    return false;
}

// "slot 5 (e:move)" or "LAB:M1".
std::string describe(const Subject& subject) {
    if (subject.slot < 0) return nameOf(subject);
    return "slot " + std::to_string(subject.slot) + " (" + nameOf(subject) + ")";
}

// Takes a completion out of the table: its requests closed, its timer
// gone; the script's reference goes to the caller.
Completion take(uint32_t index) {
    Completion completion = std::move(completions[index]);
    if (completion.timer != nullptr) Tcl_DeleteTimerHandler(completion.timer);
    for (RequestId id : completion.ids) byRequest.erase(id);
    closeRequests(completion.ids.data(), completion.ids.size());
    {
        Held hold(callbackLock());
        for (pva::Put* put : completion.pvaPuts) byPvaPut.erase(put);
        completions.remove(index);
    }
    for (pva::Put* put : completion.pvaPuts) pva::endPut(put, true);
    return completion;
}

void finish(uint32_t index, Tcl_Obj* word) {
    Completion completion = take(index);
    runScript(completion.interp, completion.script, &word, 1);
    Tcl_DecrRefCount(completion.script);
}

void drop(uint32_t index) { Tcl_DecrRefCount(take(index).script); }

// What the script hears when every put has been answered.
Tcl_Obj* outcome(const Completion& completion) {
    if (completion.subjects.size() == 1 && completion.pvaPuts.empty())
        return completion.statuses[0] == ECA_NORMAL ? Tcl_NewIntObj(0)
                                                    : Tcl_NewStringObj(ca_message(completion.statuses[0]), -1);
    if (completion.subjects.empty() && completion.pvaPuts.size() == 1) {
        std::string failure = pva::putFailure(completion.pvaPuts[0]);
        return failure.empty() ? Tcl_NewIntObj(0) : newTextObj(failure.data(), failure.size());
    }
    std::string refused;
    for (std::size_t i = 0; i < completion.statuses.size(); ++i)
        if (completion.statuses[i] != ECA_NORMAL)
            refused += (refused.empty() ? "" : "; ") + describe(completion.subjects[i]) + ": " +
                       ca_message(completion.statuses[i]);
    for (std::size_t i = 0; i < completion.pvaPuts.size(); ++i) {
        std::string failure = pva::putFailure(completion.pvaPuts[i]);
        if (!failure.empty()) refused += (refused.empty() ? "" : "; ") + describe(completion.pvaSubjects[i]) + ": " + failure;
    }
    if (refused.empty()) return Tcl_NewIntObj(0);
    return newTextObj(refused.data(), refused.size());
}

void onTimeout(ClientData data) {
    auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
    Completion& completion = completions[index];
    completion.timer = nullptr;
    std::vector<const Subject*> late;
    for (std::size_t i = 0; i < completion.statuses.size(); ++i)
        if (completion.statuses[i] == ECA_TIMEOUT) late.push_back(&completion.subjects[i]);
    for (std::size_t i = 0; i < completion.pvaPuts.size(); ++i)
        if (!pva::putEnded(completion.pvaPuts[i])) late.push_back(&completion.pvaSubjects[i]);
    // The message the command itself would give for the time-out.
    Tcl_Interp* interp = completion.interp;
    Tcl_Obj* saved = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(saved);
    failTimeout(interp, late, completion.timeout, Waiting::Completion);
    Tcl_Obj* message = Tcl_DuplicateObj(Tcl_GetObjResult(interp));
    Tcl_SetObjResult(interp, saved);
    Tcl_DecrRefCount(saved);
    finish(index, message);
}

void deliverCompletion(uint32_t requestIndex, uint32_t generation) {
    if (requestIndex & kPvaNote) {
        uint32_t index = requestIndex & ~kPvaNote;
        if (!completions.used(index) || completions.generation(index) != generation) return;
        Completion& completion = completions[index];
        if (completion.left == 0 && !pvaLeft(completion)) finish(index, outcome(completion));
        return;
    }
    RequestId id = static_cast<RequestId>(requestIndex);
    auto found = byRequest.find(id);
    if (found == byRequest.end() || requestGeneration(id) != generation) return;
    uint32_t index = found->second;
    Completion& completion = completions[index];
    for (std::size_t i = 0; i < completion.ids.size(); ++i) {
        if (completion.ids[i] != id) continue;
        long count;
        if (!requestAnswered(id, completion.statuses[i], count)) return;
        --completion.left;
    }
    if (completion.left == 0 && !pvaLeft(completion)) finish(index, outcome(completion));
}

bool onChannel(const Completion& completion, const Channel& channel) {
    for (const Subject& subject : completion.subjects)
        if (subject.channel == &channel) return true;
    for (const Subject& subject : completion.pvaSubjects)
        if (subject.channel == &channel) return true;
    return false;
}

void forgetChannelCompletions(Channel& channel, Tcl_Interp* only, Ending why) {
    for (std::size_t index = 0; index < completions.size(); ++index) {
        if (!completions.used(index)) continue;
        const Completion& completion = completions[index];
        if ((only != nullptr && completion.interp != only) || !onChannel(completion, channel)) continue;
        if (why == Ending::Reset && !completion.subjects.empty())
            noticeError(completion.interp, std::string(completion.subjects.front().command) + " -command on " +
                                               describe(completion.subjects.front()) +
                                               " ended: the Channel Access context was reset");
        drop(static_cast<uint32_t>(index));
    }
}

void forgetInterpCompletions(Tcl_Interp* interp) {
    for (std::size_t index = 0; index < completions.size(); ++index)
        if (completions.used(index) && completions[index].interp == interp) drop(static_cast<uint32_t>(index));
}

}  // namespace

const Feature kCompletions = {"put completions", deliverCompletion, forgetChannelCompletions,
                              forgetInterpCompletions, nullptr, nullptr, nullptr};

void pvaPutEnded(pva::Put* put) {
    Held hold(callbackLock());
    auto found = byPvaPut.find(put);
    // Not yet registered: expectCompletion looks at it then.
    if (found == byPvaPut.end()) return;
    noteReady(kCompletions, found->second | kPvaNote, completions.generation(found->second), Side::Names);
}

void expectCompletion(Tcl_Interp* interp, const std::vector<RequestId>& ids, const std::vector<Subject>& subjects,
                      Tcl_Obj* script, double timeout, const std::vector<pva::Put*>& pvaPuts,
                      const std::vector<Subject>& pvaSubjects) {
    uint32_t index;
    {
        Held hold(callbackLock());
        index = static_cast<uint32_t>(completions.add());
    }
    Completion& completion = completions[index];
    completion.interp = interp;
    completion.script = script;
    Tcl_IncrRefCount(script);
    completion.ids = ids;
    completion.subjects = subjects;
    completion.statuses.assign(ids.size(), ECA_TIMEOUT);
    completion.left = ids.size();
    completion.timeout = timeout;
    for (RequestId id : ids) byRequest[id] = index;
    completion.pvaPuts = pvaPuts;
    completion.pvaSubjects = pvaSubjects;
    if (!pvaPuts.empty()) {
        Held hold(callbackLock());
        for (pva::Put* put : pvaPuts) byPvaPut[put] = index;
        // Puts that ended before this line are counted with this note.
        noteReady(kCompletions, index | kPvaNote, completions.generation(index), Side::Names);
    }
    double ms = std::ceil(timeout * 1000.0);
    if (ms < 2e9)
        completion.timer = Tcl_CreateTimerHandler(static_cast<int>(ms), onTimeout,
                                                  reinterpret_cast<ClientData>(static_cast<uintptr_t>(index)));
    watchInterp(interp);
    startEvents();
    // Answers that came already (a put to a nearby server can be answered
    // before this line) are delivered with the rest: none is lost, since
    // their notes wait in the ready list.
}

}  // namespace tessaly
