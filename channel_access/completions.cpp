// Put completions (EPICS_Put -command) and rejected plain puts.
#include "completions.h"
#include "context.h"
#include "events.h"
#include "slots.h"
#include "text.h"

#include <epicsTime.h>
#include <errlog.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace tessaly {
namespace {

// ---- completions, by request ------------------------------------------------

constexpr int kMaxCompletions = kMaxRequests;  // one per request

struct Completion {
    bool used = false;
    Tcl_Interp* interp = nullptr;
    Tcl_Obj* script = nullptr;
    uint32_t slot = 0;
    uint32_t generation = 0;  // the request's
    Tcl_TimerToken timer = nullptr;
    const char* command = "";
    double timeout = 0;
};
Completion completions[kMaxCompletions];
int completionsUsed = 0;

// Takes a completion out of the table; returns its script (a reference the
// caller drops) and the interpreter.
Tcl_Obj* takeCompletion(Completion& completion, RequestId id) {
    if (completion.timer != nullptr) Tcl_DeleteTimerHandler(completion.timer);
    completion.timer = nullptr;
    completion.used = false;
    --completionsUsed;
    closeRequest(id);
    return completion.script;
}

void runCompletion(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* status) {
    runScript(interp, script, &status, 1);
    Tcl_DecrRefCount(script);
}

void onCompletionTimeout(ClientData data) {
    auto id = static_cast<RequestId>(reinterpret_cast<intptr_t>(data));
    Completion& completion = completions[id];
    completion.timer = nullptr;
    if (!completion.used) return;
    char text[160];
    snprintf(text, sizeof text, "%s timed out after %g s waiting for the completion of slot %u (%s)",
             completion.command, completion.timeout, completion.slot, ca_name(channelOf(completion.slot)));
    Tcl_Interp* interp = completion.interp;
    Tcl_Obj* script = takeCompletion(completion, id);
    runCompletion(interp, script, Tcl_NewStringObj(text, -1));
}

void dropCompletion(RequestId id) {
    Completion& completion = completions[id];
    if (!completion.used) return;
    Tcl_DecrRefCount(takeCompletion(completion, id));
}

// ---- rejected plain puts ------------------------------------------------------

// Per slot, which plain puts of the newer commands are going out (so that
// a rejection of one is theirs to report) and for which interpreter.
struct PlainPuts {
    Tcl_Interp* interp = nullptr;
    const char* command = "";
    uint32_t types = 0;          // bits of the DBR types sent
    bool stringIsOurs = false;   // the last plain DBR_STRING put was one of ours
};
PlainPuts plainPuts[kSlotCount];  // under the callback lock

constexpr int kMaxRejections = 64;
struct Rejection {
    uint32_t generation = 0;
    bool used = false;
    Tcl_Interp* interp = nullptr;
    char message[200] = "";
};
Rejection rejections[kMaxRejections];  // under the callback lock
int nextRejection = 0;
int handlerContext = 0;  // the context whose exception handler is ours

// What libca reports of an exception when no handler is installed, word
// for word (through the error log, to standard error), for the exceptions
// that are not ours.  libca would then end the process for the fatal ones;
// here the process goes on.
void reportAsLibrary(long status, const char* file, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void reportAsLibrary(long status, const char* file, unsigned line, const char* format, ...) {
    static const char* const kSeverities[] = {"Warning", "Success", "Error", "Info",
                                              "Fatal",   "Fatal",   "Fatal", "Fatal"};
    errlogPrintf("CA.Client.Exception...............................................\n");
    errlogPrintf("    %s: \"%s\"\n", kSeverities[CA_EXTRACT_SEVERITY(status)], ca_message(status));
    va_list args;
    va_start(args, format);
    errlogPrintf("    Context: \"");
    errlogVprintf(format, args);
    errlogPrintf("\"\n");
    va_end(args);
    if (file != nullptr) errlogPrintf("    Source File: %s line %u\n", file, line);
    epicsTimeStamp now;
    epicsTimeGetCurrent(&now);
    char date[64];
    epicsTimeToStrftime(date, sizeof date, "%a %b %d %Y %H:%M:%S.%f", &now);
    errlogPrintf("    Current Time: %s\n", date);
    errlogPrintf("..................................................................\n");
}

// libca's exception handler: a rejected plain put of ours is noted for its
// interpreter; everything else is reported as libca reports it by default.
void onException(exception_handler_args args) {
    if (args.chid != nullptr && args.op == CA_OP_PUT && args.type >= 0 && args.type < 32) {
        std::lock_guard<std::mutex> hold(callbackLock());
        for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
            if (!slotValid(slot) || channelOf(slot) != args.chid) continue;
            const PlainPuts& puts = plainPuts[slot];
            bool ours = (puts.types & (1u << args.type)) != 0 &&
                        (args.type != DBR_STRING || puts.stringIsOurs);
            if (!ours || puts.interp == nullptr) break;
            Rejection& rejection = rejections[nextRejection];
            uint32_t index = static_cast<uint32_t>(nextRejection);
            nextRejection = (nextRejection + 1) % kMaxRejections;
            ++rejection.generation;
            rejection.used = true;
            rejection.interp = puts.interp;
            snprintf(rejection.message, sizeof rejection.message, "ca_put in %s failed %s (slot %u, %s)",
                     puts.command, ca_message(args.stat), slot, ca_name(args.chid));
            noteReady(Ready::Exception, index, rejection.generation);
            return;
        }
    }
    if (args.chid != nullptr)
        reportAsLibrary(args.stat, args.pFile, args.lineNo,
                        "op=%u, channel=%s, type=%s, count=%lu, ctx=\"%s\"",
                        static_cast<unsigned>(args.op), ca_name(args.chid),
                        dbr_type_to_text(static_cast<int>(args.type)),
                        static_cast<unsigned long>(args.count), args.ctx);
    else
        reportAsLibrary(args.stat, args.pFile, args.lineNo, "%s", args.ctx);
}

}  // namespace

