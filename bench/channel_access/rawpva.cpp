// rawpva: the raw pvAccess C++ client loops that Tessaly's PV Access side is
// measured against.  A program of its own, run by pva_bench.tcl in the same
// run against the same server: its process's CPU and memory are its own,
// and it brings its own pvAccess (Tessaly's is linked inside the extension).
//
//   rawpva frames NAME SECONDS worker|callback -> "FRAMES_PER_S PEAK_KIB FRAMES"
//   rawpva get NAME COUNT           -> COUNT microseconds, one a get
//   rawpva monitors PREFIX N SECONDS -> "CPU_PERCENT UPDATES_PER_S"
//
// Each is a plain pvac client: the monitor callback wakes the consumer
// thread, which drains the monitor with poll() and looks at what it got, as
// pvAccess's own tools do (frames also with the callback draining the
// monitor itself); a get is pvac's synchronous get.  The
// client is configured from the environment (EPICS_PVA_ADDR_LIST, ...).
// Errors go to standard error with status 1.
#include <pv/clientFactory.h>
#include <pv/createRequest.h>
#include <pv/pvData.h>
#include <pva/client.h>

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace pvd = epics::pvData;
using Clock = std::chrono::steady_clock;

enum class Mode : uint8_t { Frames, Get, Monitors, Bad };

constexpr struct {
    std::string_view word;
    Mode mode;
    int args;
} kModes[] = {{"frames", Mode::Frames, 5}, {"get", Mode::Get, 4}, {"monitors", Mode::Monitors, 5}};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// VmRSS or VmHWM of this process in KiB.
long statusKiB(const char* key) {
    FILE* file = fopen("/proc/self/status", "r");
    if (file == nullptr) return -1;
    char line[256];
    long value = -1;
    std::size_t length = strlen(key);
    while (fgets(line, sizeof line, file) != nullptr)
        if (strncmp(line, key, length) == 0 && line[length] == ':') value = strtol(line + length + 1, nullptr, 10);
    fclose(file);
    return value;
}

// Starts the peak of the resident set again from the current size.
void resetPeak() {
    FILE* file = fopen("/proc/self/clear_refs", "w");
    if (file == nullptr) return;
    fputs("5", file);
    fclose(file);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Monitors whose callbacks have come, for the consumer thread.
std::mutex readyMutex;
std::condition_variable readyCondition;
std::vector<std::size_t> ready;
std::vector<bool> flagged;

struct Watcher final : pvac::ClientChannel::MonitorCallback {
    std::size_t index = 0;
    void monitorEvent(const pvac::MonitorEvent& event) override {
        if (event.event != pvac::MonitorEvent::Data) return;
        std::lock_guard<std::mutex> hold(readyMutex);
        if (flagged[index]) return;
        flagged[index] = true;
        ready.push_back(index);
        if (ready.size() == 1) readyCondition.notify_one();
    }
};

// Waits up to `until` for monitors to have data: their indices.
std::vector<std::size_t> takeReady(Clock::time_point until) {
    std::unique_lock<std::mutex> hold(readyMutex);
    readyCondition.wait_until(hold, until, [] { return !ready.empty(); });
    std::vector<std::size_t> out;
    out.swap(ready);
    for (std::size_t index : out) flagged[index] = false;
    return out;
}

const char* kMonitorRequest = "record[queueSize=2]field()";

// What the frame loop has seen (under frameMutex when the callback drains).
struct FrameCount {
    long taken = 0;
    long wrong = 0;
    int32_t lastId = 0;
    bool notImage = false;
};

// Looks at every frame the monitor has queued: its first element against
// what pva_server puts there, its uniqueId against the last one's.
void drainFrames(pvac::Monitor& monitor, FrameCount& count) {
    while (monitor.poll()) {
        auto id = monitor.root->getSubField<pvd::PVInt>("uniqueId");
        auto value = monitor.root->getSubField<pvd::PVUnion>("value");
        auto pixels = value ? value->get<pvd::PVScalarArray>() : std::tr1::shared_ptr<pvd::PVScalarArray>();
        if (!id || !pixels) {
            count.notImage = true;
            continue;
        }
        pvd::shared_vector<const void> raw;
        pixels->getAs(raw);
        int32_t unique = id->get();
        const auto* bytes = static_cast<const unsigned char*>(raw.data());
        // Element 0 of frame u is u % 4 (its low byte, little-endian).
        if (raw.size() == 0 || bytes[0] != static_cast<unsigned char>(unique % 4)) ++count.wrong;
        if (unique != count.lastId) ++count.taken;
        count.lastId = unique;
    }
}

std::mutex frameMutex;
FrameCount inCallback;

// The other way pvAccess allows: the callback itself drains the monitor, on
// the library's receiving thread, between two messages.
struct Drainer final : pvac::ClientChannel::MonitorCallback {
    pvac::Monitor* monitor = nullptr;
    void monitorEvent(const pvac::MonitorEvent& event) override {
        if (event.event != pvac::MonitorEvent::Data) return;
        std::lock_guard<std::mutex> hold(frameMutex);
        if (monitor != nullptr) drainFrames(*monitor, inCallback);
    }
};

// An NTNDArray monitored: frames a second taken (each one's pixels looked
// at) and the peak resident set over the one before the subscription.
// `worker`: the callback wakes this thread, which drains the monitor (as
// pvAccess's own pvmonitor does); `callback`: the callback drains it.
int frames(pvac::ClientProvider& provider, const char* name, double seconds, std::string_view how) {
    bool worker = how == "worker";
    pvac::ClientChannel channel = provider.connect(name);
    flagged.assign(1, false);
    Watcher watcher;
    Drainer drainer;
    long baseline = statusKiB("VmRSS");
    resetPeak();
    pvac::Monitor monitor;
    {
        std::lock_guard<std::mutex> hold(frameMutex);
        monitor = worker ? channel.monitor(&watcher, pvd::createRequest(kMonitorRequest))
                         : channel.monitor(&drainer, pvd::createRequest(kMonitorRequest));
        drainer.monitor = &monitor;
    }
    FrameCount own;
    FrameCount& count = worker ? own : inCallback;
    Clock::time_point start{}, warm = Clock::now() + std::chrono::milliseconds(500);
    bool counting = false;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (!counting && now >= warm) {
            counting = true;
            std::lock_guard<std::mutex> hold(frameMutex);
            count.taken = 0;
            start = now;
        }
        if (counting && secondsSince(start) >= seconds) break;
        Clock::time_point until = now + std::chrono::milliseconds(20);
        if (!worker) {
            std::this_thread::sleep_until(until);
            continue;
        }
        if (!takeReady(until).empty()) drainFrames(monitor, own);
    }
    double elapsed = secondsSince(start);
    long peak = statusKiB("VmHWM");
    long taken;
    {
        std::lock_guard<std::mutex> hold(frameMutex);
        taken = count.taken;
        drainer.monitor = nullptr;
    }
    monitor.cancel();
    if (count.notImage) {
        fprintf(stderr, "rawpva: %s is not an image\n", name);
        return 1;
    }
    if (count.wrong != 0) fprintf(stderr, "rawpva: %ld frames had other pixels than expected\n", count.wrong);
    printf("%.1f %ld %ld\n", static_cast<double>(taken) / elapsed, peak - baseline, taken);
    return 0;
}

