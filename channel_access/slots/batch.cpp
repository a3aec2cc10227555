// Batch forms of the Tessaly commands: many channels created, cleared, read
// or written by one command with one wait, so that a script with a thousand
// channels starts in well under a second and a scan step that reads a dozen
// values pays for one round trip instead of a dozen.
//
// They answer as the single commands do (messages, conversions, slot rules,
// the reset rule: the gets and puts take the same request path) and are all
// or nothing: every word is checked before the first request is made, and a
// command that fails returns no values.
#include "../core/channel.h"
#include "../core/commands.h"
#include "../core/context.h"
#include "../core/text.h"
#include "../specified/circuits.h"
#include "../specified/queue.h"

#include <cstdio>
#include <cstring>

namespace tessaly {
namespace {

constexpr int kMaxBatch = kSlotCount;

// Working storage of one command, at file level: nothing on the heap grows
// with a batch but the Tcl result list.
chid batchChannels[kMaxBatch];
uint32_t batchSlots[kMaxBatch];
PutValue batchValues[kMaxBatch];
bool slotNamed[kSlotCount];

int wrongWords(Tcl_Interp* interp, const char* command) {
    return fail(interp, "Invalid number of parameters in %s", command);
}

int tooMany(Tcl_Interp* interp, const char* command) {
    return fail(interp, "Too many slots in %s (%d at most)", command, kMaxBatch);
}

// Reads `count` slot words, `step` words apart, into batchSlots.  All must be
// valid; with `distinct`, a slot named twice is invalid the second time, as
// it would be once the first had been acted on.
int readSlots(Tcl_Interp* interp, const char* command, const char* const* words, int count,
              int step, bool distinct) {
    if (distinct) memset(slotNamed, 0, sizeof slotNamed);
    for (int i = 0; i < count; ++i) {
        uint32_t slot = parseSlot(words[i * step]);
        if (!slotValid(slot) || (distinct && slotNamed[slot]))
            return fail(interp, "Invalid ChanId in %s", command);
        if (distinct) slotNamed[slot] = true;
        batchSlots[i] = slot;
    }
    return TCL_OK;
}

int replyZero(Tcl_Interp* interp) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("0", -1));
    return TCL_OK;
}

// Appends " NAME" to the message in EPICS_response while it fits with room
// for the closing " ...)"; returns false (having written " ...") once not.
bool appendName(std::size_t& used, const char* name) {
    constexpr std::size_t kTail = sizeof " ...)";
    std::size_t length = strlen(name);
    if (used + 1 + length + kTail > sizeof EPICS_response) {
        snprintf(EPICS_response + used, sizeof EPICS_response - used, " ...");
        used += strlen(EPICS_response + used);
        return false;
    }
    snprintf(EPICS_response + used, sizeof EPICS_response - used, " %s", name);
    used += 1 + length;
    return true;
}

// Clears every channel a failed create made and frees the slots it took.
void undoCreate(const char* command, const char* const* names, int made, bool slotted) {
    beforeClearing();
    for (int i = 0; i < made; ++i) {
        trace("%s: ca_clear_channel on %s\n", command, names[i]);
        clearChannel(batchChannels[i]);
        if (slotted) releaseSlot(batchSlots[i]);
    }
    afterClearing();
}

// The message of a create whose wait ended before every channel connected:
// the channels that did not, as many as the message holds.
void describeUnconnected(const char* command, const char* const* names, int count, int status) {
    int n = snprintf(EPICS_response, sizeof EPICS_response, "ca_pend_io in %s failed %s", command,
                     ca_message(status));
    std::size_t used = n > 0 ? static_cast<std::size_t>(n) : 0;
    bool listed = false, whole = true;
    for (int i = 0; i < count && whole; ++i) {
        if (ca_state(batchChannels[i]) == cs_conn) continue;
        if (!listed) {
            snprintf(EPICS_response + used, sizeof EPICS_response - used, " (not connected:");
            used += strlen(EPICS_response + used);
            listed = true;
        }
        whole = appendName(used, names[i]);
    }
    if (listed) snprintf(EPICS_response + used, sizeof EPICS_response - used, ")");
}

