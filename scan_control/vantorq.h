// Vantorq: scan control through the data-acquisition driver's shared block.
//
// The control block `Statics` is the contract with the driver process and with
// every other client: a packed little-endian record of 260 bytes whose layout
// is fixed to the byte.  Fields marked "driver" are written by the driver and
// only read here; reserved bytes belong to the driver and are never touched.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct ScalerRecord {
    int32_t Enable;            // scaler enable word
    uint8_t reserved[8];
};

struct Statics {
    int32_t Debug;                    //   0 debug level
    int32_t SyncReady;                //   4 1 once the synchronisation objects exist
    int32_t DriverCommand;            //   8 command code for the driver (DriverCommandCode)
    uint8_t reserved12[4];            //  12
    int32_t QueueCount1;              //  16
    int32_t QueueCount2;              //  20
    int32_t QueueCount3;              //  24 reported by READ_STATUS
    int32_t QueueLength;              //  28
    int32_t QueueReset;               //  32 set to 1 by RESET_QUEUE for the driver
    int32_t BoardNum;                 //  36 driver: board number for the board library
    int32_t ChannelRequest;           //  40
    int32_t Channel;                  //  44 current scan channel
    int32_t ActiveNumChans;           //  48 driver
    int32_t ActiveDwellTime;          //  52 driver
    int32_t ActiveSettleTime;         //  56 driver
    int32_t Scans;                    //  60 driver: scan count
    int32_t RunRequest;               //  64 pending run request (RunRequestCode)
    int32_t SavedRequest;             //  68 request saved by RUN_PAUSE_NOW
    int32_t RunState;                 //  72 RunStateCode
    int32_t ForcedState;              //  76 state for RUN_FORCE_STATE
    int32_t NumChans;                 //  80 new setting
    int32_t DwellTime;                //  84 new setting
    int32_t SettleTime;               //  88 new setting
    uint16_t DacStep;                 //  92 new setting
    uint16_t RampEndDac;              //  94 derived from the new settings
    float RampEndMilliVolts;          //  96 derived from the new settings
    ScalerRecord Scaler[4];           // 100
    uint8_t reserved148[20];          // 148
    int32_t EnableAdc;                // 168
    uint8_t reserved172[20];          // 172
    int32_t EnableTdc;                // 192
    uint8_t reserved196[36];          // 196
    uint16_t PreviousDac;             // 232
    uint16_t Dac;                     // 234 DAC value the driver is to output
    uint8_t reserved236[2];           // 236
    uint16_t ActiveDacStep;           // 238 driver
    uint16_t ActiveRampEndDac;        // 240 driver
    uint8_t reserved242[2];           // 242
    float ActiveRampEndMilliVolts;    // 244 driver
    int32_t RampDac;                  // 248
    uint8_t reserved252[4];           // 252
    int32_t AdcMethod;                // 256 1, 2 or 3
};

static_assert(sizeof(float) == 4, "the block holds IEEE singles");
static_assert(sizeof(ScalerRecord) == 12);
static_assert(offsetof(Statics, Debug) == 0);
static_assert(offsetof(Statics, SyncReady) == 4);
static_assert(offsetof(Statics, DriverCommand) == 8);
static_assert(offsetof(Statics, QueueCount1) == 16);
static_assert(offsetof(Statics, QueueCount2) == 20);
static_assert(offsetof(Statics, QueueCount3) == 24);
static_assert(offsetof(Statics, QueueLength) == 28);
static_assert(offsetof(Statics, QueueReset) == 32);
static_assert(offsetof(Statics, BoardNum) == 36);
static_assert(offsetof(Statics, ChannelRequest) == 40);
static_assert(offsetof(Statics, Channel) == 44);
static_assert(offsetof(Statics, ActiveNumChans) == 48);
static_assert(offsetof(Statics, ActiveDwellTime) == 52);
static_assert(offsetof(Statics, ActiveSettleTime) == 56);
static_assert(offsetof(Statics, Scans) == 60);
static_assert(offsetof(Statics, RunRequest) == 64);
static_assert(offsetof(Statics, SavedRequest) == 68);
static_assert(offsetof(Statics, RunState) == 72);
static_assert(offsetof(Statics, ForcedState) == 76);
static_assert(offsetof(Statics, NumChans) == 80);
static_assert(offsetof(Statics, DwellTime) == 84);
static_assert(offsetof(Statics, SettleTime) == 88);
static_assert(offsetof(Statics, DacStep) == 92);
static_assert(offsetof(Statics, RampEndDac) == 94);
static_assert(offsetof(Statics, RampEndMilliVolts) == 96);
static_assert(offsetof(Statics, Scaler) == 100);
static_assert(offsetof(Statics, EnableAdc) == 168);
static_assert(offsetof(Statics, EnableTdc) == 192);
static_assert(offsetof(Statics, PreviousDac) == 232);
static_assert(offsetof(Statics, Dac) == 234);
static_assert(offsetof(Statics, ActiveDacStep) == 238);
static_assert(offsetof(Statics, ActiveRampEndDac) == 240);
static_assert(offsetof(Statics, ActiveRampEndMilliVolts) == 244);
static_assert(offsetof(Statics, RampDac) == 248);
static_assert(offsetof(Statics, AdcMethod) == 256);
static_assert(sizeof(Statics) == 260, "the control block is 260 bytes");

