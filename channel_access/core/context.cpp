// The Channel Access contexts (see context.h).
#include "context.h"
#include "channel.h"
#include "lock.h"
#include "registry.h"
#include "requests.h"
#include "text.h"

#include <epicsThread.h>

#include <cstdio>

// libca's thread-private pointer to a thread's current context.  A context
// without preemptive callbacks cannot be attached again through the API
// once detached (ca_attach_context takes preemptive ones only), so the name
// layer's scopes put the pointer back themselves, exactly as
// ca_detach_context and ca_attach_context set it.
extern epicsThreadPrivateId caClientContextId;

extern "C" {
int32_t EPICS_Handle = -1;
}

namespace tessaly {
namespace {

int wakeup = -1;
int contextCount = 0;
DescriptorHook descriptorHook = nullptr;

ca_client_context* names = nullptr;
int namesStatus = ECA_NORMAL;

// libca names its wake-up socket at the first channel created after the
// registration (and again when the context goes).
void noteDescriptor(void*, int fd, int opened) {
    wakeup = opened ? fd : -1;
    if (descriptorHook != nullptr) descriptorHook(fd, opened != 0);
}

}  // namespace

int contextNumber() { return contextCount; }

int wakeupDescriptor() { return wakeup; }

void setDescriptorHook(DescriptorHook hook) { descriptorHook = hook; }

// Every channel and value command needs a live context; without one the slot
// flags may still name channels of a destroyed context.
int needContext(Tcl_Interp* interp, const char* command) {
    SetUpEPICS();
    if (EPICS_Handle == -1) return fail(interp, "No Channel Access context in %s", command);
    return TCL_OK;
}

int resetAfterRefusal(Tcl_Interp* interp, std::string_view call, const char* command, int status) {
    fail(interp, "%.*s in %s failed %s", static_cast<int>(call.size()), call.data(), command,
         ca_message(status));
    puts("EPICS server failure - resetting");
    fflush(stdout);
    CloseDownEPICS();
    return TCL_ERROR;
}

bool haveNameContext(const char*& why) {
    if (names != nullptr) return true;
    if (namesStatus != ECA_NORMAL) {
        why = ca_message(namesStatus);
        return false;
    }
    ca_client_context* previous = ca_current_context();
    ca_detach_context();
    int status = ca_context_create(ca_enable_preemptive_callback);
    if (status == ECA_NORMAL) names = ca_current_context();
    ca_detach_context();
    if (previous != nullptr) epicsThreadPrivateSet(caClientContextId, previous);
    if (status != ECA_NORMAL) {
        // Tried once: a library that cannot make a context now will not later.
        namesStatus = status;
        why = ca_message(status);
        return false;
    }
    InNameContext in;
    contextMade(Side::Names);
    return true;
}

void endNameContextAtExit() {
    if (names == nullptr) return;
    {
        InNameContext in;
        ca_context_destroy();
    }
    names = nullptr;
    namesStatus = ECA_NOCACTX;  // no other context is made
}

InNameContext::InNameContext() : previous_(ca_current_context()) {
    if (previous_ != names) epicsThreadPrivateSet(caClientContextId, names);
}

InNameContext::~InNameContext() {
    if (previous_ == names) return;
    if (previous_ != nullptr) epicsThreadPrivateSet(caClientContextId, previous_);
    else ca_detach_context();
}

}  // namespace tessaly

using namespace tessaly;

int SetUpEPICS() {
    if (EPICS_Handle != -1) return 0;
    int status = ca_context_create(ca_disable_preemptive_callback);
    if (status != ECA_NORMAL) {
        printf("ca_context_create failed %s\n", ca_message(status));
        fflush(stdout);
        return -1;
    }
    EPICS_Handle = 1;
    ++contextCount;
    releaseAllSlots();
    ca_add_fd_registration(noteDescriptor, nullptr);
    contextMade(Side::Slots);
    return 0;
}

int CloseDownEPICS() {
    if (EPICS_Handle == -1) return 0;
    // Whatever hangs on the context's channels ends, and hears of it.
    endContext(Side::Slots);
    closeAllRequests(Side::Slots);
    // The library keeps a copy of each channel's name until the channel is
    // cleared, and destroying the context does not free them: clear every
    // channel still in use first, so that resets never leak.  The flags stay
    // as they are; the next context frees every slot.
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (slotValid(slot)) ca_clear_channel(channelOf(slot));
    ca_context_destroy();
    wakeup = -1;
    EPICS_Handle = -1;
    return 0;
}
