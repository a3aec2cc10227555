// Tessaly: Tcl commands that read and write EPICS process variables through
// the Channel Access client library.
//
// Scripts name channels by slots 0..1023 of one table shared by every
// interpreter of the process. One Channel Access context (no preemptive
// callbacks) serves all of them; it is destroyed when the library refuses a
// get or put request, and the next command creates a fresh one with every
// slot free. Each command blocks for up to 5 s in ca_pend_io.
//
// The Tcl functions come from the interpreter that loads this object,
// through its stubs table: the object is not linked against a Tcl library.

#include "tessaly_internal.h"
#include "float_text.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" {
int32_t EPICS_Handle = -1;
int32_t EPICSVerbose = 0;
char EPICS_response[kResponseSize] = {};
chid EPICS_ChanIdStore[kSlotCount] = {};
int32_t EPICS_ChanIdInUse[kSlotCount] = {};
}

namespace tessaly {
namespace {

// Where gets receive their values.
//
// ca_array_get keeps the buffer address until the answer arrives. When
// ca_pend_io times out the library only stops counting that get: the answer
// may still arrive later and be copied into the buffer during any later
// ca_pend_io, so the buffer cannot live on the stack of the command.
// Each slot therefore owns its receive buffers, one per request type. Answers
// on one circuit arrive in request order, so a late answer for a slot always
// lands before the answer of the next get on that slot, which overwrites it
// before its own ca_pend_io returns; a late answer on another slot lands in
// that slot's buffers only. Clearing a channel or destroying the context
// cancels any copy still pending, so a slot reused for a new channel never
// receives an old answer.
struct SlotValues {
    uint16_t shortValue;
    float floatValue;
    char stringValue[MAX_STRING_SIZE];
};
SlotValues slotValues[kSlotCount];

constexpr chtype kRequestTypes[] = {DBR_SHORT, DBR_FLOAT, DBR_STRING};

// strtol in base 0 read as a 32-bit signed number, saturating at its limits.
int32_t parseInt32(const char* text) {
    long value = strtol(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

chtype requestType(ValueKind kind) { return kRequestTypes[static_cast<int>(kind)]; }

void* receiveBuffer(uint32_t slot, ValueKind kind) {
    SlotValues& values = slotValues[slot];
    switch (kind) {
    case ValueKind::Int: return &values.shortValue;
    case ValueKind::Float: return &values.floatValue;
    case ValueKind::String: return values.stringValue;
    }
    return nullptr;
}

static_assert(kValueTextSize >= kFloatTextSize && kValueTextSize > MAX_STRING_SIZE &&
              kResponseSize >= kValueTextSize, "a received value's text must fit its buffers");

std::size_t formatReceived(uint32_t slot, ValueKind kind, char* out) {
    const SlotValues& values = slotValues[slot];
    switch (kind) {
    case ValueKind::Int: {
        // "%d" of 0..65535.
        char digits[8];
        std::size_t n = 0;
        unsigned value = values.shortValue;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
        out[n] = '\0';
        return n;
    }
    case ValueKind::Float:
        return FormatFloatFixed(values.floatValue, out);
    case ValueKind::String: {
        std::size_t n = strnlen(values.stringValue, MAX_STRING_SIZE - 1);
        memcpy(out, values.stringValue, n);
        out[n] = '\0';
        return n;
    }
    }
    out[0] = '\0';
    return 0;
}

PutValue toPutValue(ValueKind kind, const char* text) {
    PutValue value{kind, 0, 0.0f, text};
    if (kind == ValueKind::Int)
        value.shortValue = static_cast<uint16_t>(static_cast<uint32_t>(parseInt32(text)) & 0xFFFFu);
    if (kind == ValueKind::Float) value.floatValue = static_cast<float>(strtod(text, nullptr));
    return value;
}

const void* PutValue::data() const {
    return kind == ValueKind::Int     ? static_cast<const void*>(&shortValue)
           : kind == ValueKind::Float ? static_cast<const void*>(&floatValue)
                                      : static_cast<const void*>(text);
}

unsigned PutValue::traced() const {
    return kind == ValueKind::Int     ? shortValue
           : kind == ValueKind::Float ? floatBits(floatValue)
                                      : static_cast<unsigned>(strlen(text));
}

// The limit counts bytes of the UTF-8 text, not characters.
bool PutValue::fits() const { return kind != ValueKind::String || strlen(text) < MAX_STRING_SIZE; }

// Negative numbers read as large unsigned ones, so they are never valid.
uint32_t parseSlot(const char* text) { return static_cast<uint32_t>(parseInt32(text)); }

bool slotValid(uint32_t slot) { return slot < kSlotCount && EPICS_ChanIdInUse[slot] != 0; }

uint32_t floatBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

void trace(const char* format, ...) {
    if (EPICSVerbose == 0) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// The text handed to Tcl for a reply or message formatted in EPICS_response.
//
// String values come from servers as bytes, not necessarily UTF-8 (Latin-1
// text, say).  Tcl 8 reads each byte that is not part of a UTF-8 sequence as
// the character of the same code, U+0080 to U+00FF; Tcl 9 reads the bytes
// 0x80 to 0x9F among them as cp1252 characters instead (0x80 as the euro
// sign).  So that scripts see the same characters under both, the Tcl 9 build
// hands those bytes over as the UTF-8 form of U+0080 to U+009F; the bytes are
// grouped into characters as Tcl 8 groups them.  EPICS_response keeps the
// bytes as they came.
#if TCL_MAJOR_VERSION >= 9
namespace {

char tclText[2 * kResponseSize];

bool isTrail(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes from text on that Tcl 8 reads as one character.
int characterLength(const unsigned char* text) {
    unsigned lead = text[0];
    if (lead >= 0xC0 && lead < 0xE0 && isTrail(text[1])) {
        unsigned value = ((lead & 0x1Fu) << 6) | (text[1] & 0x3Fu);
        if (value == 0 || value >= 0x80) return 2;  // C0 80 is Tcl's own NUL
    } else if (lead >= 0xE0 && lead < 0xF0 && isTrail(text[1]) && isTrail(text[2])) {
        unsigned value = ((lead & 0x0Fu) << 12) | ((text[1] & 0x3Fu) << 6) | (text[2] & 0x3Fu);
        if (value > 0x7FF) return 3;
    } else if (lead >= 0xF0 && lead < 0xF8 && isTrail(text[1]) && isTrail(text[2]) &&
               isTrail(text[3])) {
        unsigned value = ((lead & 0x07u) << 18) | ((text[1] & 0x3Fu) << 12) |
                         ((text[2] & 0x3Fu) << 6) | (text[3] & 0x3Fu);
        if (value >= 0x10000 && value <= 0x10FFFF) return 4;
    }
    return 1;
}

}  // namespace

char* forTcl(char* text) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    size_t out = 0;
    while (*in != 0) {
        int length = characterLength(in);
        if (out + static_cast<size_t>(length) + 2 > sizeof tclText) break;
        if (length == 1 && *in >= 0x80 && *in <= 0x9F) tclText[out++] = '\xC2';
        while (length-- > 0) tclText[out++] = static_cast<char>(*in++);
    }
    tclText[out] = '\0';
    return tclText;
}
#else
char* forTcl(char* text) { return text; }
#endif

int fail(Tcl_Interp* interp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(EPICS_response, sizeof EPICS_response, format, args);
    va_end(args);
    Tcl_SetErrorCode(interp, forTcl(EPICS_response), static_cast<char*>(nullptr));
    return TCL_ERROR;
}

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

namespace {

void traceLine(const char* line) {
    if (EPICSVerbose == 0) return;
    puts(line);
    fflush(stdout);
}

int reply(Tcl_Interp* interp, const char* format, ...) __attribute__((format(printf, 2, 3)));
int reply(Tcl_Interp* interp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(EPICS_response, sizeof EPICS_response, format, args);
    va_end(args);
    Tcl_SetResult(interp, forTcl(EPICS_response), TCL_VOLATILE);
    return TCL_OK;
}

// Waits for the outstanding request; traces around it. Returns the status.
int waitForIo(const char* command) {
    trace("%s calling ca_pend_io\n", command);
    int status = ca_pend_io(kWaitSeconds);
    trace("ca_pend_io returned with rc=0x%x\n", static_cast<unsigned>(status));
    return status;
}

// Common start of every channel and value command: word count, then context.
int checkWords(Tcl_Interp* interp, const char* command, int argc, int wanted) {
    if (argc != wanted) return fail(interp, "Invalid number of parameters in %s", command);
    return needContext(interp, command);
}

int getValue(Tcl_Interp* interp, const char* command, ValueKind kind, int argc,
             const char* argv[]) {
    if (checkWords(interp, command, argc, 2) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", command);

    trace("%s calling ca_get\n", command);
    int status = ca_array_get(requestType(kind), 1, EPICS_ChanIdStore[slot], receiveBuffer(slot, kind));
    trace("ca_get returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_get", command, status);

    status = waitForIo(command);
    if (status != ECA_NORMAL)
        return fail(interp, "ca_pend_io in %s failed %s", command, ca_message(status));

    // The number traced: the value, a float's bit pattern, a string's length.
    const SlotValues& values = slotValues[slot];
    unsigned traced = kind == ValueKind::Int     ? values.shortValue
                      : kind == ValueKind::Float ? floatBits(values.floatValue)
                                                 : static_cast<unsigned>(strnlen(values.stringValue, MAX_STRING_SIZE - 1));
    trace("%s returning 0x%x\n", command, traced);
    formatReceived(slot, kind, EPICS_response);
    Tcl_SetResult(interp, forTcl(EPICS_response), TCL_VOLATILE);
    return TCL_OK;
}

int putValue(Tcl_Interp* interp, const char* command, ValueKind kind, int argc,
             const char* argv[]) {
    if (checkWords(interp, command, argc, 3) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);

    // The value is parsed before the slot test; parsing never fails.
    PutValue value = toPutValue(kind, argv[2]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", command);

    // The library refuses longer strings, and a refusal resets every
    // channel: turn them away here instead.
    if (!value.fits())
        return fail(interp, "Value longer than %d bytes in %s", MAX_STRING_SIZE - 1, command);

    trace("%s calling ca_put with arg 0x%x\n", command, value.traced());
    int status = ca_array_put(requestType(kind), 1, EPICS_ChanIdStore[slot], value.data());
    trace("ca_put returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_put", command, status);

    status = waitForIo(command);
    if (status != ECA_NORMAL)
        return fail(interp, "ca_pend_io in %s failed %s", command, ca_message(status));
    trace("%s returning 0\n", command);
    return reply(interp, "%d", 0);
}

// Command procedures.

int EPICS_VerboseCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc >= 2) EPICSVerbose = atoi(argv[1]);
    return reply(interp, "%d", 0);
}

int EPICS_CreateChannelCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    constexpr const char* command = "EPICS_CreateChannel";
    if (checkWords(interp, command, argc, 2) != TCL_OK) return TCL_ERROR;
    settleCircuits();

    trace("EPICS_CreateChannel calling ca_create_channel with arg %s\n", argv[1]);
    chid channel = nullptr;
    int status = ca_create_channel(argv[1], nullptr, nullptr, kPriority, &channel);
    trace("ca_create_channel returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL)
        return fail(interp, "ca_context_create in EPICS_CreateChannel failed %s",
                    ca_message(status));

    int slot = 0;
    while (slot < kSlotCount && EPICS_ChanIdInUse[slot] != 0) ++slot;
    if (slot == kSlotCount) {
        ca_clear_channel(channel);
        return fail(interp, "No spare slots in EPICS_CreateChannel");
    }
    EPICS_ChanIdStore[slot] = channel;
    EPICS_ChanIdInUse[slot] = 1;

    traceLine("EPICS_CreateChannel calling ca_pend_io");
    status = ca_pend_io(kWaitSeconds);
    trace("ca_pend_io returned with rc=0x%x\n", static_cast<unsigned>(status));
    if (status != ECA_NORMAL) {
        fail(interp, "ca_pend_io in EPICS_CreateChannel failed %s", ca_message(status));
        ca_clear_channel(channel);
        EPICS_ChanIdInUse[slot] = 0;
        return TCL_ERROR;
    }
    return reply(interp, "%d", slot);
}

int EPICS_ClearChannelCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    constexpr const char* command = "EPICS_ClearChannel";
    if (checkWords(interp, command, argc, 2) != TCL_OK) return TCL_ERROR;
    uint32_t slot = parseSlot(argv[1]);
    if (!slotValid(slot)) return fail(interp, "Invalid ChanId in %s", command);
    beforeClearing();
    clearChannel(EPICS_ChanIdStore[slot]);
    EPICS_ChanIdInUse[slot] = 0;
    afterClearing();
    return reply(interp, "%d", 0);
}

int EPICS_PutIntCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValue(interp, "EPICS_PutInt", ValueKind::Int, argc, argv);
}
int EPICS_GetIntCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValue(interp, "EPICS_GetInt", ValueKind::Int, argc, argv);
}
int EPICS_PutFloatCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValue(interp, "EPICS_PutFloat", ValueKind::Float, argc, argv);
}
int EPICS_GetFloatCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValue(interp, "EPICS_GetFloat", ValueKind::Float, argc, argv);
}
int EPICS_PutStringCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return putValue(interp, "EPICS_PutString", ValueKind::String, argc, argv);
}
int EPICS_GetStringCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    return getValue(interp, "EPICS_GetString", ValueKind::String, argc, argv);
}