// Segment sizes used by the extension; the system is asked for one byte more.
constexpr std::size_t kStaticsSize = 260;
constexpr std::size_t kQueueSize = 576;

// Command codes written to DriverCommand just before "/Cmnd_Sem" is released.
enum DriverCommandCode : int32_t {
    DRIVER_START = 0,
    DRIVER_RESUME = 1,
    DRIVER_STOP = 2,
    DRIVER_SET_DAC = 3,
    DRIVER_WAKE_UP = 4,
};

enum RunStateCode : int32_t {
    RUN_HALTED = 0,
    RUN_GOING = 1,
    RUN_PAUSED = 2,
};

enum RunRequestCode : int32_t {
    RUN_NO_REQUEST = 0,
    RUN_START = 1,
    RUN_RESUME = 2,
    RUN_STOP_NOW = 3,
    RUN_STOP_AT_END = 4,
    RUN_PAUSE_NOW = 5,
    RUN_PAUSE_AT_END = 6,
    RUN_WAKE_UP = 7,
    RUN_FORCE_STATE = 100,
};

// A name table: ordered (name, value) pairs ended by a pair with no name and -1.
struct NamedValue {
    const char *name;
    int32_t value;
};

// The name of the first entry with the value, or `unknown` when none has it.
inline const char *NameOf(const NamedValue *table, int32_t value, const char *unknown)
{
    for (const NamedValue *entry = table; entry->name != nullptr; ++entry)
        if (entry->value == value)
            return entry->name;
    return unknown;
}

constexpr NamedValue kRunStates[] = {
    {"RUN_HALTED", RUN_HALTED},
    {"RUN_GOING", RUN_GOING},
    {"RUN_PAUSED", RUN_PAUSED},
    {nullptr, -1},
};

constexpr NamedValue kRunRequests[] = {
    {"RUN_START", RUN_START},
    {"RUN_RESUME", RUN_RESUME},
    {"RUN_STOP_NOW", RUN_STOP_NOW},
    {"RUN_STOP_AT_END", RUN_STOP_AT_END},
    {"RUN_PAUSE_NOW", RUN_PAUSE_NOW},
    {"RUN_PAUSE_AT_END", RUN_PAUSE_AT_END},
    {"RUN_FORCE_STATE", RUN_FORCE_STATE},
    {"RUN_WAKE_UP", RUN_WAKE_UP},
    {"RUN_NO_REQUEST", RUN_NO_REQUEST},
    {nullptr, -1},
};

// The five named synchronisation objects, in the order they are created or
// opened.  The two events are auto-reset and start unsignalled.
enum SyncIndex { SYNC_RUN, SYNC_DATA, SYNC_CMND, SYNC_CTRL, SYNC_STATE, SYNC_COUNT };

struct SyncSpec {
    const char *name;
    SyncKind kind;
    int32_t initial;
    int32_t maximum;
};

constexpr SyncSpec kSyncObjects[SYNC_COUNT] = {
    {"/Run_Sem", SyncKind::Event, 0, 1},
    {"/Data_Sem", SyncKind::Event, 0, 1},
    {"/Cmnd_Sem", SyncKind::Semaphore, 0, 1},
    {"/Ctrl_Sem", SyncKind::Semaphore, 1, 1},
    {"/State_Sem", SyncKind::Semaphore, 1, 1},
};

// Logical names of the two shared segments ("SHM_%s" with the short name).
constexpr const char *kStaticsName = "SHM_Statics";
constexpr const char *kQueueName = "SHM_Queue";

// Removes the names of the block's segments and objects in the current
// namespace, where names outlive their users (tools and tests).
inline void RemoveBlockObjects()
{
    RemoveNamedMemory(kStaticsName);
    RemoveNamedMemory(kQueueName);
    for (const SyncSpec &spec : kSyncObjects)
        RemoveNamedSync(spec.name);
    RemovePlatformObjects();
}
