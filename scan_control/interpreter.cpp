// The command interpreter: one line of command text such as "DWELL_TIME 200"
// or "READ_STATUS", looked up in the keyword table and carried out on the
// shared control block under the control lock "/Ctrl_Sem".  The reply is
// written into the buffer that held the command.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_library.h"
#include "scan_control.h"

namespace {

enum CommandCode : int {
    READ_STATUS = 64,
    READ_DEBUG_STATUS = 65,
    READ_ACTIVE_SETTINGS = 66,
    READ_NEW_SETTINGS = 67,
    READ_SCANS = 68,
    READ_DEBUG = 80,
    READ_NUM_CHANS = 81,
    READ_DAC_STEP = 82,
    READ_DAC = 83,
    READ_RAMP_DAC = 84,
    READ_ENABLE_SCALER = 85,
    READ_ENABLE_ADC = 86,
    READ_ENABLE_TDC = 87,
    READ_DWELL_TIME = 88,
    READ_SETTLE_TIME = 89,
    READ_RUN_REQUEST = 90,
    READ_RUN_STATE = 91,
    READ_QUEUE_LEN = 92,
    READ_CHANNEL = 93,
    DEBUG = 112,
    NUM_CHANS = 113,
    DAC_STEP = 114,
    SET_DAC = 115,
    RAMP_DAC = 116,
    ENABLE_SCALER = 117,
    ENABLE_ADC = 118,
    ENABLE_TDC = 119,
    DWELL_TIME = 120,
    SETTLE_TIME = 121,
    RUN_REQUEST = 122,
    RUN_STATE = 123,
    RESET_QUEUE = 124,
    CHANNEL = 125,
    STOP_DAQ_BOARD = 144,
    READ_ADC_METHOD = 208,
    ADC_METHOD = 224,
    END_OF_TABLE = 255,
};

struct Keyword {
    std::string_view text;   // empty: the end of the table
    CommandCode code;
};

constexpr Keyword kKeywords[] = {
    {"READ_STATUS", READ_STATUS},
    {"READ_DEBUG_STATUS", READ_DEBUG_STATUS},
    {"READ_ACTIVE_SETTINGS", READ_ACTIVE_SETTINGS},
    {"READ_NEW_SETTINGS", READ_NEW_SETTINGS},
    {"READ_DEBUG", READ_DEBUG},
    {"READ_NUM_CHANS", READ_NUM_CHANS},
    {"READ_DAC_STEP", READ_DAC_STEP},
    {"READ_DAC", READ_DAC},
    {"READ_RAMP_DAC", READ_RAMP_DAC},
    {"READ_ENABLE_SCALER", READ_ENABLE_SCALER},
    {"READ_ENABLE_ADC", READ_ENABLE_ADC},
    {"READ_ENABLE_TDC", READ_ENABLE_TDC},
    {"READ_DWELL_TIME", READ_DWELL_TIME},
    {"READ_SETTLE_TIME", READ_SETTLE_TIME},
    {"READ_RUN_REQUEST", READ_RUN_REQUEST},
    {"READ_RUN_STATE", READ_RUN_STATE},
    {"READ_QUEUE_LEN", READ_QUEUE_LEN},
    {"READ_CHANNEL", READ_CHANNEL},
    {"READ_SCANS", READ_SCANS},
    {"DEBUG", DEBUG},
    {"NUM_CHANS", NUM_CHANS},
    {"DAC_STEP", DAC_STEP},
    {"SET_DAC", SET_DAC},
    {"RAMP_DAC", RAMP_DAC},
    {"ENABLE_SCALER", ENABLE_SCALER},
    {"ENABLE_ADC", ENABLE_ADC},
    {"ENABLE_TDC", ENABLE_TDC},
    {"DWELL_TIME", DWELL_TIME},
    {"SETTLE_TIME", SETTLE_TIME},
    {"RUN_REQUEST", RUN_REQUEST},
    {"RUN_STATE", RUN_STATE},
    {"RESET_QUEUE", RESET_QUEUE},
    {"CHANNEL", CHANNEL},
    {"STOP_DAQ_BOARD", STOP_DAQ_BOARD},
    {"READ_ADC_METHOD", READ_ADC_METHOD},
    {"ADC_METHOD", ADC_METHOD},
    {{}, END_OF_TABLE},
};

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

CommandCode FindKeyword(std::string_view token)
{
    for (const Keyword *k = kKeywords; !k->text.empty(); ++k)
        if (token == k->text)
            return k->code;
    return END_OF_TABLE;
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

// Every value goes in with one leading space; 16-bit fields print unsigned.
void AppendInt(char *reply, int32_t value) { Append(reply, " %d", value); }
void AppendUnsigned16(char *reply, uint16_t value) { Append(reply, " %d", static_cast<int>(value)); }

int SetDac(Tokens &tokens)
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

int MoveToChannel(Tokens &tokens)
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

void ResetQueue()
{
    Statics &s = *g_statics;
    s.QueueCount3 = 0;
    s.QueueCount2 = 0;
    s.QueueCount1 = 0;
    s.QueueLength = 0;
    s.QueueReset = 1;
}

// Reads the scaler index (1 to 4) and gives the scaler's record, or null.
ScalerRecord *Scaler(Tokens &tokens)
{
    int32_t index = 0;
    if (!tokens.NextNumber(index) || index < 1 || index > 4)
        return nullptr;
    return &g_statics->Scaler[index - 1];
}

// The keywords that store one number, with the values they accept.
struct Range {
    CommandCode code;
    int32_t low, high;
};

constexpr Range kRanges[] = {
    {NUM_CHANS, 2, 32768},
    {DAC_STEP, INT32_MIN, 32767},
    {DWELL_TIME, 1, 1000000},
    {SETTLE_TIME, INT32_MIN, 99999999},
};

// Reads the operand of a setting and checks its range; false when it is
// missing, holds no number or is out of range.
bool SettingOperand(CommandCode code, Tokens &tokens, int32_t &value)
{
    if (!tokens.NextNumber(value))
        return false;
    for (const Range &r : kRanges)
        if (r.code == code)
            return value >= r.low && value <= r.high;
    return true;
}

void StoreSetting(CommandCode code, int32_t value)
{
    Statics &s = *g_statics;
    switch (code) {
    case DEBUG: s.Debug = value; break;
    case NUM_CHANS: s.NumChans = value; UpdateRampEnd(); break;
    case DAC_STEP: s.DacStep = static_cast<uint16_t>(value); UpdateRampEnd(); break;
    case RAMP_DAC: s.RampDac = value; break;
    case ENABLE_ADC: s.EnableAdc = value != 0 ? 1 : 0; break;
    case ENABLE_TDC: s.EnableTdc = value != 0 ? 1 : 0; break;
    case DWELL_TIME: s.DwellTime = value; break;
    case SETTLE_TIME: s.SettleTime = value; break;
    case ADC_METHOD: s.AdcMethod = value >= 1 && value <= 3 ? value : 3; break;
    default: break;
    }
}

// Carries out one keyword with the lock held.  `reply` is empty on entry.
int Perform(CommandCode code, Tokens &tokens, char *reply)
{
    Statics &s = *g_statics;
    int32_t value = 0;
    switch (code) {
    case READ_STATUS:
        Append(reply, " %d %d %d %g %d %d %d", s.RunState, s.RunRequest, s.Channel, DacToMilliVolts(s.Dac),
               static_cast<int>(s.Dac), s.QueueCount3, s.Scans);
        return kOk;
    case READ_ACTIVE_SETTINGS:
        AppendSettings(reply, s.ActiveNumChans, s.ActiveDacStep, s.ActiveRampEndDac, s.ActiveRampEndMilliVolts,
                       s.ActiveDwellTime, s.ActiveSettleTime);
        return kOk;
    case READ_NEW_SETTINGS:
        AppendSettings(reply, s.NumChans, s.DacStep, s.RampEndDac, s.RampEndMilliVolts, s.DwellTime, s.SettleTime);
        return kOk;
    case READ_DEBUG_STATUS:
    case READ_DEBUG: AppendInt(reply, s.Debug); return kOk;
    case READ_NUM_CHANS: AppendInt(reply, s.NumChans); return kOk;
    case READ_DAC_STEP: AppendUnsigned16(reply, s.DacStep); return kOk;
    case READ_DAC: AppendUnsigned16(reply, s.Dac); return kOk;
    case READ_RAMP_DAC: AppendInt(reply, s.RampDac); return kOk;
    case READ_ENABLE_ADC: AppendInt(reply, s.EnableAdc); return kOk;
    case READ_ENABLE_TDC: AppendInt(reply, s.EnableTdc); return kOk;
    case READ_DWELL_TIME: AppendInt(reply, s.DwellTime); return kOk;
    case READ_SETTLE_TIME: AppendInt(reply, s.SettleTime); return kOk;
    case READ_QUEUE_LEN: AppendInt(reply, s.QueueLength); return kOk;
    case READ_CHANNEL: AppendInt(reply, s.Channel); return kOk;
    case READ_SCANS: AppendInt(reply, s.Scans); return kOk;
    case READ_ADC_METHOD: AppendInt(reply, s.AdcMethod); return kOk;
    case READ_RUN_REQUEST:
        Append(reply, " %s", NameOf(kRunRequests, s.RunRequest, "Unknown Run Request"));
        return kOk;
    case READ_RUN_STATE:
        Append(reply, " %s", NameOf(kRunStates, s.RunState, "Unknown Run State"));
        return kOk;
    case READ_ENABLE_SCALER: {
        ScalerRecord *scaler = Scaler(tokens);
        if (scaler == nullptr)
            return kFail;
        AppendInt(reply, scaler->Enable);
        return kOk;
    }
    case ENABLE_SCALER: {
        ScalerRecord *scaler = Scaler(tokens);
        if (scaler == nullptr || !tokens.NextNumber(value))
            return kFail;
        scaler->Enable = value;
        return kOk;
    }
    case DEBUG:
    case NUM_CHANS:
    case DAC_STEP:
    case RAMP_DAC:
    case ENABLE_ADC:
    case ENABLE_TDC:
    case DWELL_TIME:
    case SETTLE_TIME:
    case ADC_METHOD:
        if (!SettingOperand(code, tokens, value))
            return kFail;
        StoreSetting(code, value);
        return kOk;
    case SET_DAC: return SetDac(tokens);
    case CHANNEL: return MoveToChannel(tokens);
    case RESET_QUEUE: ResetQueue(); return kOk;
    case RUN_REQUEST: return RunRequestCommand(tokens.Next());
    case RUN_STATE: return RunStateCommand(tokens.Next());
    case STOP_DAQ_BOARD: return StopBoard();
    case END_OF_TABLE: break;
    }
    return kFail;
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

int ProcessCommand(char *buffer)
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
    std::string_view keyword = tokens.Next();
    CommandCode code = keyword.empty() ? END_OF_TABLE : FindKeyword(keyword);
    if (code == END_OF_TABLE)
        return kFail;

    // Take the control lock.  A wait that ends without it gives one count
    // back so that the command after this one is not locked out as well,
    // and the command goes on without the lock.
    if (WaitSync(g_sync[SYNC_CTRL], kControlLockTimeoutMs) != WaitStatus::Taken) {
        ReportSystemError();
        ReleaseOrReport(SYNC_CTRL);
    }

    buffer[0] = '\0';
    int result = Perform(code, tokens, buffer);

    ReleaseOrReport(SYNC_CTRL);
    return result;
}
