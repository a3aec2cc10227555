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

// The control block, one row per field: its type, name and byte offset, and
// which name table, if any, names its values for the operator (None,
// RunState, RunRequest, DriverCommand).  The struct, the checks of every
// offset and vantorq-status's field table are all made from this list.
//   FIELD(type, name, offset, names)   RESERVED(offset, bytes)   SCALERS(offset)
#define VANTORQ_STATICS_FIELDS(FIELD, RESERVED, SCALERS)                                          \
    FIELD(int32_t, Debug, 0, None)                   /* debug level */                           \
    FIELD(int32_t, SyncReady, 4, None)               /* 1 once the synchronisation objects exist */ \
    FIELD(int32_t, DriverCommand, 8, DriverCommand)  /* command code for the driver */           \
    RESERVED(12, 4)                                                                               \
    FIELD(int32_t, QueueCount1, 16, None)                                                         \
    FIELD(int32_t, QueueCount2, 20, None)                                                         \
    FIELD(int32_t, QueueCount3, 24, None)            /* reported by READ_STATUS */             \
    FIELD(int32_t, QueueLength, 28, None)            /* READ_QUEUE_LEN */                        \
    FIELD(int32_t, QueueReset, 32, None)             /* set to 1 by RESET_QUEUE for the driver */ \
    FIELD(int32_t, BoardNum, 36, None)               /* driver: board number for the library */  \
    FIELD(int32_t, ChannelRequest, 40, None)                                                      \
    FIELD(int32_t, Channel, 44, None)                /* current scan channel */                  \
    FIELD(int32_t, ActiveNumChans, 48, None)         /* driver */                                \
    FIELD(int32_t, ActiveDwellTime, 52, None)        /* driver */                                \
    FIELD(int32_t, ActiveSettleTime, 56, None)       /* driver */                                \
    FIELD(int32_t, Scans, 60, None)                  /* driver: scan count */                    \
    FIELD(int32_t, RunRequest, 64, RunRequest)       /* pending run request */                   \
    FIELD(int32_t, SavedRequest, 68, RunRequest)     /* request saved by RUN_PAUSE_NOW */        \
    FIELD(int32_t, RunState, 72, RunState)                                                        \
    FIELD(int32_t, ForcedState, 76, RunState)        /* state for RUN_FORCE_STATE */             \
    FIELD(int32_t, NumChans, 80, None)               /* new setting */                           \
    FIELD(int32_t, DwellTime, 84, None)              /* new setting, microseconds */             \
    FIELD(int32_t, SettleTime, 88, None)             /* new setting, microseconds */             \
    FIELD(uint16_t, DacStep, 92, None)               /* new setting */                           \
    FIELD(uint16_t, RampEndDac, 94, None)            /* derived from the new settings */         \
    FIELD(float, RampEndMilliVolts, 96, None)        /* derived from the new settings */         \
    SCALERS(100)                                     /* four ScalerRecords */                    \
    RESERVED(148, 20)                                                                             \
    FIELD(int32_t, EnableAdc, 168, None)                                                          \
    RESERVED(172, 20)                                                                             \
    FIELD(int32_t, EnableTdc, 192, None)                                                          \
    RESERVED(196, 36)                                                                             \
    FIELD(uint16_t, PreviousDac, 232, None)                                                       \
    FIELD(uint16_t, Dac, 234, None)                  /* DAC value the driver is to output */     \
    RESERVED(236, 2)                                                                              \
    FIELD(uint16_t, ActiveDacStep, 238, None)        /* driver */                                \
    FIELD(uint16_t, ActiveRampEndDac, 240, None)     /* driver */                                \
    RESERVED(242, 2)                                                                              \
    FIELD(float, ActiveRampEndMilliVolts, 244, None) /* driver */                                \
    FIELD(int32_t, RampDac, 248, None)                                                            \
    RESERVED(252, 4)                                                                              \
    FIELD(int32_t, AdcMethod, 256, None)             /* 1, 2 or 3 */

constexpr int kScalerCount = 4;

#define VANTORQ_DECLARE_FIELD(type, name, offset, names) type name;
#define VANTORQ_DECLARE_RESERVED(offset, bytes) uint8_t reserved##offset[bytes];
#define VANTORQ_DECLARE_SCALERS(offset) ScalerRecord Scaler[kScalerCount];
struct Statics {
    VANTORQ_STATICS_FIELDS(VANTORQ_DECLARE_FIELD, VANTORQ_DECLARE_RESERVED, VANTORQ_DECLARE_SCALERS)
};
#undef VANTORQ_DECLARE_FIELD
#undef VANTORQ_DECLARE_RESERVED
#undef VANTORQ_DECLARE_SCALERS

static_assert(sizeof(float) == 4, "the block holds IEEE singles");
static_assert(sizeof(ScalerRecord) == 12);
#define VANTORQ_CHECK_FIELD(type, name, offset, names) \
    static_assert(offsetof(Statics, name) == (offset), #name " is at " #offset);
#define VANTORQ_CHECK_RESERVED(offset, bytes) \
    static_assert(offsetof(Statics, reserved##offset) == (offset), "reserved bytes at " #offset);
#define VANTORQ_CHECK_SCALERS(offset) static_assert(offsetof(Statics, Scaler) == (offset), "Scaler is at " #offset);
VANTORQ_STATICS_FIELDS(VANTORQ_CHECK_FIELD, VANTORQ_CHECK_RESERVED, VANTORQ_CHECK_SCALERS)
#undef VANTORQ_CHECK_FIELD
#undef VANTORQ_CHECK_RESERVED
#undef VANTORQ_CHECK_SCALERS
static_assert(sizeof(Statics) == 260, "the control block is 260 bytes");

// Segment sizes used by the extension; the system is asked for one byte more.
constexpr std::size_t kStaticsSize = 260;
constexpr std::size_t kQueueSize = 576;

// Command codes written to DriverCommand just before "/Cmnd_Sem" is released.
// DRIVER_DROPPED is no command: the driver simulator writes it over a command
// that was posted before it started and that it dropped without acting on it.
enum DriverCommandCode : int32_t {
    DRIVER_DROPPED = -1,
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

constexpr NamedValue kDriverCommands[] = {
    {"DRIVER_START", DRIVER_START},
    {"DRIVER_RESUME", DRIVER_RESUME},
    {"DRIVER_STOP", DRIVER_STOP},
    {"DRIVER_SET_DAC", DRIVER_SET_DAC},
    {"DRIVER_WAKE_UP", DRIVER_WAKE_UP},
    {"DRIVER_DROPPED", DRIVER_DROPPED},
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
