// The command interpreter: one line of command text such as "DWELL_TIME 200"
// or "READ_STATUS", looked up in the keyword table and carried out on the
// shared control block under the control lock "/Ctrl_Sem".  The reply is
// written into the buffer that held the command.  Each keyword is one row of
// the table: its text, what it does, and the field and range it does it on.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_library.h"
#include "scan_control.h"

namespace {

constexpr std::size_t kWorkingCopySize = 256;
constexpr uint32_t kControlLockTimeoutMs = 10000;
constexpr double kConversionFailed = -999.999;

// Splits the working copy at spaces; runs of spaces are one separator and
// tabs are ordinary characters.  Each token is terminated in place.
struct Tokens {
    char *next;

    std::string_view Next()
    {
        while (*next == ' ')
            ++next;
        char *start = next;
        while (*next != '\0' && *next != ' ')
            ++next;
        std::string_view token(start, static_cast<std::size_t>(next - start));
        if (*next == ' ')
            *next++ = '\0';
        return token;
    }

    // The next token read as "%i" reads it: decimal, hex after 0x, octal
    // after a leading 0, optionally signed.  False when it is missing or
    // holds no number; a value beyond 32 bits saturates.
    bool NextNumber(int32_t &value)
    {
        std::string_view token = Next();
        if (token.empty())
            return false;
        char *end = nullptr;
        long long n = std::strtoll(token.data(), &end, 0);
        if (end == token.data())
            return false;
        if (n > INT32_MAX)
            n = INT32_MAX;
        else if (n < INT32_MIN)
            n = INT32_MIN;
        value = static_cast<int32_t>(n);
        return true;
    }
};

// A product computed in 16 bits: it wraps modulo 65536.
uint16_t Product16(uint16_t a, uint16_t b)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(a) * b);
}

// Appends to the reply, never past the buffer.
void Append(char *reply, const char *format, ...)
{
    std::size_t used = std::strlen(reply);
    if (used + 1 >= kCommandBufferSize)
        return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(reply + used, kCommandBufferSize - used, format, args);
    va_end(args);
}

// The settings replies: the constant 0 stands between the channel count and
// the DAC step; RampDac ends both.
void AppendSettings(char *reply, int32_t numChans, uint16_t dacStep, uint16_t rampEndDac, float rampEndMilliVolts,
                    int32_t dwellTime, int32_t settleTime)
{
    Append(reply, " %d %d %d %d %g %d %d %d", numChans, 0, static_cast<int>(dacStep), static_cast<int>(rampEndDac),
           static_cast<double>(rampEndMilliVolts), dwellTime, settleTime, g_statics->RampDac);
}

// One keyword: its text, the action that carries it out with the lock held
// (`reply` empty on entry; kOk or kFail), and what the action works on: a
// 32-bit or a 16-bit field of the block, the range a setting accepts, and
// what follows a stored setting.
struct Keyword;
using Action = int (*)(const Keyword &keyword, Tokens &tokens, char *reply);

struct Keyword {
    std::string_view text;
    Action perform;
    int32_t Statics::*field32;
    uint16_t Statics::*field16;
    int32_t low, high;
    void (*afterStore)();
};

// ---- reads -----------------------------------------------------------------

// Every value goes in with one leading space; 16-bit fields print unsigned.
int ReadField(const Keyword &k, Tokens &, char *reply)
{
    if (k.field32 != nullptr)
        Append(reply, " %d", g_statics->*k.field32);
    else
        Append(reply, " %d", static_cast<int>(g_statics->*k.field16));
    return kOk;
}

int ReadStatus(const Keyword &, Tokens &, char *reply)
{
    Statics &s = *g_statics;
    Append(reply, " %d %d %d %g %d %d %d", s.RunState, s.RunRequest, s.Channel, DacToMilliVolts(s.Dac),
           static_cast<int>(s.Dac), s.QueueCount3, s.Scans);
    return kOk;
}

int ReadActiveSettings(const Keyword &, Tokens &, char *reply)
{
    Statics &s = *g_statics;
    AppendSettings(reply, s.ActiveNumChans, s.ActiveDacStep, s.ActiveRampEndDac, s.ActiveRampEndMilliVolts,
                   s.ActiveDwellTime, s.ActiveSettleTime);
    return kOk;
}

int ReadNewSettings(const Keyword &, Tokens &, char *reply)
{
    Statics &s = *g_statics;
    AppendSettings(reply, s.NumChans, s.DacStep, s.RampEndDac, s.RampEndMilliVolts, s.DwellTime, s.SettleTime);
    return kOk;
}

int ReadRunRequest(const Keyword &, Tokens &, char *reply)
{
    Append(reply, " %s", NameOf(kRunRequests, g_statics->RunRequest, "Unknown Run Request"));
    return kOk;
}

int ReadRunState(const Keyword &, Tokens &, char *reply)
{
    Append(reply, " %s", NameOf(kRunStates, g_statics->RunState, "Unknown Run State"));
    return kOk;
}