// COUNT synchronous gets of a PV's whole structure, each timed.
int gets(pvac::ClientProvider& provider, const char* name, long count) {
    pvac::ClientChannel channel = provider.connect(name);
    for (int i = 0; i < 50; ++i) channel.get(5.0);  // connects, warms up
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        Clock::time_point start = Clock::now();
        pvd::PVStructure::const_shared_pointer value = channel.get(5.0);
        auto field = value->getSubField<pvd::PVScalar>("value");
        volatile double seen = field ? field->getAs<double>() : 0;
        (void)seen;
        times.push_back(secondsSince(start) * 1e6);
    }
    for (std::size_t i = 0; i < times.size(); ++i) printf(i ? " %.1f" : "%.1f", times[i]);
    printf("\n");
    return 0;
}

// N NTScalars PREFIX0..PREFIX(N-1) monitored: the CPU this whole process
// takes (pvAccess's threads too) while their updates come, a percentage of
// one core, and the updates taken a second.
int monitors(pvac::ClientProvider& provider, const char* prefix, long n, double seconds) {
    std::vector<pvac::ClientChannel> channels;
    std::vector<Watcher> watchers(static_cast<std::size_t>(n));
    std::vector<pvac::Monitor> subscriptions;
    flagged.assign(static_cast<std::size_t>(n), false);
    for (long i = 0; i < n; ++i) {
        channels.push_back(provider.connect(prefix + std::to_string(i)));
        watchers[static_cast<std::size_t>(i)].index = static_cast<std::size_t>(i);
    }
    pvd::PVStructure::const_shared_pointer request = pvd::createRequest(kMonitorRequest);
    for (long i = 0; i < n; ++i)
        subscriptions.push_back(channels[static_cast<std::size_t>(i)].monitor(&watchers[static_cast<std::size_t>(i)], request));
    long updates = 0;
    double sum = 0;
    Clock::time_point warm = Clock::now() + std::chrono::seconds(2);
    Clock::time_point start{}, end{};
    double cpuStart = 0;
    bool counting = false;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (!counting && now >= warm) {
            counting = true;
            updates = 0;
            start = now;
            end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            cpuStart = cpuSeconds();
        }
        if (counting && now >= end) break;
        for (std::size_t index : takeReady(counting ? end : warm)) {
            pvac::Monitor& monitor = subscriptions[index];
            while (monitor.poll()) {
                auto field = monitor.root->getSubField<pvd::PVScalar>("value");
                if (field) sum += field->getAs<double>();
                ++updates;
            }
        }
    }
    double cpu = cpuSeconds() - cpuStart;
    double elapsed = secondsSince(start);
    for (pvac::Monitor& monitor : subscriptions) monitor.cancel();
    printf("%.2f %.0f\n", cpu / elapsed * 100, static_cast<double>(updates) / elapsed);
    return sum < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    Mode mode = Mode::Bad;
    for (const auto& row : kModes)
        if (argc == row.args && argv[1] == row.word) mode = row.mode;
    if (mode == Mode::Bad) {
        fprintf(stderr, "usage: rawpva frames NAME SECONDS worker|callback | get NAME COUNT | monitors PREFIX N SECONDS\n");
        return 2;
    }
    try {
        epics::pvAccess::ClientFactory::start();
        pvac::ClientProvider provider("pva");
        switch (mode) {
        case Mode::Frames: return frames(provider, argv[2], strtod(argv[3], nullptr), argv[4]);
        case Mode::Get: return gets(provider, argv[2], strtol(argv[3], nullptr, 10));
        case Mode::Monitors: return monitors(provider, argv[2], strtol(argv[3], nullptr, 10), strtod(argv[4], nullptr));
        case Mode::Bad: break;
        }
    } catch (std::exception& failure) {
        fprintf(stderr, "rawpva: %s\n", failure.what());
        return 1;
    }
    return 2;
}
