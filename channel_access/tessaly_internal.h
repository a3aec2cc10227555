// What the pieces of Tessaly share: the exported state, the per-slot receive
// buffers, the value conversions and replies of the single commands, and the
// error, trace and reset helpers, so that the batch commands answer exactly
// as the single ones do.
#pragma once

#include <cadef.h>
#include <tcl.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#define TESSALY_EXPORT __attribute__((visibility("default")))

constexpr int kSlotCount = 1024;
constexpr int kResponseSize = 1024;

// Shared state, exported as data for programs that embed the extension.
extern "C" {
TESSALY_EXPORT extern int32_t EPICS_Handle;
TESSALY_EXPORT extern int32_t EPICSVerbose;
TESSALY_EXPORT extern char EPICS_response[kResponseSize];
TESSALY_EXPORT extern chid EPICS_ChanIdStore[kSlotCount];
TESSALY_EXPORT extern int32_t EPICS_ChanIdInUse[kSlotCount];

TESSALY_EXPORT int SetUpEPICS();
TESSALY_EXPORT int CloseDownEPICS();
TESSALY_EXPORT int Tessaly_Init(Tcl_Interp* interp);
}

namespace tessaly {

constexpr double kWaitSeconds = 5.0;
constexpr int kPriority = 10;

enum class ValueKind { Int, Float, String };

// The request type of each kind of value.
chtype requestType(ValueKind kind);

// Where a get on a slot receives its value (see tessaly.cpp for why these
// buffers belong to the slots and outlive the command).
void* receiveBuffer(uint32_t slot, ValueKind kind);

// The value a get received on a slot, as the single get replies it: "%d" of
// the unsigned 16 bits, "%f" of the float, the text up to its NUL.  Writes
// the text and its NUL into `out`, which holds kValueTextSize bytes at
// least; returns the text's length.
constexpr std::size_t kValueTextSize = 64;
std::size_t formatReceived(uint32_t slot, ValueKind kind, char* out);

// A put's value, converted from its argument: an integer by strtol in base 0
// keeping the low 16 bits, a float by strtod to the nearest single, a string
// as its text itself.  Converting never fails.
struct PutValue {
    ValueKind kind;
    uint16_t shortValue;
    float floatValue;
    const char* text;

    const void* data() const;   // what ca_array_put sends (copied by the call)
    unsigned traced() const;    // the trace's number: the value, a float's bits, a string's length
    bool fits() const;          // false for a string of MAX_STRING_SIZE bytes or more
};
PutValue toPutValue(ValueKind kind, const char* text);

// A slot argument: strtol in base 0 as a 32-bit number taken as unsigned.
uint32_t parseSlot(const char* text);
bool slotValid(uint32_t slot);

uint32_t floatBits(float value);

// The text to hand Tcl for a reply, message or value made of the bytes a
// server sent: the same characters under Tcl 8 and Tcl 9 (see tessaly.cpp).
// The Tcl 9 build converts into a buffer of its own, valid until the next call.
char* forTcl(char* text);

// Trace lines, written while EPICSVerbose is non-zero.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fails the command: the message, formatted into EPICS_response, goes to
// errorCode as its only element; the result stays as it was.  TCL_ERROR.
int fail(Tcl_Interp* interp, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Makes sure a context exists (SetUpEPICS); without one, fails with
// "No Channel Access context in COMMAND".  TCL_OK when the command may go on.
int needContext(Tcl_Interp* interp, const char* command);

// The reset rule: a request the library refused fails the command with
// "CALL in COMMAND failed TEXT", announces the reset and destroys the context.
int resetAfterRefusal(Tcl_Interp* interp, std::string_view call, const char* command, int status);

// Circuits closed by clears (circuits.cpp). A command that clears channels
// calls beforeClearing, then clearChannel (ca_clear_channel, noting the
// channel's server) for each, then afterClearing once their slots are free;
// a create calls settleCircuits before its first request. forgetCircuits
// after a reset.
void beforeClearing();
void clearChannel(chid channel);
void afterClearing();
void settleCircuits();
void forgetCircuits();

struct CommandEntry {
    const char* name;
    Tcl_CmdProc* proc;
};

// The batch commands (batch.cpp), registered after the single ones.
extern const CommandEntry kBatchCommands[];
extern const std::size_t kBatchCommandCount;

}  // namespace tessaly
