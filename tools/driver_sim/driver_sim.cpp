// driver_sim: a Linux stand-in for the data-acquisition driver process.
//
// It serves the driver's side of the scan control block: it creates or opens
// the two shared segments and the five named synchronisation objects, then
// waits on "/Cmnd_Sem" and acts on each DriverCommand.  While the run state is
// "going" it steps through the channels of a scan, one channel per dwell time,
// and at the end of each scan it honours a pending stop or pause request.
// Everything it knows comes from the block itself; it has no other state that
// a client could not see.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "instance_lock.h"
#include "vantorq.h"

namespace {

enum ExitCode { kExitOk = 0, kExitSetupFailed = 1, kExitUsage = 2, kExitNamespaceServed = 3 };

using Clock = std::chrono::steady_clock;

// The longest wait on "/Cmnd_Sem", so that steps and signals are handled
// promptly, and the most steps made in one go after falling behind.
constexpr uint32_t kPollMs = 20;
constexpr int kMaxCatchUpSteps = 100000;

// How long the start waits for the control lock, as a client does.
constexpr uint32_t kControlLockWaitMs = 10000;

struct Options {
    int32_t board = 0;
    double timeScale = 1.0;
    bool quiet = false;
    bool remove = false;
    bool removeOnly = false;
};

volatile std::sig_atomic_t g_stopRequested = 0;
Options g_options;
SharedMemory g_staticsMemory;
SharedMemory g_queueMemory;
volatile Statics *g_block = nullptr;
SyncObject g_sync[SYNC_COUNT];

// The stepping clock: whether the last look found the run going, and when the
// next channel step is due.
bool g_wasGoing = false;
Clock::time_point g_nextStep;

constexpr const char kUsage[] =
    "usage: driver_sim [options]\n"
    "Plays the data-acquisition driver's side of the scan control block: the\n"
    "shared memory SHM_Statics and SHM_Queue and the semaphores /Run_Sem,\n"
    "/Data_Sem, /Cmnd_Sem, /Ctrl_Sem and /State_Sem, all named within the\n"
    "namespace given by the environment variable VANTORQ_NAMESPACE.\n"
    "\n"
    "  -b, --board N        board number written to BoardNum (default 0)\n"
    "  -s, --time-scale F   each channel dwells DwellTime microseconds times F\n"
    "                       (default 1; 1000 makes microseconds milliseconds\n"
    "                       for a demo, fractions run faster)\n"
    "  -q, --quiet          no line per command (the ready line and errors stay)\n"
    "      --remove         remove the segments and semaphores on exit\n"
    "      --remove-only    remove them and exit at once\n"
    "  -h, --help           this text\n"
    "\n"
    "Units: DwellTime and SettleTime in the block are microseconds; a scan of\n"
    "NumChans channels lasts NumChans dwell times (the settle time is copied\n"
    "to ActiveSettleTime but not simulated).  Dac and DacStep are DAC counts.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the shared objects cannot\n"
    "be set up, 2 on a bad option, 3 when another driver_sim serves the\n"
    "namespace (nothing is changed or removed then).\n";

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line on standard output, flushed, unless quiet.
void Say(const char *format, ...)
{
    if (g_options.quiet)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::printf("driver_sim: %s\n", line);
    std::fflush(stdout);
}

// Reports a failed system operation on standard error with the system's text.
void ReportFailure(const char *operation, const char *name)
{
    char text[256];
    int code = LastSystemErrorText(text, sizeof text);
    std::fprintf(stderr, "driver_sim: %s %s failed: %s (error %d)\n", operation, name, text, code);
}

extern "C" void OnStopSignal(int) { g_stopRequested = 1; }

// ---- options ----------------------------------------------------------------

bool ParseInt(const char *text, int32_t &out)
{
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX)
        return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool ParseScale(const char *text, double &out)
{
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value > 0.0) || value > 1e6)
        return false;
    out = value;
    return true;
}

[[noreturn]] void UsageError(const char *what, const char *operand)
{
    std::fprintf(stderr, "driver_sim: %s%s\n\n%s", what, operand, kUsage);
    std::exit(kExitUsage);
}