constexpr CommandEntry kCommands[] = {
    {"Tessaly_Verbose", EPICS_VerboseCmd},
    {"EPICS_CreateChannel", EPICS_CreateChannelCmd},
    {"EPICS_ClearChannel", EPICS_ClearChannelCmd},
    {"EPICS_PutInt", EPICS_PutIntCmd},
    {"EPICS_GetInt", EPICS_GetIntCmd},
    {"EPICS_PutFloat", EPICS_PutFloatCmd},
    {"EPICS_GetFloat", EPICS_GetFloatCmd},
    {"EPICS_PutString", EPICS_PutStringCmd},
    {"EPICS_GetString", EPICS_GetStringCmd},
};

}  // namespace
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
    for (int slot = 0; slot < kSlotCount; ++slot) EPICS_ChanIdInUse[slot] = 0;
    return 0;
}

int CloseDownEPICS() {
    if (EPICS_Handle == -1) return 0;
    // The library keeps a copy of each channel's name until the channel is
    // cleared, and destroying the context does not free them: clear every
    // channel still in use first, so that resets never leak.  The flags stay
    // as they are; the next context frees every slot.
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (EPICS_ChanIdInUse[slot] != 0) ca_clear_channel(EPICS_ChanIdStore[slot]);
    ca_context_destroy();
    forgetCircuits();
    EPICS_Handle = -1;
    return 0;
}

int Tessaly_Init(Tcl_Interp* interp) {
    // A build for Tcl 8 serves 8.4 and later 8.x, a build for Tcl 9 any 9.x;
    // a Tcl of another major version refuses the load with its own message.
#if TCL_MAJOR_VERSION >= 9
    constexpr const char* kTclWanted = "9.0";
#else
    constexpr const char* kTclWanted = "8.4";
#endif
    if (Tcl_InitStubs(interp, kTclWanted, 0) == nullptr) return TCL_ERROR;
    puts("Tessaly package " LABTCL_PACKAGE_VERSION);
    fflush(stdout);
    for (const CommandEntry& entry : kCommands)
        Tcl_CreateCommand(interp, entry.name, entry.proc, nullptr, nullptr);
    for (std::size_t i = 0; i < kBatchCommandCount; ++i)
        Tcl_CreateCommand(interp, kBatchCommands[i].name, kBatchCommands[i].proc, nullptr, nullptr);
    Tcl_PkgProvide(interp, "Tessaly", LABTCL_PACKAGE_VERSION);
    SetUpEPICS();
    return TCL_OK;
}
