// Internal interfaces between the pieces of the scan-control extension.
#pragma once

#include <cstddef>
#include <string_view>

#include "vantorq.h"

// Operations return 0 for success and -1 for failure.
constexpr int kOk = 0;
constexpr int kFail = -1;

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

// Waits, releases and signals that report a failure and go on.
void WaitOrReport(SyncIndex which);
void ReleaseOrReport(SyncIndex which);

// Hands a command to the driver: writes DriverCommand, releases "/Cmnd_Sem".
void WakeDriver(DriverCommandCode command);

// ---- command interpreter (interpreter.cpp) ----
int ProcessCommand(char *buffer);       // buffer: kCommandBufferSize bytes
double DacToMilliVolts(unsigned short dac);
void UpdateRampEnd();

// ---- run control (run_control.cpp) ----
int LookupName(const NamedValue *table, std::string_view name);   // -1: none
int PostRunRequest(int32_t request);
int ApplyRunRequest();
int RunRequestCommand(std::string_view name);
int RunStateCommand(std::string_view name);

// ---- board stop (board_stop.cpp) ----
int StopBoard();
void ReportBoardError(int code);
