// The Tcl side of delivery: the event source, the file handler on the slot
// context's wake-up descriptor, the wake-up from the name layer's threads,
// and running scripts.
#include "loop.h"
#include "../core/channel.h"
#include "../core/context.h"
#include "../core/lock.h"
#include "../core/registry.h"
#include "../core/text.h"

#include <chrono>

namespace tessaly {
namespace {

bool started = false;
int handledFd = -1;                   // the descriptor with our file handler
bool deliveryQueued = false;
std::chrono::steady_clock::time_point lastPoll;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
Tcl_ThreadId home = nullptr;          // the thread that loaded the extension

int deliver(Tcl_Event*, int flags) {
    if (!(flags & TCL_FILE_EVENTS)) return 0;
    deliveryQueued = false;
    deliverReady();
    return 1;
}

void queueDelivery() {
    if (deliveryQueued || !anythingReady()) return;
    deliveryQueued = true;
    auto* event = reinterpret_cast<Tcl_Event*>(Tcl_Alloc(sizeof(Tcl_Event)));
    event->proc = deliver;
    Tcl_QueueEvent(event, TCL_QUEUE_TAIL);
}

// Queued from the name layer's threads (the wake hook).
int deliverWoken(Tcl_Event*, int flags) {
    if (!(flags & TCL_FILE_EVENTS)) return 0;
    wakeDone();
    deliverReady();
    return 1;
}

// Under the callback lock, on any thread: the first record of the name
// layer's side is ready.
void wake() {
    auto* event = reinterpret_cast<Tcl_Event*>(Tcl_Alloc(sizeof(Tcl_Event)));
    event->proc = deliverWoken;
    Tcl_ThreadQueueEvent(home, event, TCL_QUEUE_TAIL);
    Tcl_ThreadAlert(home);
}

void letLibraryWork() {
    ca_poll();
    lastPoll = std::chrono::steady_clock::now();
}

// What the library's callbacks made ready goes at once, as fileevent
// scripts run from their file handler.
void onReadable(ClientData, int) {
    letLibraryWork();
    deliverReady();
}

void setupSource(ClientData, int flags) {
    if (!(flags & TCL_FILE_EVENTS)) return;
    Tcl_Time now{0, 0};
    Tcl_Time period{0, static_cast<long>(std::chrono::microseconds(kPollPeriod).count())};
    if (anythingReady()) Tcl_SetMaxBlockTime(&now);
    else if (watchedSlotsDown() > 0) Tcl_SetMaxBlockTime(&period);
}

void checkSource(ClientData, int flags) {
    if (!(flags & TCL_FILE_EVENTS)) return;
    if (watchedSlotsDown() > 0 && EPICS_Handle != -1 &&
        std::chrono::steady_clock::now() - lastPoll >= kPollPeriod)
        letLibraryWork();
    queueDelivery();
}

// libca names its wake-up descriptor at the first channel of a context and
// takes it back with the context.
void onDescriptor(int fd, bool opened) {
    if (!started) return;
    if (handledFd >= 0) Tcl_DeleteFileHandler(handledFd);
    handledFd = -1;
    if (opened) {
        handledFd = fd;
        Tcl_CreateFileHandler(fd, TCL_READABLE, onReadable, nullptr);
    }
}

bool haveBackgroundException() {
#if TCL_MAJOR_VERSION >= 9
    return true;
#else
    // Tcl_BackgroundException is 8.6's; 8.4 and 8.5 have Tcl_BackgroundError.
    int major, minor;
    Tcl_GetVersion(&major, &minor, nullptr, nullptr);
    return major > 8 || (major == 8 && minor >= 6);
#endif
}

void reportBackground(Tcl_Interp* interp, int code) {
    if (haveBackgroundException()) Tcl_BackgroundException(interp, code);
    else Tcl_BackgroundError(interp);
}

constexpr const char* kAssocKey = "Tessaly:events";

void interpGone(ClientData, Tcl_Interp* interp) { forgetInterp(interp); }

}  // namespace

void initEvents() {
    if (home == nullptr) home = Tcl_GetCurrentThread();
    setWakeHook(wake);
}

bool threadedTcl() {
#if TCL_MAJOR_VERSION >= 9
    return true;
#else
    // Tcl_GetCurrentThread is 0 in a Tcl built without threads.
    return Tcl_GetCurrentThread() != nullptr;
#endif
}

bool onHomeThread() { return Tcl_GetCurrentThread() == home; }

void startEvents() {
    if (started) return;
    started = true;
    Tcl_CreateEventSource(setupSource, checkSource, nullptr);
    setDescriptorHook(onDescriptor);
    if (wakeupDescriptor() >= 0) onDescriptor(wakeupDescriptor(), true);
}

void runScript(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* const* words, int count) {
    Tcl_Preserve(interp);
    // A script that is a list gets its words appended as list elements and
    // runs without being parsed again; any other is joined with them as text.
    Tcl_Obj* command;
    TclSize length;
    if (Tcl_ListObjLength(nullptr, script, &length) == TCL_OK) {
        command = Tcl_DuplicateObj(script);
        for (int i = 0; i < count; ++i) Tcl_ListObjAppendElement(nullptr, command, words[i]);
    } else {
        Tcl_Obj* tail = Tcl_NewListObj(count, words);
        Tcl_IncrRefCount(tail);
        command = Tcl_DuplicateObj(script);
        Tcl_AppendToObj(command, " ", 1);
        Tcl_AppendObjToObj(command, tail);
        Tcl_DecrRefCount(tail);
    }
    Tcl_IncrRefCount(command);
    int code = Tcl_EvalObjEx(interp, command, TCL_EVAL_GLOBAL);
    Tcl_DecrRefCount(command);
    if (code != TCL_OK) reportBackground(interp, code);
    Tcl_ResetResult(interp);
    Tcl_Release(interp);
}

void backgroundError(Tcl_Interp* interp, const char* message, Tcl_Obj* code) {
    Tcl_Preserve(interp);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(message, -1));
    if (code != nullptr) Tcl_SetObjErrorCode(interp, code);
    else Tcl_SetErrorCode(interp, message, static_cast<char*>(nullptr));
    reportBackground(interp, TCL_ERROR);
    Tcl_ResetResult(interp);
    Tcl_Release(interp);
}

void watchInterp(Tcl_Interp* interp) {
    if (Tcl_GetAssocData(interp, kAssocKey, nullptr) != nullptr) return;
    Tcl_SetAssocData(interp, kAssocKey, interpGone, reinterpret_cast<ClientData>(1));
}

}  // namespace tessaly
