// The Channel Access context.  One context (no preemptive callbacks) serves
// every interpreter of the process; it is destroyed when the library refuses
// a get or put request of a specified command, and the next command creates
// a fresh one with every slot free.
#include "context.h"
#include "circuits.h"
#include "pending.h"
#include "slots.h"
#include "text.h"

#include <cstdio>

extern "C" {
int32_t EPICS_Handle = -1;
}

namespace tessaly {
namespace {

int wakeup = -1;
int contextCount = 0;
DescriptorHook descriptorHook = nullptr;
ContextHook closingHook = nullptr;

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

void setClosingHook(ContextHook hook) { closingHook = hook; }

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
    return 0;
}

int CloseDownEPICS() {
    if (EPICS_Handle == -1) return 0;
    if (closingHook != nullptr) closingHook();
    closeAllRequests();
    // The library keeps a copy of each channel's name until the channel is
    // cleared, and destroying the context does not free them: clear every
    // channel still in use first, so that resets never leak.  The flags stay
    // as they are; the next context frees every slot.
    for (uint32_t slot = 0; slot < kSlotCount; ++slot)
        if (slotValid(slot)) ca_clear_channel(channelOf(slot));
    ca_context_destroy();
    wakeup = -1;
    forgetCircuits();
    EPICS_Handle = -1;
    return 0;
}
