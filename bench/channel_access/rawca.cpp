// Rawca: a Tcl command that loops over the very library calls Tessaly makes
// for one value (ca_array_get or ca_array_put of a DBR_FLOAT, then
// ca_pend_io), on the channel of a Tessaly slot, in the context Tessaly made
// on this thread. It gives the baseline that the Tcl commands are measured
// against.
//
//   RawCa_Loop get|put SLOT COUNT TESSALY_LIB  -> microseconds per call
//   RawCa_Batch SLOTS COUNT TESSALY_LIB        -> microseconds per round
//   RawCa_Callback get|put SLOT COUNT TESSALY_LIB -> microseconds per call
//   RawCa_Latency SLOT COUNT TESSALY_LIB  -> median microseconds from a put
//       of another client (the wall clock in microseconds as the value) to
//       a raw subscription callback
//   RawCa_ConnectRead NAMES TIMEOUT -> "SECONDS CONNECTED READ": in a
//       process without Tessaly, the raw form of one tessaly::get of many
//       names: every channel created, one ca_pend_io for the connections,
//       one ca_array_get of a DBR_DOUBLE each, one ca_pend_io for the values
//       (the channels stay, so that the process's memory shows what libca
//       holds for them)

#include <cadef.h>
#include <dlfcn.h>
#include <tcl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

namespace {

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

char result[64];

int fail(Tcl_Interp* interp, const char* text) {
    Tcl_SetResult(interp, const_cast<char*>(text), TCL_STATIC);
    return TCL_ERROR;
}

// The channel of a Tessaly slot, and a count of at least 1.  The extension
// is already loaded: its slot table is found without loading it again.
int slotChannel(Tcl_Interp* interp, const char* library, const char* slotWord, const char* countWord,
                chid& channel, long& count) {
    long slot = strtol(slotWord, nullptr, 0);
    count = strtol(countWord, nullptr, 0);
    void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return fail(interp, "libtessaly.so is not loaded");
    auto* store = static_cast<chid*>(dlsym(handle, "EPICS_ChanIdStore"));
    dlclose(handle);
    if (store == nullptr || slot < 0 || slot > 1023 || count < 1)
        return fail(interp, "no such slot or count");
    channel = store[slot];
    return TCL_OK;
}

int RawCaLoopCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 5) return fail(interp, "usage: RawCa_Loop get|put SLOT COUNT TESSALY_LIB");
    std::string_view op = argv[1];
    chid channel;
    long count;
    if (slotChannel(interp, argv[4], argv[2], argv[3], channel, count) != TCL_OK) return TCL_ERROR;
    float value = 1.25f;
    double start = nowSeconds();
    for (long i = 0; i < count; ++i) {
        int status = op == "get" ? ca_array_get(DBR_FLOAT, 1, channel, &value)
                                 : ca_array_put(DBR_FLOAT, 1, channel, &value);
        if (status == ECA_NORMAL) status = ca_pend_io(5.0);
        if (status != ECA_NORMAL) return fail(interp, ca_message(status));
    }
    double perCall = (nowSeconds() - start) / static_cast<double>(count) * 1e6;
    snprintf(result, sizeof result, "%.3f", perCall);
    Tcl_SetResult(interp, result, TCL_VOLATILE);
    return TCL_OK;
}

// RawCa_Batch SLOTS COUNT TESSALY_LIB: COUNT rounds of one ca_array_get of a
// DBR_FLOAT per slot of the list, then one ca_pend_io; microseconds a round.
int RawCaBatchCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 4) return fail(interp, "usage: RawCa_Batch SLOTS COUNT TESSALY_LIB");
    int slotCount = 0;
    const char** slotWords = nullptr;
    if (Tcl_SplitList(interp, argv[1], &slotCount, &slotWords) != TCL_OK) return TCL_ERROR;
    long count = strtol(argv[2], nullptr, 0);
    void* handle = dlopen(argv[3], RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        Tcl_Free(reinterpret_cast<char*>(slotWords));
        return fail(interp, "libtessaly.so is not loaded");
    }
    auto* store = static_cast<chid*>(dlsym(handle, "EPICS_ChanIdStore"));
    dlclose(handle);
    static chid channels[1024];
    static float values[1024];
    bool ok = store != nullptr && slotCount > 0 && slotCount <= 1024 && count > 0;
    for (int i = 0; ok && i < slotCount; ++i) {
        long slot = strtol(slotWords[i], nullptr, 0);
        ok = slot >= 0 && slot < 1024;
        if (ok) channels[i] = store[slot];
    }
    Tcl_Free(reinterpret_cast<char*>(slotWords));
    if (!ok) return fail(interp, "no such slots or count");

    double start = nowSeconds();
    for (long round = 0; round < count; ++round) {
        for (int i = 0; i < slotCount; ++i) {
            int status = ca_array_get(DBR_FLOAT, 1, channels[i], &values[i]);
            if (status != ECA_NORMAL) return fail(interp, ca_message(status));
        }
        int status = ca_pend_io(5.0);
        if (status != ECA_NORMAL) return fail(interp, ca_message(status));
    }
    double perRound = (nowSeconds() - start) / static_cast<double>(count) * 1e6;
    snprintf(result, sizeof result, "%.3f", perRound);
    Tcl_SetResult(interp, result, TCL_VOLATILE);
    return TCL_OK;
}