void expectCompletion(Tcl_Interp* interp, RequestId id, const Subject& subject, Tcl_Obj* script,
                      double timeout) {
    Completion& completion = completions[id];
    completion.used = true;
    ++completionsUsed;
    completion.interp = interp;
    completion.script = script;
    Tcl_IncrRefCount(script);
    completion.slot = subject.slot;
    completion.generation = requestGeneration(id);
    completion.command = subject.command;
    completion.timeout = timeout;
    double ms = std::ceil(timeout * 1000.0);
    completion.timer = Tcl_CreateTimerHandler(ms > 2e9 ? 2000000000 : static_cast<int>(ms),
                                              onCompletionTimeout,
                                              reinterpret_cast<ClientData>(static_cast<intptr_t>(id)));
    watchInterp(interp);
    startEvents();
}

void deliverCompletion(uint32_t index, uint32_t generation) {
    auto id = static_cast<RequestId>(index);
    Completion& completion = completions[id];
    if (!completion.used || completion.generation != generation) return;
    int status;
    long count;
    if (!requestAnswered(id, status, count)) return;
    Tcl_Interp* interp = completion.interp;
    Tcl_Obj* script = takeCompletion(completion, id);
    runCompletion(interp, script, status == ECA_NORMAL ? Tcl_NewIntObj(0)
                                                       : Tcl_NewStringObj(ca_message(status), -1));
}

void notePlainPut(Tcl_Interp* interp, const Subject& subject, chtype type) {
    if (handlerContext != contextNumber()) {
        ca_add_exception_event(onException, nullptr);
        handlerContext = contextNumber();
    }
    watchInterp(interp);
    startEvents();
    std::lock_guard<std::mutex> hold(callbackLock());
    PlainPuts& puts = plainPuts[subject.slot];
    puts.interp = interp;
    puts.command = subject.command;
    puts.types |= 1u << type;
    if (type == DBR_STRING) puts.stringIsOurs = true;
}

void noteSpecifiedStringPut(uint32_t slot) {
    std::lock_guard<std::mutex> hold(callbackLock());
    plainPuts[slot].stringIsOurs = false;
}

void deliverException(uint32_t index, uint32_t generation) {
    Tcl_Interp* interp;
    char message[sizeof Rejection::message];
    {
        std::lock_guard<std::mutex> hold(callbackLock());
        Rejection& rejection = rejections[index];
        if (!rejection.used || rejection.generation != generation) return;
        rejection.used = false;
        interp = rejection.interp;
        snprintf(message, sizeof message, "%s", rejection.message);
    }
    backgroundError(interp, message);
}

void forgetSlotCompletions(uint32_t slot) {
    for (RequestId id = 0; id < kMaxCompletions && completionsUsed > 0; ++id)
        if (completions[id].used && completions[id].slot == slot) dropCompletion(id);
    std::lock_guard<std::mutex> hold(callbackLock());
    plainPuts[slot] = PlainPuts();
}

void forgetInterpCompletions(Tcl_Interp* interp) {
    for (RequestId id = 0; id < kMaxCompletions; ++id)
        if (completions[id].used && completions[id].interp == interp) dropCompletion(id);
    std::lock_guard<std::mutex> hold(callbackLock());
    for (PlainPuts& puts : plainPuts)
        if (puts.interp == interp) puts = PlainPuts();
    for (Rejection& rejection : rejections)
        if (rejection.interp == interp) rejection.used = false;
}

void forgetAllCompletions() {
    for (RequestId id = 0; id < kMaxCompletions; ++id) dropCompletion(id);
    std::lock_guard<std::mutex> hold(callbackLock());
    for (PlainPuts& puts : plainPuts) puts = PlainPuts();
    for (Rejection& rejection : rejections) rejection.used = false;
}

}  // namespace tessaly