int EPICS_CreateChannelsCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const char* command = commandOf(data).name;
    if (argc < 2) return wrongWords(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    const char* const* names = argv + 1;
    int count = argc - 1;
    if (count > freeSlotCount()) return fail(interp, "No spare slots in %s", command);
    settleCircuits();

    for (int i = 0; i < count; ++i) {
        int status = ca_create_channel(names[i], nullptr, nullptr, kPriority, &batchChannels[i]);
        trace("%s: ca_create_channel with arg %s returned with rc=0x%x\n", command, names[i],
              static_cast<unsigned>(status));
        if (status != ECA_NORMAL) {
            undoCreate(command, names, i, false);
            return fail(interp, "ca_create_channel in %s failed %s (name \"%s\")", command,
                        ca_message(status), names[i]);
        }
    }
    // Each channel takes the lowest free slot at its turn, before the wait.
    for (int i = 0; i < count; ++i) batchSlots[i] = static_cast<uint32_t>(takeSlot(batchChannels[i]));

    int status = ca_pend_io(kWaitSeconds);
    trace("%s: ca_pend_io returned with rc=0x%x\n", command, static_cast<unsigned>(status));
    if (status != ECA_NORMAL) {
        describeUnconnected(command, names, count, status);
        undoCreate(command, names, count, true);
        Tcl_SetErrorCode(interp, forTcl(EPICS_response), static_cast<char*>(nullptr));
        return TCL_ERROR;
    }

    Tcl_Obj* slots = Tcl_NewListObj(0, nullptr);
    for (int i = 0; i < count; ++i)
        Tcl_ListObjAppendElement(nullptr, slots, Tcl_NewIntObj(static_cast<int>(batchSlots[i])));
    Tcl_SetObjResult(interp, slots);
    return TCL_OK;
}

int EPICS_ClearChannelsCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const char* command = commandOf(data).name;
    if (argc < 2) return wrongWords(interp, command);
    if (argc - 1 > kMaxBatch) return tooMany(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    int count = argc - 1;
    if (readSlots(interp, command, argv + 1, count, 1, true) != TCL_OK) return TCL_ERROR;
    beforeClearing();
    for (int i = 0; i < count; ++i) {
        trace("%s: ca_clear_channel on slot %u\n", command, batchSlots[i]);
        clearChannel(channelOf(batchSlots[i]));
        releaseSlot(batchSlots[i]);
    }
    afterClearing();
    return replyZero(interp);
}

// EPICS_GetInts, EPICS_GetFloats, EPICS_GetStrings.
int getsCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const StringCommand& row = commandOf(data);
    if (argc < 2) return wrongWords(interp, row.name);
    if (argc - 1 > kMaxBatch) return tooMany(interp, row.name);
    if (needContext(interp, row.name) != TCL_OK) return TCL_ERROR;
    int count = argc - 1;
    if (readSlots(interp, row.name, argv + 1, count, 1, false) != TCL_OK) return TCL_ERROR;
    if (queueGets(interp, row.name, row.kind, batchSlots, count, Style::Batch) != TCL_OK) return TCL_ERROR;

    Tcl_Obj* values = Tcl_NewListObj(0, nullptr);
    char text[kValueTextSize];
    for (int i = 0; i < count; ++i) {
        std::size_t length = formatReceived(row.kind, valuesOf(batchSlots[i]), text);
        Tcl_Obj* value = row.kind == Form::Text40 ? Tcl_NewStringObj(forTcl(text), -1)
                                                  : Tcl_NewStringObj(text, static_cast<int>(length));
        Tcl_ListObjAppendElement(nullptr, values, value);
    }
    Tcl_SetObjResult(interp, values);
    return TCL_OK;
}

// EPICS_PutInts, EPICS_PutFloats, EPICS_PutStrings.
int putsCmd(ClientData data, Tcl_Interp* interp, int argc, const char* argv[]) {
    const StringCommand& row = commandOf(data);
    if (argc < 3 || (argc - 1) % 2 != 0) return wrongWords(interp, row.name);
    if ((argc - 1) / 2 > kMaxBatch) return tooMany(interp, row.name);
    if (needContext(interp, row.name) != TCL_OK) return TCL_ERROR;
    int count = (argc - 1) / 2;
    const char* const* values = argv + 2;

    // Values first, as the single puts parse them before the slot test.
    for (int i = 0; i < count; ++i) batchValues[i] = toPutValue(row.kind, values[2 * i]);
    if (readSlots(interp, row.name, argv + 1, count, 2, false) != TCL_OK) return TCL_ERROR;
    for (int i = 0; i < count; ++i)
        if (!batchValues[i].fits())
            return fail(interp, "Value longer than %d bytes in %s", MAX_STRING_SIZE - 1, row.name);
    if (queuePuts(interp, row.name, batchSlots, batchValues, count, Style::Batch) != TCL_OK)
        return TCL_ERROR;
    return replyZero(interp);
}

constexpr StringCommand kRows[] = {
    {"EPICS_CreateChannels", EPICS_CreateChannelsCmd, Form::Short},
    {"EPICS_ClearChannels", EPICS_ClearChannelsCmd, Form::Short},
    {"EPICS_GetInts", getsCmd, Form::Short},
    {"EPICS_GetFloats", getsCmd, Form::Float},
    {"EPICS_GetStrings", getsCmd, Form::Text40},
    {"EPICS_PutInts", putsCmd, Form::Short},
    {"EPICS_PutFloats", putsCmd, Form::Float},
    {"EPICS_PutStrings", putsCmd, Form::Text40},
};

}  // namespace

const CommandTable<StringCommand> kBatchCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
