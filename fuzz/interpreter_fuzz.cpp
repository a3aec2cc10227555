// Fuzz target: the scan-control command interpreter (ProcessCommand).
//
// An input is a run of command texts separated by NUL bytes (a NUL can never
// be part of a command), carried out one after the other on a fresh control
// block, each in a buffer of exactly kCommandBufferSize bytes as the Tcl
// binding hands it over.  A first byte below 0x04 is not a command: it picks
// board-library failures for the input (bit 0: cbToEngUnits fails, bit 1:
// cbStopIOBackground fails).
//
// After every command the target plays the driver (it takes what was posted
// to "/Cmnd_Sem") and checks what must hold whatever the text was:
//   - both locks ("/Ctrl_Sem", "/State_Sem") are back at 1, "/Run_Sem" and
//     "/Data_Sem" untouched, at most one driver command posted, with a known
//     code;
//   - the buffer holds a NUL within its size;
//   - a success replies with the empty text or a text starting with a space;
//   - a failure leaves the buffer exactly as it was when the keyword is
//     unknown (or the text empty or too long for the working copy), and empty
//     otherwise; it changes no field of the block but the run-request
//     bookkeeping;
//   - a read keyword changes nothing in the block;
//   - the run state and the pending request are always ones the tables know.
//
// The block lives in a namespace of the process's own, "fuzz<pid>_" (never a
// real setup's), attached once; its names are removed at exit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "scan_control.h"

#include "report.h"

namespace {

// The keyword table, written out again here rather than taken from the
// interpreter, so that a keyword lost from its table is noticed.
constexpr std::string_view kKeywords[] = {
    "READ_STATUS", "READ_DEBUG_STATUS", "READ_ACTIVE_SETTINGS", "READ_NEW_SETTINGS", "READ_DEBUG",
    "READ_NUM_CHANS", "READ_DAC_STEP", "READ_DAC", "READ_RAMP_DAC", "READ_ENABLE_SCALER",
    "READ_ENABLE_ADC", "READ_ENABLE_TDC", "READ_DWELL_TIME", "READ_SETTLE_TIME", "READ_RUN_REQUEST",
    "READ_RUN_STATE", "READ_QUEUE_LEN", "READ_CHANNEL", "READ_SCANS", "READ_ADC_METHOD",
    "DEBUG", "NUM_CHANS", "DAC_STEP", "SET_DAC", "RAMP_DAC", "ENABLE_SCALER", "ENABLE_ADC",
    "ENABLE_TDC", "DWELL_TIME", "SETTLE_TIME", "RUN_REQUEST", "RUN_STATE", "RESET_QUEUE", "CHANNEL",
    "STOP_DAQ_BOARD", "ADC_METHOD",
};

constexpr std::size_t kWorkingCopySize = 256;   // longer texts are refused whole
constexpr unsigned char kFiller = 0xA5;          // stale bytes behind the text

char *g_buffer;            // kCommandBufferSize bytes on the heap: guarded at both ends
char g_before[kCommandBufferSize];
Statics g_baseline;

// The bytes of a command, printable, for a failure message.
void PrintEscaped(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        if (*p >= 0x20 && *p < 0x7F && *p != '\\')
            std::fputc(*p, g_report);
        else
            std::fprintf(g_report, "\\x%02X", *p);
    }
}

void RemoveNames() { RemoveBlockObjects(); }

[[noreturn]] void Violation(const char *what)
{
    std::fprintf(g_report, "\n*** interpreter fuzz: %s\n*** command: \"", what);
    PrintEscaped(g_before);
    std::fprintf(g_report, "\"\n*** reply:   \"");
    if (std::memchr(g_buffer, '\0', kCommandBufferSize) != nullptr)
        PrintEscaped(g_buffer);
    std::fprintf(g_report, "\"\n");
    RemoveNames();
    std::abort();
}

// The first token as the interpreter splits the text: leading spaces
// skipped, up to the next space.
std::string_view FirstToken(const char *text)
{
    while (*text == ' ')
        ++text;
    std::size_t n = 0;
    while (text[n] != '\0' && text[n] != ' ')
        ++n;
    return {text, n};
}

enum class Keyword { Unknown, Read, Other };

Keyword Classify(std::string_view token)
{
    for (std::string_view k : kKeywords)
        if (token == k)
            return token.substr(0, 5) == "READ_" ? Keyword::Read : Keyword::Other;
    return Keyword::Unknown;
}

// The block with the run-request bookkeeping blanked, for comparisons.
Statics WithoutRequests(const Statics &s)
{
    Statics copy = s;
    copy.RunRequest = copy.SavedRequest = copy.ForcedState = 0;
    return copy;
}

