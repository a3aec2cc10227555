// vantorq-status: what an operator needs to see when a scan hangs.
//
// Prints the control block field by field, the counts of the five
// semaphores and the owner and mode of the two segments and the five
// semaphores, without taking any lock: it opens existing objects only, maps
// the block read-only, and reads counts without waiting on them.  So it
// works while a client or the driver is stuck holding a lock, and it never
// creates the block or an object.  `--release-state-lock` is the one action
// that changes anything, and only on a state lock that stays taken.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "vantorq.h"

namespace {

enum ExitCode : int {
    kExitShown = 0,
    kExitNoBlock = 1,
    kExitUsage = 2,
    kExitUnreadable = 3,   // the block exists but cannot be read
    kExitNotReleased = 4,  // --release-state-lock found nothing stuck
};

enum class FieldType { I32, U16, F32 };
enum class FieldNames { None, RunState, RunRequest, DriverCommand };

struct Field {
    const char *name;
    std::size_t offset;
    FieldType type;
    FieldNames names;
};

constexpr FieldType TypeOf(const int32_t *) { return FieldType::I32; }
constexpr FieldType TypeOf(const uint16_t *) { return FieldType::U16; }
constexpr FieldType TypeOf(const float *) { return FieldType::F32; }

// Every field of the block but the reserved bytes, in the block's order.
#define SHOW_FIELD(type, name, offset, names) \
    {#name, offsetof(Statics, name), TypeOf(static_cast<const type *>(nullptr)), FieldNames::names},
#define SKIP_RESERVED(offset, bytes)
#define SCALER(i) {"Scaler[" #i "].Enable", offsetof(Statics, Scaler) + (i) * sizeof(ScalerRecord), FieldType::I32, FieldNames::None},
#define SHOW_SCALERS(offset) SCALER(0) SCALER(1) SCALER(2) SCALER(3)

constexpr Field kFields[] = {VANTORQ_STATICS_FIELDS(SHOW_FIELD, SKIP_RESERVED, SHOW_SCALERS)};
static_assert(kScalerCount == 4, "one SCALER row per scaler");

#undef SHOW_FIELD
#undef SKIP_RESERVED
#undef SCALER
#undef SHOW_SCALERS

// How long --release-state-lock watches the state lock before it gives it
// back: a live holder keeps it for a few field writes only.
constexpr uint32_t kStuckWatchMs = 3000;
constexpr uint32_t kStuckSampleMs = 100;
constexpr uint32_t kWatchPeriodMs = 1000;

constexpr const char kUsage[] =
    "usage: vantorq-status [--watch [--count N]] | --release-state-lock | --help\n"
    "Shows the scan control block of the namespace in VANTORQ_NAMESPACE: its\n"
    "fields by name, the counts of its five semaphores, and the owner and mode\n"
    "of the two shared segments and the five semaphores.  It takes no lock and\n"
    "creates nothing: it opens existing objects only and maps the block\n"
    "read-only, so it can be run while a scan hangs.\n"
    "\n"
    "  --watch                 show it again every second (until interrupted)\n"
    "  --count N               with --watch: stop after N displays\n"
    "  --release-state-lock    when the state lock /State_Sem stays taken for\n"
    "                          3 seconds (a client died holding it), give it\n"
    "                          back once; nothing is done while it moves\n"
    "  -h, --help              this text\n"
    "\n"
    "Exit status: 0 shown (or lock released), 1 no control block in this\n"
    "namespace, 2 bad usage, 3 the block exists but cannot be read, 4 the\n"
    "state lock was not stuck and was left alone.\n";

// The name a logical name has on this system, for the messages.
const char *Qualified(const char *name, char *out, std::size_t size)
{
    if (!QualifyObjectName(name, out, size))
        std::snprintf(out, size, "%s (namespace too long)", name);
    return out;
}

// The system's text for the last error, as "text (error N)".
const char *LastErrorText(char *out, std::size_t size)
{
    char text[256];
    int code = LastSystemErrorText(text, sizeof text);
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    std::snprintf(out, size, "%s [error %d]", text, code);
    return out;
}

const char *NameOfField(FieldNames names, int32_t value)
{
    switch (names) {
    case FieldNames::RunState: return NameOf(kRunStates, value, "Unknown Run State");
    case FieldNames::RunRequest: return NameOf(kRunRequests, value, "Unknown Run Request");
    case FieldNames::DriverCommand: return NameOf(kDriverCommands, value, "unknown command");
    case FieldNames::None: break;
    }
    return "";
}

int32_t ReadI32(const unsigned char *block, std::size_t offset)
{
    int32_t v;
    std::memcpy(&v, block + offset, sizeof v);
    return v;
}

void PrintField(const Field &field, const unsigned char *block)
{
    char value[32];
    switch (field.type) {
    case FieldType::I32: std::snprintf(value, sizeof value, "%d", ReadI32(block, field.offset)); break;
    case FieldType::U16: {
        uint16_t v;
        std::memcpy(&v, block + field.offset, sizeof v);
        std::snprintf(value, sizeof value, "%u", static_cast<unsigned>(v));
        break;
    }
    case FieldType::F32: {
        float v;
        std::memcpy(&v, block + field.offset, sizeof v);
        std::snprintf(value, sizeof value, "%g", static_cast<double>(v));
        break;
    }
    }
    std::printf("  %3u %-24s %12s", static_cast<unsigned>(field.offset), field.name, value);
    if (field.names != FieldNames::None)
        std::printf("  %s", NameOfField(field.names, ReadI32(block, field.offset)));
    std::printf("\n");
}

void PrintBlock(const Statics &s)
{
    const auto *block = reinterpret_cast<const unsigned char *>(&s);
    std::printf("Run: %s, request %s, channel %d, scans %d\n", NameOfField(FieldNames::RunState, s.RunState),
                NameOfField(FieldNames::RunRequest, s.RunRequest), s.Channel, s.Scans);
    if (s.SyncReady == 0)
        std::printf("SyncReady is 0: the semaphores are not set up; the next client to attach creates them.\n");
    std::printf("\nControl block (offset, field, value)\n");
    for (const Field &field : kFields)
        PrintField(field, block);
}

// What a count means for the two locks, when it is telling.
const char *LockNote(int index, int32_t count)
{
    if (index == SYNC_CTRL && count == 0)
        return "control lock taken: a command is running, or a client died holding it "
               "(the next command waits 10 s, reports, and runs)";
    if (index == SYNC_STATE && count == 0)
        return "state lock taken: if it stays 0, a client died holding it and every run "
               "request blocks (see --release-state-lock)";
    if ((index == SYNC_CTRL || index == SYNC_STATE) && count == 1)
        return "free";
    return "";
}

void PrintSemaphores(int32_t syncReady)
{
    std::printf("\nSemaphores (count now / maximum)\n");
    for (int i = 0; i < SYNC_COUNT; ++i) {
        const SyncSpec &spec = kSyncObjects[i];
        const char *kind = spec.kind == SyncKind::Event ? "event" : "semaphore";
        SyncObject obj;
        if (!OpenSyncForQuery(obj, spec.name, spec.kind, spec.maximum)) {
            bool missing = IsMissingObjectError(LastSystemError());
            char why[300];
            LastErrorText(why, sizeof why);
            const char *note = "";
            if (missing && syncReady != 0 && i != SYNC_RUN)
                note = ": a client attaching now ends with exit 16";
            std::printf("  %-11s %-9s   cannot open: %s%s\n", spec.name, kind, missing ? "missing" : why, note);
            continue;
        }
        int32_t count = QuerySyncCount(obj);
        CloseSync(obj);
        if (count < 0)
            std::printf("  %-11s %-9s   ?/%d  the system cannot tell the count\n", spec.name, kind, spec.maximum);
        else
            std::printf("  %-11s %-9s %3d/%d%s%s\n", spec.name, kind, count, spec.maximum,
                        *LockNote(i, count) != '\0' ? "  " : "", LockNote(i, count));
    }
}

void FormatMode(uint32_t mode, char *out)
{
    const char *letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        out[i] = (mode & (0400u >> i)) != 0 ? letters[i] : '-';
    out[9] = '\0';
}

void PrintOneObject(NamedObjectType type, const char *name)
{
    NamedObjectInfo info;
    if (!QueryNamedObjectInfo(type, name, info)) {
        char why[300];
        bool missing = IsMissingObjectError(LastSystemError());
        std::printf("  %-12s %s\n", name, missing ? "missing" : LastErrorText(why, sizeof why));
        return;
    }
    char letters[10];
    FormatMode(info.mode, letters);
    char size[32] = "";
    if (type == NamedObjectType::Memory)
        std::snprintf(size, sizeof size, "%llu bytes", static_cast<unsigned long long>(info.bytes));
    std::printf("  %-12s %-10s %-10s %04o %s  %-7s  %-9s  %s\n", name, info.owner, info.group,
                static_cast<unsigned>(info.mode), letters, info.accessible ? "yes" : "REFUSED", size, info.where);
}

void PrintObjects()
{
    std::printf("\nObjects (name, owner, group, mode, read-write access for this user, size, file)\n");
    NamedObjectInfo probe;
    if (!QueryNamedObjectInfo(NamedObjectType::Memory, kStaticsName, probe) &&
        !IsMissingObjectError(LastSystemError())) {
        char why[300];
        std::printf("  not available here: %s\n", LastErrorText(why, sizeof why));
        return;
    }
    PrintOneObject(NamedObjectType::Memory, kStaticsName);
    PrintOneObject(NamedObjectType::Memory, kQueueName);
    for (const SyncSpec &spec : kSyncObjects)
        PrintOneObject(NamedObjectType::Sync, spec.name);
}

void PrintHeader()
{
    char when[64] = "";
    std::time_t now = std::time(nullptr);
    if (const std::tm *local = std::localtime(&now))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
    char qualified[256];
    std::printf("vantorq-status %s: block %s, namespace \"%s\" (VANTORQ_NAMESPACE)\n", when,
                Qualified(kStaticsName, qualified, sizeof qualified), ObjectNamespace());
    std::printf("Read without taking any lock: values may be changing while they are read.\n\n");
}

// One display.  Returns the exit code it stands for.
int ShowOnce()
{
    char qualified[256];
    Qualified(kStaticsName, qualified, sizeof qualified);
    SharedMemory mem;
    if (!OpenNamedMemoryForReading(mem, kStaticsName)) {
        char why[300];
        bool missing = IsMissingObjectError(LastSystemError());
        LastErrorText(why, sizeof why);
        if (missing) {
            std::fprintf(stderr,
                         "vantorq-status: no control block: %s does not exist (%s).\n"
                         "Nothing was created.  Is the driver running, and is VANTORQ_NAMESPACE (now \"%s\") "
                         "the one it uses?\n",
                         qualified, why, ObjectNamespace());
            return kExitNoBlock;
        }
        PrintHeader();
        std::printf("The control block %s exists but cannot be opened for reading: %s\n", qualified, why);
        PrintSemaphores(1);
        PrintObjects();
        std::fflush(stdout);
        std::fprintf(stderr, "vantorq-status: cannot read the control block %s: %s\n", qualified, why);
        return kExitUnreadable;
    }
    const void *view = MapNamedMemoryForReading(mem);
    if (view == nullptr || (mem.bytes != 0 && mem.bytes < kStaticsSize)) {
        char why[300];
        if (view == nullptr)
            LastErrorText(why, sizeof why);
        else
            std::snprintf(why, sizeof why, "it is %lu bytes, a control block needs %lu",
                          static_cast<unsigned long>(mem.bytes), static_cast<unsigned long>(kStaticsSize + 1));
        CloseNamedMemory(mem, view);
        PrintHeader();
        std::printf("The control block %s cannot be read: %s\n", qualified, why);
        PrintObjects();
        std::fflush(stdout);
        std::fprintf(stderr, "vantorq-status: cannot read the control block %s: %s\n", qualified, why);
        return kExitUnreadable;
    }
    Statics snapshot;
    std::memcpy(&snapshot, view, sizeof snapshot);
    CloseNamedMemory(mem, view);

    PrintHeader();
    PrintBlock(snapshot);
    PrintSemaphores(snapshot.SyncReady);
    PrintObjects();
    std::fflush(stdout);
    return kExitShown;
}

int Watch(long count)
{
    int code = kExitShown;
    bool terminal = StandardOutputIsTerminal();
    for (long shown = 0; count <= 0 || shown < count; ++shown) {
        if (shown > 0)
            SleepMilliseconds(kWatchPeriodMs);
        if (terminal)
            std::printf("\033[H\033[2J");
        else if (shown > 0)
            std::printf("\n");
        std::fflush(stdout);
        code = ShowOnce();
    }
    return code;
}

// Gives the state lock one count back, but only when it has read 0 for the
// whole watch: a live holder keeps it for microseconds.
int ReleaseStateLock()
{
    const SyncSpec &spec = kSyncObjects[SYNC_STATE];
    char qualified[256];
    Qualified(spec.name, qualified, sizeof qualified);
    // Opened as a client opens it, for the release; the process ends soon
    // after and the object is not closed, as in the extension.
    SyncObject obj;
    if (!OpenSync(obj, spec.name, spec.kind, spec.maximum)) {
        char why[300];
        bool missing = IsMissingObjectError(LastSystemError());
        LastErrorText(why, sizeof why);
        std::fprintf(stderr, "vantorq-status: cannot open the state lock %s: %s\n", qualified, why);
        return missing ? kExitNoBlock : kExitUnreadable;
    }
    std::printf("Watching the state lock %s for %u s without taking it...\n", qualified, kStuckWatchMs / 1000);
    std::fflush(stdout);
    for (uint32_t waited = 0; waited <= kStuckWatchMs; waited += kStuckSampleMs) {
        int32_t count = QuerySyncCount(obj);
        if (count != 0) {
            if (count < 0)
                std::printf("Left alone: the system cannot tell the count of %s.\n", qualified);
            else
                std::printf("Left alone: %s read %d, so nobody is stuck holding it.\n", qualified, count);
            return kExitNotReleased;
        }
        if (waited < kStuckWatchMs)
            SleepMilliseconds(kStuckSampleMs);
    }
    if (!ReleaseSync(obj)) {
        char why[300];
        LastErrorText(why, sizeof why);
        std::fprintf(stderr, "vantorq-status: giving back the state lock %s failed: %s\n", qualified, why);
        return kExitUnreadable;
    }
    std::printf("Released: %s stayed taken for %u s and has been given back once; it now reads %d.\n", qualified,
                kStuckWatchMs / 1000, QuerySyncCount(obj));
    return kExitShown;
}

[[noreturn]] void UsageError(const char *what, const char *operand)
{
    std::fprintf(stderr, "vantorq-status: %s%s\n\n%s", what, operand, kUsage);
    std::exit(kExitUsage);
}

} // namespace

int main(int argc, char **argv)
{
    bool watch = false;
    bool release = false;
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--watch") {
            watch = true;
        } else if (arg == "--count") {
            if (i + 1 >= argc)
                UsageError("--count needs a number", "");
            char *end = nullptr;
            count = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || count < 1)
                UsageError("--count needs a number of 1 or more, not: ", argv[i]);
        } else if (arg == "--release-state-lock") {
            release = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitShown;
        } else {
            UsageError("unknown argument: ", argv[i]);
        }
    }
    if (release && watch)
        UsageError("--release-state-lock does not go with --watch", "");
    if (count != 0 && !watch)
        UsageError("--count goes with --watch", "");
    if (release)
        return ReleaseStateLock();
    return watch ? Watch(count) : ShowOnce();
}