void ParseOptions(int argc, char **argv)
{
    enum { kOptRemove = 1000, kOptRemoveOnly };
    static const option kLongOptions[] = {
        {"board", required_argument, nullptr, 'b'},
        {"time-scale", required_argument, nullptr, 's'},
        {"quiet", no_argument, nullptr, 'q'},
        {"remove", no_argument, nullptr, kOptRemove},
        {"remove-only", no_argument, nullptr, kOptRemoveOnly},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":b:s:qh", kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'b':
            if (!ParseInt(optarg, g_options.board))
                UsageError("the board number is not an integer: ", optarg);
            break;
        case 's':
            if (!ParseScale(optarg, g_options.timeScale))
                UsageError("the time scale is not a number above 0 and up to 1e6: ", optarg);
            break;
        case 'q': g_options.quiet = true; break;
        case kOptRemove: g_options.remove = true; break;
        case kOptRemoveOnly: g_options.removeOnly = true; break;
        case 'h':
            std::fputs(kUsage, stdout);
            std::exit(kExitOk);
        case ':':
            UsageError("an option needs a value: ", argv[optind - 1]);
        default:
            UsageError("unknown option: ", argv[optind - 1]);
        }
    }
    if (optind < argc)
        UsageError("unexpected argument: ", argv[optind]);
}

// ---- setup ------------------------------------------------------------------

bool MapSegment(SharedMemory &mem, const char *name, std::size_t bytes, void *&view)
{
    if (!CreateNamedMemory(mem, name, bytes)) {
        ReportFailure("creating shared memory", name);
        return false;
    }
    view = MapNamedMemory(mem);
    if (view == nullptr) {
        ReportFailure("mapping shared memory", name);
        return false;
    }
    return true;
}

// One simulator per namespace, claimed before anything of the block is
// written: a second one would reset BoardNum under the first and, with
// --remove, delete the names the first still serves.
int ClaimOrRefuse()
{
    long holder = 0;
    switch (ClaimNamespace(g_staticsMemory, holder)) {
    case Claim::Claimed: return kExitOk;
    case Claim::HeldByOther: {
        char pid[32] = "";
        if (holder > 0)
            std::snprintf(pid, sizeof pid, " (pid %ld)", holder);
        std::fprintf(stderr,
                     "driver_sim: another driver_sim%s already serves the namespace \"%s\" "
                     "(VANTORQ_NAMESPACE): not starting, and nothing of its block is changed or removed.  "
                     "Stop that one first, or start this one in a namespace of its own.\n",
                     pid, ObjectNamespace());
        return kExitNamespaceServed;
    }
    case Claim::Failed: break;
    }
    ReportFailure("claiming the namespace through the lock of", kStaticsName);
    return kExitSetupFailed;
}

// Returns kExitOk when the block and its objects are set up, else the exit code.
int SetUp()
{
    void *statics = nullptr;
    void *queue = nullptr;
    if (!MapSegment(g_staticsMemory, kStaticsName, kStaticsSize + 1, statics))
        return kExitSetupFailed;
    if (int refused = ClaimOrRefuse(); refused != kExitOk)
        return refused;
    if (!MapSegment(g_queueMemory, kQueueName, kQueueSize + 1, queue))
        return kExitSetupFailed;
    g_block = static_cast<Statics *>(statics);
    for (int i = 0; i < SYNC_COUNT; ++i) {
        const SyncSpec &spec = kSyncObjects[i];
        if (!CreateSync(g_sync[i], spec.name, spec.kind, spec.initial, spec.maximum)) {
            ReportFailure("creating semaphore", spec.name);
            return kExitSetupFailed;
        }
    }
    g_block->BoardNum = g_options.board;
    g_block->SyncReady = 1;
    return kExitOk;
}

// ---- a command older than this driver -----------------------------------------