bool SameBlock(const Statics &a, const Statics &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The driver's part: takes every count posted to "/Cmnd_Sem".  The count is
// looked at first: a wait on an empty semaphore costs a trip into the
// kernel even with no time to wait.
int TakePostedCommands()
{
    int taken = 0;
    while (PeekSyncCount(g_sync[SYNC_CMND]) > 0 && WaitSync(g_sync[SYNC_CMND], 0) == WaitStatus::Taken)
        ++taken;
    return taken;
}

void CheckSyncObjects()
{
    if (PeekSyncCount(g_sync[SYNC_CTRL]) != 1)
        Violation("the control lock \"/Ctrl_Sem\" is not back at 1");
    if (PeekSyncCount(g_sync[SYNC_STATE]) != 1)
        Violation("the state lock \"/State_Sem\" is not back at 1");
    if (PeekSyncCount(g_sync[SYNC_RUN]) != 0 || PeekSyncCount(g_sync[SYNC_DATA]) != 0)
        Violation("\"/Run_Sem\" or \"/Data_Sem\" was signalled");
    int posted = TakePostedCommands();
    if (posted > 1)
        Violation("more than one count posted to \"/Cmnd_Sem\" by one command");
    if (posted == 1 && (g_statics->DriverCommand < DRIVER_START || g_statics->DriverCommand > DRIVER_WAKE_UP))
        Violation("the driver was woken with an unknown command code");
}

void CheckRunFields()
{
    const Statics &s = *g_statics;
    if (s.RunState != RUN_HALTED && s.RunState != RUN_GOING && s.RunState != RUN_PAUSED)
        Violation("the run state is not one of the table");
    // Only the requests honoured at the end of a scan stay pending.
    if (s.RunRequest != RUN_NO_REQUEST && s.RunRequest != RUN_STOP_AT_END && s.RunRequest != RUN_PAUSE_AT_END)
        Violation("a run request other than STOP_AT_END or PAUSE_AT_END was left pending");
}

void RunOne(const uint8_t *text, std::size_t length)
{
    if (length > kCommandBufferSize - 1)
        length = kCommandBufferSize - 1;   // the binding refuses longer texts
    std::memset(g_buffer, kFiller, kCommandBufferSize);
    std::memcpy(g_buffer, text, length);
    g_buffer[length] = '\0';
    std::memcpy(g_before, g_buffer, kCommandBufferSize);
    const Statics blockBefore = *g_statics;

    int status = ProcessCommand(g_buffer);

    if (std::memchr(g_buffer, '\0', kCommandBufferSize) == nullptr)
        Violation("the buffer holds no NUL within its size");
    CheckSyncObjects();
    CheckRunFields();

    Keyword keyword = Classify(FirstToken(g_before));
    bool refusedWhole = keyword == Keyword::Unknown || length >= kWorkingCopySize;
    if (status == kOk) {
        if (refusedWhole)
            Violation("an unknown keyword or an over-long text succeeded");
        if (g_buffer[0] != '\0' && g_buffer[0] != ' ')
            Violation("a successful reply neither empty nor starting with a space");
        if (keyword == Keyword::Read && !SameBlock(blockBefore, *g_statics))
            Violation("a read keyword changed the block");
    } else if (status == kFail) {
        if (refusedWhole && std::memcmp(g_before, g_buffer, kCommandBufferSize) != 0)
            Violation("a refused text (unknown keyword, empty or over-long) changed the buffer");
        if (!refusedWhole && g_buffer[0] != '\0')
            Violation("a failed command left a reply");
        if (!SameBlock(WithoutRequests(blockBefore), WithoutRequests(*g_statics)))
            Violation("a failed command changed the block beyond the run-request bookkeeping");
    } else {
        Violation("ProcessCommand returned neither 0 nor -1");
    }
}

} // namespace

// Called by the sanitizers before a process they stopped ends; absent
// without them.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    OpenReportStream();
    char ns[64];
    std::snprintf(ns, sizeof ns, "fuzz%d_", static_cast<int>(getpid()));
    setenv("VANTORQ_NAMESPACE", ns, 1);
    unsetenv("BOARD_SIM_FAIL");
    RemoveBlockObjects();   // left by a process that had this pid and crashed
    AttachSharedMemory();
    std::atexit(RemoveNames);
    if (__sanitizer_set_death_callback != nullptr)
        __sanitizer_set_death_callback(RemoveNames);

    g_buffer = static_cast<char *>(std::malloc(kCommandBufferSize));
    if (g_buffer == nullptr)
        std::abort();

    // A block as a driver would serve it between runs: halted, with settings
    // that let a run start, so that every keyword stays reachable.
    Statics &b = g_baseline;
    std::memset(&b, 0, sizeof b);
    b.SyncReady = g_statics->SyncReady;
    b.NumChans = b.ActiveNumChans = 10;
    b.DacStep = b.ActiveDacStep = 100;
    b.RampEndDac = b.ActiveRampEndDac = 900;
    b.RampEndMilliVolts = b.ActiveRampEndMilliVolts = 274.658f;
    b.DwellTime = b.ActiveDwellTime = 200;
    b.SettleTime = b.ActiveSettleTime = 10;
    b.AdcMethod = 3;
    b.RunState = RUN_HALTED;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    *g_statics = g_baseline;
    TakePostedCommands();

    unsigned failures = 0;
    if (size > 0 && data[0] < 0x04) {
        failures = data[0];
        ++data;
        --size;
    }
    const char *fail = failures == 3 ? "cbToEngUnits,cbStopIOBackground"
                     : failures == 2 ? "cbStopIOBackground"
                     : failures == 1 ? "cbToEngUnits" : nullptr;
    if (fail != nullptr)
        setenv("BOARD_SIM_FAIL", fail, 1);
    else
        unsetenv("BOARD_SIM_FAIL");

    // Every piece between NULs is a command, the empty ones included.
    std::size_t start = 0;
    for (;;) {
        const void *nul = std::memchr(data + start, '\0', size - start);
        std::size_t stop = nul == nullptr ? size : static_cast<std::size_t>(static_cast<const uint8_t *>(nul) - data);
        RunOne(data + start, stop - start);
        if (stop == size)
            return 0;
        start = stop + 1;
    }
}
