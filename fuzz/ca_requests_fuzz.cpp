// Fuzz target: the Channel Access server's request decoding (tools/ca_server).
//
// Each input is taken twice, as a client could send it:
//   - as one name-search datagram (the first 4096 bytes, what the server's
//     receive buffer holds), answered by answer_search;
//   - as the byte stream of a circuit, delivered in pieces whose sizes follow
//     a fixed cycle (so that headers and payloads arrive split), with late
//     read answers released every other piece and the client hanging up at
//     the end.
// The PV table is set back to its loaded state before every input (an
// array's elements are shared by the copies: they keep what was written).  Every
// fourth input (by length) runs with the request log on, so that its
// formatting of what clients sent is exercised too; the log goes nowhere.
//
// Checked besides what the sanitizers see (and, under AddressSanitizer, the
// circuit's unfilled input buffer is poisoned, so a read past the bytes
// received is caught): every reply is a sequence of whole messages whose
// payloads are padded to 8 bytes, and a circuit always comes to an end.
// A client that stops reading is played too: past 64 KiB of replies in one
// input the send side refuses more.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ca_proto.h"
#include "circuit.h"
#include "pv_store.h"
#include "server.h"

#include "report.h"

namespace {

using namespace ca;

// Every PV type and every flag the server knows.
constexpr const char kPvText[] =
    "f:short short 5\n"
    "f:long long 123456789\n"
    "f:float float 2.5 prec=3\n"
    "f:double double 532.25 prec=17\n"
    "f:fine double 0.5 prec=8\n"
    "f:nan double nan\n"
    "f:str string \"hello world\"\n"
    "f:empty string \"\"\n"
    "f:enum enum 1 states=Off,On,Auto\n"
    "f:char char -5\n"
    "f:noread short 1 noread\n"
    "f:nowrite long 1 nowrite\n"
    "f:silent float 1.5 noanswer\n"
    "f:slow short 9 delay=50\n"
    "f:slowonce string abc delay=50/1\n"
    "f:wave double[16] 1,2,3 prec=2 units=mm disp=0,10\n"
    "f:text char[64] \"a text longer than forty characters, as paths are\"\n"
    "f:ramp short[8] ramp(1,2) len=5\n"
    "f:limits double 5 warn=100,800 alarm=50,850\n"
    "f:longlim long 5 warn=100,\n"
    "f:putdelay double 0 putdelay=50\n"
    "f:reject long 3 rejectput\n"
    "f:count long 0 count=0\n";

constexpr int kHandle = 7;                  // the circuit's handle: no real descriptor
constexpr size_t kDatagramSize = 4096;      // the server's datagram buffer
constexpr size_t kReplyBudget = 64 * 1024;  // then the client stops reading
constexpr size_t kPieces[] = {5, 16, 1, 40, 1000, 7, 24, 16384, 3};
constexpr int kMaxRounds = 100000;

Pv g_loaded[kMaxPvs];

const uint8_t *g_stream;
size_t g_stream_len, g_stream_pos, g_piece;
size_t g_replied;
bool g_closed;

[[noreturn]] void Violation(const char *what)
{
    std::fprintf(g_report, "\n*** ca_requests fuzz: %s\n", what);
    std::abort();
}

// Replies must be whole messages, each payload padded to 8 bytes.
void CheckMessages(const uint8_t *data, size_t len, const char *where)
{
    size_t pos = 0;
    while (pos < len) {
        Header h;
        size_t hlen = decode_header(data + pos, len - pos, h);
        if (hlen == 0 || h.payload_size % 8 != 0 || h.payload_size > len - pos - hlen) {
            std::fprintf(g_report, "\n*** %s: malformed reply at byte %zu of %zu\n", where, pos, len);
            Violation("a reply is not a whole, padded message");
        }
        pos += hlen + h.payload_size;
    }
}

ssize_t FakeSend(int handle, const uint8_t *data, size_t len)
{
    if (handle != kHandle)
        Violation("send on a handle that is not the circuit's");
    if (g_replied >= kReplyBudget) {
        errno = EAGAIN;
        return -1;
    }
    CheckMessages(data, len, "circuit");
    g_replied += len;
    return static_cast<ssize_t>(len);
}

ssize_t FakeRecv(int handle, uint8_t *data, size_t len)
{
    if (handle != kHandle)
        Violation("recv on a handle that is not the circuit's");
    if (g_stream_pos == g_stream_len)
        return 0;   // the client hangs up
    size_t n = kPieces[g_piece++ % (sizeof kPieces / sizeof kPieces[0])];
    if (n > len)
        n = len;
    if (n > g_stream_len - g_stream_pos)
        n = g_stream_len - g_stream_pos;
    std::memcpy(data, g_stream + g_stream_pos, n);
    g_stream_pos += n;
    return static_cast<ssize_t>(n);
}

void FakeClose(int handle)
{
    if (handle != kHandle || g_closed)
        Violation("close of a handle that is not the circuit's, or twice");
    g_closed = true;
}

void Datagram(const uint8_t *data, size_t size)
{
    static uint8_t out[kDatagramSize];
    size_t len = answer_search(data, size < kDatagramSize ? size : kDatagramSize, "127.0.0.1:5064", out,
                               sizeof out);
    if (len > sizeof out)
        Violation("a search answer longer than its buffer");
    CheckMessages(out, len, "search");
}

void Stream(const uint8_t *data, size_t size)
{
    g_stream = data;
    g_stream_len = size;
    g_stream_pos = g_piece = g_replied = 0;
    g_closed = false;
    int index = circuit_open(kHandle, "127.0.0.1:40000");
    if (index < 0)
        Violation("no free circuit slot");
    for (int round = 0; circuit_fd(size_t(index)) >= 0; ++round) {
        if (round == kMaxRounds)
            Violation("the circuit never came to an end");
        circuit_readable(size_t(index));
        // Late answers are due every other round.
        circuit_service(size_t(index), round % 2 == 1 ? now_ms() + 3600000 : now_ms());
    }
    if (!g_closed)
        Violation("the circuit ended without closing its handle");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    OpenReportStream();
    char path[] = "/tmp/ca_requests_fuzz_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, kPvText, sizeof kPvText - 1) != static_cast<ssize_t>(sizeof kPvText - 1)) {
        std::perror("ca_requests fuzz: writing the PV file");
        std::abort();
    }
    close(fd);
    char err[512];
    bool loaded = load_pvs(path, err, sizeof err);
    unlink(path);
    if (!loaded) {
        std::fprintf(g_report, "ca_requests fuzz: %s\n", err);
        std::abort();
    }
    for (size_t k = 0; k < pv_count(); ++k)
        g_loaded[k] = pv_at(k);
    circuit_set_max_message(max_message_bytes());
    circuit_set_io(CircuitIo{FakeSend, FakeRecv, FakeClose});
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("ca_requests fuzz: /dev/null");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (size_t k = 0; k < pv_count(); ++k)
        pv_at(k) = g_loaded[k];
    set_verbose(size % 4 == 0);
    Datagram(data, size);
    Stream(data, size);
    return 0;
}
