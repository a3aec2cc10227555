// Batch forms of the Tessaly commands: many channels created, cleared, read
// or written by one command with one wait, so that a script with a thousand
// channels starts in well under a second and a scan step that reads a dozen
// values pays for one round trip instead of a dozen.
//
// They answer as the single commands do (messages, conversions, slot rules,
// the reset rule) and are all or nothing: every word is checked before the
// first request is made, and a command that fails returns no values.
#include "tessaly_internal.h"

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

// A put the library refuses resets the context, and the puts the batch had
// queued before it may still go out as the context closes.  A channel whose
// put would be refused (not connected, or without write access) is
// therefore asked first: when the library refuses it, nothing else of the
// batch has been sent.  (Gets change nothing on the server and need no such
// care.)  Returns the index of the batch's n-th request in that order.
int firstDoubtful(int count) {
    for (int i = 0; i < count; ++i) {
        chid channel = EPICS_ChanIdStore[batchSlots[i]];
        if (ca_state(channel) != cs_conn || ca_write_access(channel) == 0) return i;
    }
    return -1;
}

int requestOrder(int n, int doubtful) {
    if (doubtful < 0) return n;
    if (n == 0) return doubtful;
    return n <= doubtful ? n - 1 : n;
}

int waitForAll(const char* command) {
    int status = ca_pend_io(kWaitSeconds);
    trace("%s: ca_pend_io returned with rc=0x%x\n", command, static_cast<unsigned>(status));
    return status;
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
        if (slotted) EPICS_ChanIdInUse[batchSlots[i]] = 0;
    }
    afterClearing();
}