// Reads the scaler index (1 to 4) and gives the scaler's record, or null.
ScalerRecord *Scaler(Tokens &tokens)
{
    int32_t index = 0;
    if (!tokens.NextNumber(index) || index < 1 || index > kScalerCount)
        return nullptr;
    return &g_statics->Scaler[index - 1];
}

int ReadScalerEnable(const Keyword &, Tokens &tokens, char *reply)
{
    ScalerRecord *scaler = Scaler(tokens);
    if (scaler == nullptr)
        return kFail;
    Append(reply, " %d", scaler->Enable);
    return kOk;
}

// ---- settings ----------------------------------------------------------------

// Reads the operand of a setting and checks it against the keyword's range;
// false when it is missing, holds no number or is out of range.
bool SettingOperand(const Keyword &k, Tokens &tokens, int32_t &value)
{
    return tokens.NextNumber(value) && value >= k.low && value <= k.high;
}

int Store(const Keyword &k, int32_t value)
{
    if (k.field32 != nullptr)
        g_statics->*k.field32 = value;
    else
        g_statics->*k.field16 = static_cast<uint16_t>(value);   // the low 16 bits
    if (k.afterStore != nullptr)
        k.afterStore();
    return kOk;
}

int StoreValue(const Keyword &k, Tokens &tokens, char *)
{
    int32_t value;
    return SettingOperand(k, tokens, value) ? Store(k, value) : kFail;
}

int StoreFlag(const Keyword &k, Tokens &tokens, char *)
{
    int32_t value;
    return SettingOperand(k, tokens, value) ? Store(k, value != 0 ? 1 : 0) : kFail;
}

// ADC_METHOD: 1, 2 or 3; anything else is taken as 3.
int StoreAdcMethod(const Keyword &k, Tokens &tokens, char *)
{
    int32_t value;
    return SettingOperand(k, tokens, value) ? Store(k, value >= 1 && value <= 3 ? value : 3) : kFail;
}

int StoreScalerEnable(const Keyword &, Tokens &tokens, char *)
{
    ScalerRecord *scaler = Scaler(tokens);
    int32_t value;
    if (scaler == nullptr || !tokens.NextNumber(value))
        return kFail;
    scaler->Enable = value;
    return kOk;
}

// ---- the DAC, the queue, runs and the board ---------------------------------------

int SetDac(const Keyword &, Tokens &tokens, char *)
{
    Statics &s = *g_statics;
    int32_t value;
    if (!tokens.NextNumber(value) || s.RunState != RUN_HALTED)
        return kFail;
    s.PreviousDac = s.Dac;
    s.Dac = static_cast<uint16_t>(value);
    WakeDriver(DRIVER_SET_DAC);
    return kOk;
}

int MoveToChannel(const Keyword &, Tokens &tokens, char *)
{
    Statics &s = *g_statics;
    int32_t channel;
    if (!tokens.NextNumber(channel) || s.RunState != RUN_HALTED)
        return kFail;
    s.Channel = channel;
    s.ChannelRequest = channel;
    s.PreviousDac = s.Dac;
    uint16_t dac = Product16(s.ActiveDacStep, static_cast<uint16_t>(channel));
    s.Dac = dac > s.ActiveRampEndDac ? s.ActiveRampEndDac : dac;
    WakeDriver(DRIVER_SET_DAC);
    return kOk;
}

int ResetQueue(const Keyword &, Tokens &, char *)
{
    Statics &s = *g_statics;
    s.QueueCount3 = 0;
    s.QueueCount2 = 0;
    s.QueueCount1 = 0;
    s.QueueLength = 0;
    s.QueueReset = 1;
    return kOk;
}

int RunRequest(const Keyword &, Tokens &tokens, char *) { return RunRequestCommand(tokens.Next()); }
int RunState(const Keyword &, Tokens &tokens, char *) { return RunStateCommand(tokens.Next()); }
int StopDaqBoard(const Keyword &, Tokens &, char *) { return StopBoard(); }

// ---- the table -------------------------------------------------------------------

constexpr int32_t kAny = INT32_MIN, kAll = INT32_MAX;

constexpr Keyword Do(std::string_view text, Action perform)
{
    return {text, perform, nullptr, nullptr, kAny, kAll, nullptr};
}
constexpr Keyword Read(std::string_view text, int32_t Statics::*field)
{
    return {text, ReadField, field, nullptr, kAny, kAll, nullptr};
}
constexpr Keyword Read(std::string_view text, uint16_t Statics::*field)
{
    return {text, ReadField, nullptr, field, kAny, kAll, nullptr};
}
constexpr Keyword Set(std::string_view text, Action store, int32_t Statics::*field, int32_t low = kAny,
                      int32_t high = kAll, void (*afterStore)() = nullptr)
{
    return {text, store, field, nullptr, low, high, afterStore};
}
constexpr Keyword Set(std::string_view text, Action store, uint16_t Statics::*field, int32_t low = kAny,
                      int32_t high = kAll, void (*afterStore)() = nullptr)
{
    return {text, store, nullptr, field, low, high, afterStore};
}