// A command posted before this driver started was meant for a driver that
// was not there: the client that posted it has given up on it (the script
// layer takes back its own after vantorq::driverTimeout) or is gone, and the
// block may have moved on since.  It is dropped, not carried out.  The drop
// is made under the control lock, which every client holds while it posts,
// looks at the slot or takes a command back, and DriverCommand is then set
// to DRIVER_DROPPED, so that a client still waiting for its command to be
// taken learns that it was dropped.  A control lock not free within 10 s (a
// client died holding it) is not waited for longer: the drop goes on without.
void DropStaleCommand()
{
    bool locked = false;
    for (uint32_t waited = 0; waited < kControlLockWaitMs && !g_stopRequested; waited += kPollMs) {
        WaitStatus status = WaitSync(g_sync[SYNC_CTRL], kPollMs);
        if (status == WaitStatus::Taken) {
            locked = true;
            break;
        }
        if (status == WaitStatus::Failed) {
            ReportFailure("waiting on", kSyncObjects[SYNC_CTRL].name);
            break;
        }
    }
    if (!locked)
        std::fprintf(stderr, "driver_sim: the control lock %s is not free: looking for an older command without it\n",
                     kSyncObjects[SYNC_CTRL].name);
    if (WaitSync(g_sync[SYNC_CMND], 0) == WaitStatus::Taken) {
        int32_t command = g_block->DriverCommand;
        g_block->DriverCommand = DRIVER_DROPPED;
        Say("dropped %s (%d), posted before this driver started", NameOf(kDriverCommands, command, "unknown command"),
            command);
    }
    if (locked && !ReleaseSync(g_sync[SYNC_CTRL]))
        ReportFailure("releasing", kSyncObjects[SYNC_CTRL].name);
}

// ---- the state lock ---------------------------------------------------------

// Takes "/State_Sem", waiting in short slices so that a stop signal is still
// noticed if a client died holding it.  False when it was not taken.
bool LockState()
{
    for (;;) {
        WaitStatus status = WaitSync(g_sync[SYNC_STATE], kPollMs);
        if (status == WaitStatus::Taken)
            return true;
        if (status == WaitStatus::Failed) {
            ReportFailure("waiting on", kSyncObjects[SYNC_STATE].name);
            return false;
        }
        if (g_stopRequested)
            return false;
    }
}

void UnlockState()
{
    if (!ReleaseSync(g_sync[SYNC_STATE]))
        ReportFailure("releasing", kSyncObjects[SYNC_STATE].name);
}

// ---- stepping ---------------------------------------------------------------

bool SettingsUsable() { return g_block->ActiveNumChans > 0 && g_block->ActiveDwellTime > 0; }

Clock::duration DwellPeriod()
{
    double us = static_cast<double>(g_block->ActiveDwellTime) * g_options.timeScale;
    return std::chrono::microseconds(us < 1.0 ? 1 : static_cast<int64_t>(us));
}

// Ends a scan: counts it, returns to channel 0, signals "/Data_Sem" and
// honours a pending stop or pause at the end of the scan.
void EndScan()
{
    g_block->Scans = g_block->Scans + 1;
    g_block->Channel = 0;
    g_block->Dac = 0;
    // An auto-reset event already signalled stays signalled: not an error.
    if (!ReleaseSync(g_sync[SYNC_DATA]) && LastSystemError() != EOVERFLOW)
        ReportFailure("signalling", kSyncObjects[SYNC_DATA].name);

    int32_t request = g_block->RunRequest;
    if (request != RUN_STOP_AT_END && request != RUN_PAUSE_AT_END)
        return;
    if (!LockState())
        return;
    request = g_block->RunRequest;  // may have changed before the lock
    if (request == RUN_STOP_AT_END || request == RUN_PAUSE_AT_END) {
        g_block->RunState = request == RUN_STOP_AT_END ? RUN_HALTED : RUN_PAUSED;
        g_block->RunRequest = RUN_NO_REQUEST;
    }
    UnlockState();
    if (request == RUN_STOP_AT_END)
        Say("STOP_AT_END honoured after scan %d: halted", g_block->Scans);
    else if (request == RUN_PAUSE_AT_END)
        Say("PAUSE_AT_END honoured after scan %d: paused", g_block->Scans);
}

// One dwell time has passed on the current channel: record its data point
// and move the DAC to the next channel, or end the scan after the last one.
void StepChannel()
{
    g_block->QueueCount3 = g_block->QueueCount3 + 1;
    int32_t next = g_block->Channel + 1;
    if (next >= g_block->ActiveNumChans) {
        EndScan();
        return;
    }
    g_block->Channel = next;
    g_block->Dac = static_cast<uint16_t>(g_block->ActiveDacStep * next);
}

// Makes every step that is due.  Coming into the going state (a resume, a
// forced state) starts a fresh dwell on the current channel.
void StepWhileGoing()
{
    if (g_block->RunState != RUN_GOING || !SettingsUsable()) {
        g_wasGoing = false;
        return;
    }
    Clock::time_point now = Clock::now();
    if (!g_wasGoing) {
        g_wasGoing = true;
        g_nextStep = now + DwellPeriod();
        return;
    }
    int budget = kMaxCatchUpSteps;
    while (now >= g_nextStep && g_block->RunState == RUN_GOING && budget-- > 0) {
        StepChannel();
        g_nextStep += DwellPeriod();
    }
    if (budget < 0)
        g_nextStep = now + DwellPeriod();  // too far behind: start afresh
}

