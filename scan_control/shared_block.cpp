// Attaching to the driver's shared control block and its synchronisation
// objects, and the system error report.  The attach either succeeds or ends
// the hosting process with exit code 16: there is no degraded mode.
#include <cerrno>
#include <cstdio>

#include "scan_control.h"

Statics *g_statics = nullptr;
void *g_queue = nullptr;
SyncObject g_sync[SYNC_COUNT];
char g_message[kMessageSize];
bool g_quietReports = false;
unsigned long g_quietedReports = 0;
unsigned long g_wakesPosted = 0;
unsigned long g_wakesRefused = 0;
int32_t g_lastWake = DRIVER_DROPPED;

namespace {

constexpr int kFatalExitCode = 16;
constexpr const char *kDriverName = "USB-2527 Laser";

// Composes the message of a failed step (with the runtime's errno, as the
// driver's own messages do) after the system error line, and ends the process.
[[noreturn]] void SegmentFailure(const char *step)
{
    int code = errno;
    ReportSystemError();
    std::snprintf(g_message, sizeof g_message, "%s failed %d - This must be fixed - exiting.", step, code);
    FatalExit();
}

// Maps the segment "SHM_<short name>", asking the system for one byte more
// than the extension uses.
void *MapSharedSegment(std::size_t size, const char *shortName)
{
    char name[64];
    std::snprintf(name, sizeof name, "SHM_%s", shortName);
    SharedMemory mem;
    if (!CreateNamedMemory(mem, name, size + 1))
        SegmentFailure("CreateFileMapping");
    void *view = MapNamedMemory(mem);
    if (view == nullptr)
        SegmentFailure("MapViewOfFile");
    return view;
}

bool CreateSyncObjects(Statics *block)
{
    bool ok = true;
    for (int i = 0; i < SYNC_COUNT; ++i) {
        const SyncSpec &spec = kSyncObjects[i];
        if (!CreateSync(g_sync[i], spec.name, spec.kind, spec.initial, spec.maximum))
            ok = false;
    }
    block->SyncReady = ok ? 1 : 0;
    return ok;
}

// "/Run_Sem" is not required: the extension never uses it.
bool OpenSyncObjects(Statics *block)
{
    bool ok = true;
    for (int i = 0; i < SYNC_COUNT; ++i) {
        const SyncSpec &spec = kSyncObjects[i];
        if (!OpenSync(g_sync[i], spec.name, spec.kind, spec.maximum) && i != SYNC_RUN)
            ok = false;
    }
    block->SyncReady = ok ? 1 : 0;
    return ok;
}

} // namespace

void ReportSystemError()
{
    SystemErrorLine(g_message, sizeof g_message);
    if (g_quietReports) {
        ++g_quietedReports;
        return;
    }
    std::printf("%s\n", g_message);
    std::fflush(stdout);
}

void FatalExit()
{
    if (g_message[0] != '\0')
        std::printf("%s\n", g_message);
    // The reason first: a log that takes both outputs must not show the
    // termination line before it.
    std::fflush(stdout);
    std::snprintf(g_message, sizeof g_message, "%s Data Acquisition Driver will now terminate", kDriverName);
    std::fprintf(stderr, "%s\n", g_message);
    ExitProcessNow(kFatalExitCode);
}

void AttachSharedMemory()
{
    auto *block = static_cast<Statics *>(MapSharedSegment(kStaticsSize, "Statics"));
    void *queue = MapSharedSegment(kQueueSize, "Queue");

    bool ok = block->SyncReady == 0 ? CreateSyncObjects(block) : OpenSyncObjects(block);
    if (!ok) {
        ReportSystemError();
        std::snprintf(g_message, sizeof g_message,
                      "Could not access synchronisation variables - This must be fixed - exiting.");
        FatalExit();
    }
    g_queue = queue;
    g_statics = block;   // last: a non-null block means attached
}

void WaitOrReport(SyncIndex which)
{
    if (WaitSync(g_sync[which], kWaitForever) != WaitStatus::Taken)
        ReportSystemError();
}

void ReleaseOrReport(SyncIndex which)
{
    if (!ReleaseSync(g_sync[which]))
        ReportSystemError();
}

void WakeDriver(DriverCommandCode command)
{
    g_statics->DriverCommand = command;
    if (ReleaseSync(g_sync[SYNC_CMND])) {
        ++g_wakesPosted;
        g_lastWake = command;
        return;
    }
    ++g_wakesRefused;
    ReportSystemError();
}
