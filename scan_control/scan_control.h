// Internal interfaces between the pieces of the scan-control extension.
#pragma once

#include <cstddef>
#include <string_view>

#include "vantorq.h"

// Operations return 0 for success and -1 for failure; a command that its
// caller's check under the control lock held back returns kNotAdmitted.
constexpr int kOk = 0;
constexpr int kFail = -1;
constexpr int kNotAdmitted = -2;

constexpr std::size_t kCommandBufferSize = 1024;
constexpr std::size_t kMessageSize = 1024;

// ---- shared block and synchronisation objects (shared_block.cpp) ----
extern Statics *g_statics;              // null until attached
extern void *g_queue;
extern SyncObject g_sync[SYNC_COUNT];
extern char g_message[kMessageSize];    // composed messages; never cleared

void AttachSharedMemory();              // returns only when attached
void ReportSystemError();               // prints "Error %d - %s\n" and a newline
[[noreturn]] void FatalExit();

// While set, ReportSystemError composes its line into g_message without
// printing it and counts it in g_quietedReports (the script layer's own
// commands print nothing; LaserControl never sets it).
extern bool g_quietReports;
extern unsigned long g_quietedReports;

// Commands handed to the driver since the process started: posted, and
// refused by "/Cmnd_Sem" (the previous one not yet taken); the code of the
// last one posted.
extern unsigned long g_wakesPosted;
extern unsigned long g_wakesRefused;
extern int32_t g_lastWake;

// Waits, releases and signals that report a failure and go on.
void WaitOrReport(SyncIndex which);
void ReleaseOrReport(SyncIndex which);

// Hands a command to the driver: writes DriverCommand, releases "/Cmnd_Sem".
void WakeDriver(DriverCommandCode command);

// ---- command interpreter (interpreter.cpp) ----
int ProcessCommand(char *buffer);       // buffer: kCommandBufferSize bytes
// ProcessCommand, with `admit` called under the control lock before the
// keyword runs: when it returns false nothing runs, the buffer is left as it
// was and the result is kNotAdmitted.
int ProcessCommandIf(char *buffer, bool (*admit)());
// The control lock as every command takes it: a wait of at most 10 seconds,
// after which one count is given back and the caller goes on without it.
void LockControl();
void UnlockControl();
double DacToMilliVolts(unsigned short dac);
void UpdateRampEnd();

// ---- run control (run_control.cpp) ----
int LookupName(const NamedValue *table, std::string_view name);   // -1: none
int PostRunRequest(int32_t request);
int ApplyRunRequest();
int RunRequestCommand(std::string_view name);
int RunStateCommand(std::string_view name);

// ---- the driver's command slot, for the script layer (command_slot.cpp) ----
// "/Cmnd_Sem" counts 1 from the post of a command until the driver takes it;
// DriverCommand holds the code of the last command posted.  Each function
// runs under the control lock, and attaches first where needed.
struct SlotLook {
    int32_t count;     // 1: a command waits for the driver; 0: the slot is free
    int32_t command;   // DriverCommand
};
enum class SlotOutcome { Done, Failed, Busy, Refused };
SlotLook LookAtSlot();
// Runs the command text as ProcessCommand does, but only when the slot is
// free, and prints nothing.  `posted` is the code of the command it handed
// to the driver, or DRIVER_DROPPED when it handed none; `seen` is the slot
// as found.  Busy: the slot held a command, nothing ran.  Refused: the
// command ran but "/Cmnd_Sem" refused its post (a client that went on
// without the control lock posted meanwhile).
SlotOutcome PostWhenSlotFree(char *buffer, int32_t &posted, SlotLook &seen);
// Takes the command back when the slot still holds `command`: true when it
// was taken back (no driver will see it), false when the driver has taken
// it or the slot holds another.
bool WithdrawCommand(int32_t command);

// ---- board stop (board_stop.cpp) ----
int StopBoard();
void ReportBoardError(int code);
