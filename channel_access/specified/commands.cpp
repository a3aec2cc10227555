// The specified commands: the trace switch, creating and clearing a channel,
// and the six single gets and puts, each a batch of one on the shared
// queue-and-wait path (queue.cpp).
#include "circuits.h"
#include "queue.h"
#include "../core/channel.h"
#include "../core/commands.h"
#include "../core/context.h"
#include "../core/text.h"

#include <cstdlib>

namespace tessaly {

int checkWords(Tcl_Interp* interp, const char* command, int argc, int wanted) {
    if (argc != wanted) return fail(interp, "Invalid number of parameters in %s", command);
    return needContext(interp, command);
}

namespace {

int EPICS_VerboseCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc >= 2) EPICSVerbose = atoi(argv[1]);
    return reply(interp, "%d", 0);
}

int EPICS_CreateChannelCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const char* command = commandOf(data).name;
    if (checkWords(interp, command, argc, 2) != TCL_OK) return TCL_ERROR;
    settleCircuits();

    trace("EPICS_CreateChannel calling ca_create_channel with arg %s\n", argv[1]);
    chid channel = nullptr;
    int status = ca_create_channel(argv[1], nullptr, nullptr, kPriority, &channel);
    trace("ca_create_channel returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL)
        return fail(interp, "ca_context_create in EPICS_CreateChannel failed %s", ca_message(status));

    int slot = takeSlot(channel);
    if (slot < 0) {
        ca_clear_channel(channel);
        return fail(interp, "No spare slots in EPICS_CreateChannel");
    }

    traceLine("EPICS_CreateChannel calling ca_pend_io");
    status = ca_pend_io(kWaitSeconds);
    trace("ca_pend_io returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL) {
        fail(interp, "ca_pend_io in EPICS_CreateChannel failed %s", ca_message(status));
        ca_clear_channel(channel);
        releaseSlot(static_cast<uint32_t>(slot));
        return TCL_ERROR;
    }
    return reply(interp, "%d", slot);
}

int EPICS_ClearChannelCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const char* command = commandOf(data).name;
    if (checkWords(interp, command, argc, 2) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", command);
    beforeClearing();
    clearChannel(channelOf(slot));
    releaseSlot(slot);
    afterClearing();
    return reply(interp, "%d", 0);
}

// EPICS_GetInt, EPICS_GetFloat, EPICS_GetString.
int getCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const StringCommand& row = commandOf(data);
    if (checkWords(interp, row.name, argc, 2) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", row.name);
    if (queueGets(interp, row.name, row.kind, &slot, 1, Style::Single) != TCL_OK) return TCL_ERROR;

    trace("%s returning 0x%x\n", row.name, tracedReceived(row.kind, valuesOf(slot)));
    formatReceived(row.kind, valuesOf(slot), EPICS_response);
    Tcl_SetResult(interp, forTcl(EPICS_response), TCL_VOLATILE);
    return TCL_OK;
}

// EPICS_PutInt, EPICS_PutFloat, EPICS_PutString.
int putCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const StringCommand& row = commandOf(data);
    if (checkWords(interp, row.name, argc, 3) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);

    // The value is parsed before the slot test; parsing never fails.
    PutValue value = toPutValue(row.kind, argv[2]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", row.name);

    // The library refuses longer strings, and a refusal resets every
    // channel: turn them away here instead.
    if (!value.fits())
        return fail(interp, "Value longer than %d bytes in %s", MAX_STRING_SIZE - 1, row.name);
    if (queuePuts(interp, row.name, &slot, &value, 1, Style::Single) != TCL_OK) return TCL_ERROR;
    trace("%s returning 0\n", row.name);
    return reply(interp, "%d", 0);
}

// Registered in this order.
constexpr StringCommand kRows[] = {
    {"Tessaly_Verbose", EPICS_VerboseCmd, Form::Short},
    {"EPICS_CreateChannel", EPICS_CreateChannelCmd, Form::Short},
    {"EPICS_ClearChannel", EPICS_ClearChannelCmd, Form::Short},
    {"EPICS_PutInt", putCmd, Form::Short},
    {"EPICS_GetInt", getCmd, Form::Short},
    {"EPICS_PutFloat", putCmd, Form::Float},
    {"EPICS_GetFloat", getCmd, Form::Float},
    {"EPICS_PutString", putCmd, Form::Text40},
    {"EPICS_GetString", getCmd, Form::Text40},
};

}  // namespace

const CommandTable<StringCommand> kSpecifiedCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