constexpr Keyword kKeywords[] = {
    Do("READ_STATUS", ReadStatus),
    Read("READ_DEBUG_STATUS", &Statics::Debug),
    Do("READ_ACTIVE_SETTINGS", ReadActiveSettings),
    Do("READ_NEW_SETTINGS", ReadNewSettings),
    Read("READ_DEBUG", &Statics::Debug),
    Read("READ_NUM_CHANS", &Statics::NumChans),
    Read("READ_DAC_STEP", &Statics::DacStep),
    Read("READ_DAC", &Statics::Dac),
    Read("READ_RAMP_DAC", &Statics::RampDac),
    Do("READ_ENABLE_SCALER", ReadScalerEnable),
    Read("READ_ENABLE_ADC", &Statics::EnableAdc),
    Read("READ_ENABLE_TDC", &Statics::EnableTdc),
    Read("READ_DWELL_TIME", &Statics::DwellTime),
    Read("READ_SETTLE_TIME", &Statics::SettleTime),
    Do("READ_RUN_REQUEST", ReadRunRequest),
    Do("READ_RUN_STATE", ReadRunState),
    Read("READ_QUEUE_LEN", &Statics::QueueLength),
    Read("READ_CHANNEL", &Statics::Channel),
    Read("READ_SCANS", &Statics::Scans),
    Set("DEBUG", StoreValue, &Statics::Debug),
    Set("NUM_CHANS", StoreValue, &Statics::NumChans, 2, 32768, UpdateRampEnd),
    Set("DAC_STEP", StoreValue, &Statics::DacStep, kAny, 32767, UpdateRampEnd),
    Do("SET_DAC", SetDac),
    Set("RAMP_DAC", StoreValue, &Statics::RampDac),
    Do("ENABLE_SCALER", StoreScalerEnable),
    Set("ENABLE_ADC", StoreFlag, &Statics::EnableAdc),
    Set("ENABLE_TDC", StoreFlag, &Statics::EnableTdc),
    Set("DWELL_TIME", StoreValue, &Statics::DwellTime, 1, 1000000),
    Set("SETTLE_TIME", StoreValue, &Statics::SettleTime, kAny, 99999999),
    Do("RUN_REQUEST", RunRequest),
    Do("RUN_STATE", RunState),
    Do("RESET_QUEUE", ResetQueue),
    Do("CHANNEL", MoveToChannel),
    Do("STOP_DAQ_BOARD", StopDaqBoard),
    Read("READ_ADC_METHOD", &Statics::AdcMethod),
    Set("ADC_METHOD", StoreAdcMethod, &Statics::AdcMethod),
};

// The keyword's row, or null when the token is none.
const Keyword *FindKeyword(std::string_view token)
{
    for (const Keyword &k : kKeywords)
        if (token == k.text)
            return &k;
    return nullptr;
}

} // namespace

double DacToMilliVolts(unsigned short dac)
{
    // The converter counts in offset binary: 0x8000 is 0 V.
    auto count = static_cast<unsigned short>(dac + 0x8000);
    float volts = 0.0f;
    if (cbToEngUnits(g_statics->BoardNum, BIP10VOLTS, count, &volts) != 0)
        return kConversionFailed;
    return static_cast<double>(volts) * 1000.0;
}

void UpdateRampEnd()
{
    Statics &s = *g_statics;
    s.RampEndDac = Product16(static_cast<uint16_t>(s.NumChans - 1), s.DacStep);
    s.RampEndMilliVolts = static_cast<float>(DacToMilliVolts(s.RampEndDac));
}

void LockControl()
{
    // A wait that ends without the lock gives one count back so that the
    // command after this one is not locked out as well, and the caller goes
    // on without the lock.
    if (WaitSync(g_sync[SYNC_CTRL], kControlLockTimeoutMs) != WaitStatus::Taken) {
        ReportSystemError();
        ReleaseOrReport(SYNC_CTRL);
    }
}

void UnlockControl() { ReleaseOrReport(SYNC_CTRL); }

int ProcessCommand(char *buffer) { return ProcessCommandIf(buffer, nullptr); }

int ProcessCommandIf(char *buffer, bool (*admit)())
{
    if (g_statics == nullptr)
        AttachSharedMemory();
    if (buffer[0] == '\0')
        return kFail;

    // A text that does not fit the working copy is refused whole rather than
    // cut: a cut operand would carry out a different command.
    char work[kWorkingCopySize];
    std::size_t length = strnlen(buffer, kCommandBufferSize);
    if (length >= sizeof work)
        return kFail;
    std::memcpy(work, buffer, length + 1);

    Tokens tokens{work};
    const Keyword *keyword = FindKeyword(tokens.Next());
    if (keyword == nullptr)
        return kFail;

    LockControl();
    if (admit != nullptr && !admit()) {
        UnlockControl();
        return kNotAdmitted;
    }

    buffer[0] = '\0';
    int result = keyword->perform(*keyword, tokens, buffer);

    UnlockControl();
    return result;
}