int EPICS_CreateChannelsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    constexpr const char* command = "EPICS_CreateChannels";
    if (argc < 2) return wrongWords(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    const char* const* names = argv + 1;
    int count = argc - 1;

    int freeSlots = 0;
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] == 0) ++freeSlots;
    if (count > freeSlots) return fail(interp, "No spare slots in %s", command);
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
    for (int i = 0, slot = 0; i < count; ++i, ++slot) {
        while (EPICS_ChanIdInUse[slot] != 0) ++slot;
        batchSlots[i] = static_cast<uint32_t>(slot);
        EPICS_ChanIdStore[slot] = batchChannels[i];
        EPICS_ChanIdInUse[slot] = 1;
    }

    int status = waitForAll(command);
    if (status != ECA_NORMAL) {
        // Name the channels that did not connect, as many as the message holds.
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

int EPICS_ClearChannelsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    constexpr const char* command = "EPICS_ClearChannels";
    if (argc < 2) return wrongWords(interp, command);
    if (argc - 1 > kMaxBatch) return tooMany(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    int count = argc - 1;
    if (readSlots(interp, command, argv + 1, count, 1, true) != TCL_OK) return TCL_ERROR;
    beforeClearing();
    for (int i = 0; i < count; ++i) {
        trace("%s: ca_clear_channel on slot %u\n", command, batchSlots[i]);
        clearChannel(EPICS_ChanIdStore[batchSlots[i]]);
        EPICS_ChanIdInUse[batchSlots[i]] = 0;
    }
    afterClearing();
    Tcl_SetObjResult(interp, Tcl_NewStringObj("0", -1));
    return TCL_OK;
}

int getValues(Tcl_Interp* interp, const char* command, ValueKind kind, int argc, const char* argv[]) {
    if (argc < 2) return wrongWords(interp, command);
    if (argc - 1 > kMaxBatch) return tooMany(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    int count = argc - 1;
    if (readSlots(interp, command, argv + 1, count, 1, false) != TCL_OK) return TCL_ERROR;

    for (int i = 0; i < count; ++i) {
        uint32_t slot = batchSlots[i];
        int status = ca_array_get(requestType(kind), 1, EPICS_ChanIdStore[slot], receiveBuffer(slot, kind));
        trace("%s: ca_get on slot %u returned with rc=0x%x\n", command, slot, static_cast<unsigned>(status));
        if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_get", command, status);
    }
    int status = waitForAll(command);
    if (status != ECA_NORMAL)
        return fail(interp, "ca_pend_io in %s failed %s", command, ca_message(status));

    Tcl_Obj* values = Tcl_NewListObj(0, nullptr);
    char text[kValueTextSize];
    for (int i = 0; i < count; ++i) {
        std::size_t length = formatReceived(batchSlots[i], kind, text);
        Tcl_Obj* value = kind == ValueKind::String ? Tcl_NewStringObj(forTcl(text), -1)
                                                   : Tcl_NewStringObj(text, static_cast<int>(length));
        Tcl_ListObjAppendElement(nullptr, values, value);
    }
    Tcl_SetObjResult(interp, values);
    return TCL_OK;
}

int putValues(Tcl_Interp* interp, const char* command, ValueKind kind, int argc, const char* argv[]) {
    if (argc < 3 || (argc - 1) % 2 != 0) return wrongWords(interp, command);
    if ((argc - 1) / 2 > kMaxBatch) return tooMany(interp, command);
    if (needContext(interp, command) != TCL_OK) return TCL_ERROR;
    int count = (argc - 1) / 2;
    const char* const* values = argv + 2;

    // Values first, as the single puts parse them before the slot test.
    for (int i = 0; i < count; ++i) batchValues[i] = toPutValue(kind, values[2 * i]);
    if (readSlots(interp, command, argv + 1, count, 2, false) != TCL_OK) return TCL_ERROR;
    for (int i = 0; i < count; ++i)
        if (!batchValues[i].fits())
            return fail(interp, "Value longer than %d bytes in %s", MAX_STRING_SIZE - 1, command);

    int doubtful = firstDoubtful(count);
    for (int n = 0; n < count; ++n) {
        int i = requestOrder(n, doubtful);
        // ca_array_put copies the value into its send buffer before returning.
        int status = ca_array_put(requestType(kind), 1, EPICS_ChanIdStore[batchSlots[i]], batchValues[i].data());
        trace("%s: ca_put on slot %u with arg 0x%x returned with rc=0x%x\n", command, batchSlots[i],
              batchValues[i].traced(), static_cast<unsigned>(status));
        if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_put", command, status);
    }
    int status = waitForAll(command);
    if (status != ECA_NORMAL)
        return fail(interp, "ca_pend_io in %s failed %s", command, ca_message(status));
    Tcl_SetObjResult(interp, Tcl_NewStringObj("0", -1));
    return TCL_OK;
}

int EPICS_GetIntsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValues(interp, "EPICS_GetInts", ValueKind::Int, argc, argv);
}
int EPICS_GetFloatsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValues(interp, "EPICS_GetFloats", ValueKind::Float, argc, argv);
}
int EPICS_GetStringsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValues(interp, "EPICS_GetStrings", ValueKind::String, argc, argv);
}
int EPICS_PutIntsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValues(interp, "EPICS_PutInts", ValueKind::Int, argc, argv);
}
int EPICS_PutFloatsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValues(interp, "EPICS_PutFloats", ValueKind::Float, argc, argv);
}
int EPICS_PutStringsCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValues(interp, "EPICS_PutStrings", ValueKind::String, argc, argv);
}

}  // namespace

const CommandEntry kBatchCommands[] = {
    {"EPICS_CreateChannels", EPICS_CreateChannelsCmd},
    {"EPICS_ClearChannels", EPICS_ClearChannelsCmd},
    {"EPICS_GetInts", EPICS_GetIntsCmd},
    {"EPICS_GetFloats", EPICS_GetFloatsCmd},
    {"EPICS_GetStrings", EPICS_GetStringsCmd},
    {"EPICS_PutInts", EPICS_PutIntsCmd},
    {"EPICS_PutFloats", EPICS_PutFloatsCmd},
    {"EPICS_PutStrings", EPICS_PutStringsCmd},
};
const std::size_t kBatchCommandCount = sizeof kBatchCommands / sizeof kBatchCommands[0];

}  // namespace tessaly