// The raw form of a value read or written through a callback, as the
// whole-value commands do it: ca_array_get_callback (or
// ca_array_put_callback) of a DBR_DOUBLE, then ca_poll until the callback
// has run (polling the library as fast as it answers: the quickest
// reaction, at the cost of a busy core).
volatile bool answered;
double answer;
void onAnswer(event_handler_args args) {
    if (args.status == ECA_NORMAL && args.dbr != nullptr) answer = *static_cast<const double*>(args.dbr);
    answered = true;
}

int RawCaCallbackCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 5) return fail(interp, "usage: RawCa_Callback get|put SLOT COUNT TESSALY_LIB");
    std::string_view op = argv[1];
    chid channel;
    long count;
    if (slotChannel(interp, argv[4], argv[2], argv[3], channel, count) != TCL_OK) return TCL_ERROR;
    double value = 1.25;
    double start = nowSeconds();
    for (long i = 0; i < count; ++i) {
        answered = false;
        int status = op == "get" ? ca_array_get_callback(DBR_DOUBLE, 1, channel, onAnswer, nullptr)
                                 : ca_array_put_callback(DBR_DOUBLE, 1, channel, &value, onAnswer, nullptr);
        if (status != ECA_NORMAL) return fail(interp, ca_message(status));
        ca_flush_io();
        double deadline = nowSeconds() + 5.0;
        while (!answered) {
            ca_poll();
            if (nowSeconds() > deadline) return fail(interp, "no answer in 5 s");
        }
    }
    double perCall = (nowSeconds() - start) / static_cast<double>(count) * 1e6;
    snprintf(result, sizeof result, "%.3f", perCall);
    Tcl_SetResult(interp, result, TCL_VOLATILE);
    return TCL_OK;
}

// A raw subscription whose callback notes how old each value is (the
// writer puts the wall clock in microseconds); ca_poll as fast as the
// library answers.
std::vector<double> latencies;
double wallMicroseconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
}
void onLatency(event_handler_args args) {
    if (args.status != ECA_NORMAL || args.dbr == nullptr) return;
    double sent = *static_cast<const double*>(args.dbr);
    if (sent > 0) latencies.push_back(wallMicroseconds() - sent);
}

int RawCaLatencyCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 4) return fail(interp, "usage: RawCa_Latency SLOT COUNT TESSALY_LIB");
    chid channel;
    long wanted;
    if (slotChannel(interp, argv[3], argv[1], argv[2], channel, wanted) != TCL_OK) return TCL_ERROR;
    auto count = static_cast<std::size_t>(wanted);
    latencies.clear();
    evid subscription;
    int status = ca_create_subscription(DBR_DOUBLE, 1, channel, DBE_VALUE, onLatency, nullptr, &subscription);
    if (status != ECA_NORMAL) return fail(interp, ca_message(status));
    ca_flush_io();
    double deadline = nowSeconds() + 30.0;
    while (latencies.size() < count && nowSeconds() < deadline) ca_poll();
    ca_clear_subscription(subscription);
    if (latencies.empty()) return fail(interp, "no update arrived");
    std::sort(latencies.begin(), latencies.end());
    snprintf(result, sizeof result, "%.3f", latencies[latencies.size() / 2]);
    Tcl_SetResult(interp, result, TCL_VOLATILE);
    return TCL_OK;
}

// The channels of RawCa_ConnectRead, kept until the process ends.
std::vector<chid> scaleChannels;
std::vector<double> scaleValues;

int RawCaConnectReadCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) return fail(interp, "usage: RawCa_ConnectRead NAMES TIMEOUT");
    int nameCount = 0;
    const char** names = nullptr;
    if (Tcl_SplitList(interp, argv[1], &nameCount, &names) != TCL_OK) return TCL_ERROR;
    double timeout = strtod(argv[2], nullptr);
    auto count = static_cast<std::size_t>(nameCount);
    std::size_t first = scaleChannels.size();
    scaleChannels.resize(first + count);
    scaleValues.resize(first + count);
    double start = nowSeconds();
    for (std::size_t i = 0; i < count; ++i) {
        int status = ca_create_channel(names[i], nullptr, nullptr, CA_PRIORITY_DEFAULT, &scaleChannels[first + i]);
        if (status != ECA_NORMAL) {
            Tcl_Free(reinterpret_cast<char*>(names));
            return fail(interp, ca_message(status));
        }
    }
    Tcl_Free(reinterpret_cast<char*>(names));
    ca_pend_io(timeout);
    std::size_t connected = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        if (ca_state(scaleChannels[i]) != cs_conn) continue;
        if (ca_array_get(DBR_DOUBLE, 1, scaleChannels[i], &scaleValues[i]) == ECA_NORMAL) ++connected;
    }
    int status = ca_pend_io(timeout);
    double seconds = nowSeconds() - start;
    snprintf(result, sizeof result, "%.4f %zu %zu", seconds, connected, status == ECA_NORMAL ? connected : 0);
    Tcl_SetResult(interp, result, TCL_VOLATILE);
    return TCL_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int Rawca_Init(Tcl_Interp* interp) {
    Tcl_CreateCommand(interp, "RawCa_Loop", RawCaLoopCmd, nullptr, nullptr);
    Tcl_CreateCommand(interp, "RawCa_Batch", RawCaBatchCmd, nullptr, nullptr);
    Tcl_CreateCommand(interp, "RawCa_Callback", RawCaCallbackCmd, nullptr, nullptr);
    Tcl_CreateCommand(interp, "RawCa_Latency", RawCaLatencyCmd, nullptr, nullptr);
    Tcl_CreateCommand(interp, "RawCa_ConnectRead", RawCaConnectReadCmd, nullptr, nullptr);
    return TCL_OK;
}