// How long to wait for a command before the next step is due.
uint32_t WaitTimeMs()
{
    if (!g_wasGoing)
        return kPollMs;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(g_nextStep - Clock::now()).count();
    if (left <= 0)
        return 0;
    int64_t ms = (left + 999) / 1000;
    return ms < kPollMs ? static_cast<uint32_t>(ms) : kPollMs;
}

// ---- commands ---------------------------------------------------------------

void Start()
{
    volatile Statics &b = *g_block;
    b.ActiveNumChans = b.NumChans;
    b.ActiveDwellTime = b.DwellTime;
    b.ActiveSettleTime = b.SettleTime;
    b.ActiveDacStep = b.DacStep;
    b.ActiveRampEndDac = b.RampEndDac;
    b.ActiveRampEndMilliVolts = b.RampEndMilliVolts;
    b.Channel = 0;
    b.Dac = 0;
    b.Scans = 0;
    g_wasGoing = false;  // the first dwell starts now
    Say("START %d channels, dwell %d us, settle %d us, step %u", b.ActiveNumChans, b.ActiveDwellTime,
        b.ActiveSettleTime, static_cast<unsigned>(b.ActiveDacStep));
    if (!SettingsUsable())
        std::fprintf(stderr, "driver_sim: START with %d channels and dwell %d us: nothing to step\n",
                     b.ActiveNumChans, b.ActiveDwellTime);
}

// The client normally writes the halted state itself; a bare command halts
// too.  The command is checked again under the lock, so that a start posted
// meanwhile is not undone.
void Stop()
{
    if (LockState()) {
        if (g_block->DriverCommand == DRIVER_STOP && g_block->RunState != RUN_HALTED)
            g_block->RunState = RUN_HALTED;
        UnlockState();
    }
    Say("STOP at channel %d of scan %d", g_block->Channel, g_block->Scans + 1);
}

void ActOnCommand(int32_t command)
{
    switch (command) {
    case DRIVER_START: Start(); break;
    case DRIVER_RESUME:
        g_wasGoing = false;
        Say("RESUME at channel %d of scan %d", g_block->Channel, g_block->Scans + 1);
        break;
    case DRIVER_STOP: Stop(); break;
    case DRIVER_SET_DAC:
        Say("SET_DAC %u (offset binary 0x%04x)", static_cast<unsigned>(g_block->Dac),
            static_cast<unsigned>((g_block->Dac + 0x8000u) & 0xFFFFu));
        break;
    case DRIVER_WAKE_UP:
        Say("WAKE_UP run state %d, request %d", g_block->RunState, g_block->RunRequest);
        break;
    default: std::fprintf(stderr, "driver_sim: unknown driver command %d ignored\n", command); break;
    }
}

// RESET_QUEUE sets QueueReset without waking the driver.
void ResetQueueIfAsked()
{
    if (g_block->QueueReset == 0)
        return;
    g_block->QueueCount1 = 0;
    g_block->QueueCount2 = 0;
    g_block->QueueCount3 = 0;
    g_block->QueueLength = 0;
    g_block->QueueReset = 0;
    Say("queue reset");
}

int Serve()
{
    while (!g_stopRequested) {
        WaitStatus status = WaitSync(g_sync[SYNC_CMND], WaitTimeMs());
        if (status == WaitStatus::Failed) {
            ReportFailure("waiting on", kSyncObjects[SYNC_CMND].name);
            return kExitSetupFailed;
        }
        if (status == WaitStatus::Taken) {
            int32_t command = g_block->DriverCommand;
            ActOnCommand(command);
        }
        ResetQueueIfAsked();
        StepWhileGoing();
    }
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    ParseOptions(argc, argv);
    if (g_options.removeOnly) {
        RemoveBlockObjects();
        return kExitOk;
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int code = SetUp();
    if (code == kExitOk) {
        DropStaleCommand();
        std::printf("driver_sim ready\n");
        std::fflush(stdout);
        code = Serve();
    }
    // The names of a namespace another simulator serves are its own.
    if (g_options.remove && code != kExitNamespaceServed)
        RemoveBlockObjects();
    return code;
}
