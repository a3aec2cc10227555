// The process variables this server serves, loaded from a small text file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "ca_proto.h"
#include "convert.h"

namespace ca {

constexpr size_t kMaxPvs = 2048;
constexpr size_t kMaxPvName = 64;          // NUL included
constexpr uint32_t kMaxElements = 16777216;  // TYPE[N]: N at most this
constexpr size_t kMaxUnitsText = kMaxUnits - 1;  // what DBR_GR carries of EGU

// The record an IOC serves a PV from; it decides the alarms, what a
// monitor is posted on and DBR_CLASS_NAME.
enum RecordKind : uint8_t { REC_AI, REC_LONGIN, REC_STRINGIN, REC_MBBI, REC_WAVEFORM };

// How a channel sees its PV: the value itself, or (NAME.VAL$ of a string
// PV) the string field as a char array of 40 elements.
enum View : uint8_t { VIEW_VALUE, VIEW_LONG_STRING };

struct Pv {
    char name[kMaxPvName];
    Value value;                 // native type is value.type; the value of a one-element PV
    RecordKind record;
    uint32_t nelm;               // element count: N of TYPE[N], else 1
    uint32_t nord;               // an array's current length (1 for one-element PVs)
    uint8_t* elements;           // an array's nelm elements in wire form; null when nelm is 1
    int precision;               // prec=N (default 0, an ai record's PREC)
    unsigned n_states;           // states=A,B,... for enum PVs
    char states[kMaxEnumStates][kMaxEnumString];
    char units[kMaxUnits];       // units=TEXT (EGU)
    double disp_lo, disp_hi;     // disp=LO,HI (LOPR, HOPR): display and control limits
    double lolo, low, high, hihi;  // alarm=LOLO,HIHI and warn=LOW,HIGH; NaN when not set
    bool no_read, no_write, no_answer, reject_put;
    uint32_t delay_ms;           // delay=MS: reads answered this late
    int32_t delayed_reads_left;  // delay=MS/N: N; -1 = every read
    uint32_t put_delay_ms;       // putdelay=MS: processing of a write takes this long
    int64_t busy_until_ms;       // the processing of the last write runs until then
    bool reprocess;              // a write came meanwhile: it is processed once more then
    int64_t count_us;            // count=US: incremented every US microseconds; -1 = not
    int64_t next_count_us;       // when it is next incremented
    int64_t stamp_sec, stamp_nsec;  // time of the last change (Unix time)
    int16_t alarm_status, alarm_severity;  // as the record's STAT and SEVR
    int16_t unacked_severity;    // ACKS: highest severity not acknowledged
    uint16_t post_mask;          // what the last write posts (EventMask bits, 0: nothing)
};

// EPICS alarm status codes (alarm.h) and severities.
enum AlarmStatus : int16_t {
    NO_ALARM = 0, READ_ALARM, WRITE_ALARM, HIHI_ALARM, HIGH_ALARM, LOLO_ALARM, LOW_ALARM,
    STATE_ALARM, COS_ALARM, COMM_ALARM, TIMEOUT_ALARM, HWLIMIT_ALARM, CALC_ALARM,
    SCAN_ALARM, LINK_ALARM, SOFT_ALARM, BAD_SUB_ALARM, UDF_ALARM,
};
enum AlarmSeverity : int16_t { SEVERITY_NONE = 0, SEVERITY_MINOR, SEVERITY_MAJOR, SEVERITY_INVALID };

// Reads the PV file. On failure returns false with "FILE:LINE: what" in err.
bool load_pvs(const char* path, char* err, size_t err_size);

size_t pv_count();
Pv& pv_at(size_t index);
int find_pv(std::string_view name);  // -1 when not served
// A channel name: NAME, NAME.VAL, or NAME.VAL$ of a string PV (view
// VIEW_LONG_STRING). -1 when not served.
int find_channel(std::string_view name, View& view);

// What a channel shows: its native type and element count.
DbrType view_type(const Pv& pv, View view);
uint32_t view_count(const Pv& pv, View view);

// Writes count elements (count > 0; an array takes at most its nelm, a
// one-element PV its first) of plain DBR type into the PV, converting them
// to the native type; wire holds them (avail bytes, the last string may end
// at its NUL). Sets the time stamp, the alarm and post_mask. Returns
// ECA_NORMAL, ECA_BADCOUNT when wire holds fewer values, or ECA_PUTFAIL
// when one does not convert (nothing is changed then). An array also takes
// count 0: it is then empty.
EcaStatus pv_write(Pv& pv, View view, DbrType type, uint32_t count, const uint8_t* wire,
                   size_t avail);

// One step of count=US: the value goes up by one (wrapping as the type
// does), with time stamp, alarm and post_mask.
void pv_count_step(Pv& pv);

// Computes the alarm status and severity of the PV's value as its record
// does; adds DBE_ALARM to post_mask when they change.
void update_alarm(Pv& pv);

// The shape of a read answer: its element count (what the header says),
// the elements that carry the value (the rest are zero) and the payload
// size before padding.
struct ReadShape {
    uint32_t count;
    uint32_t filled;
    size_t size;
};
// count is the requested count; 0 asks for the current length.
ReadShape read_shape(const Pv& pv, View view, uint16_t type, uint32_t count);

// Encodes the PV as DBR type into out (shape.size bytes, written whole);
// status is ECA_GETFAIL when the value does not convert (value left zero).
// Returns false for a type it cannot encode.
bool pv_encode(const Pv& pv, View view, uint16_t type, const ReadShape& shape, uint8_t* out,
               EcaStatus& status);

const char* native_type_name(DbrType type);
const char* record_name(RecordKind record);
ConvertContext context_of(const Pv& pv);

// Writes an EPICS database (db) and an access security file (acf) with which
// a soft IOC serves the loaded PVs with the same native types, values,
// precision, enum states and access rights, and (init) the start values a
// database cannot hold: longer arrays, one a line "NAME N V,V,...", which
// softioc_server.py writes once the IOC runs. noanswer and delay= have no
// IOC form: those PVs are served normally. Any file may be null. On failure
// (a value no database can hold, or a write error) returns false with the
// reason in err.
bool write_ioc_files(FILE* db, FILE* acf, FILE* init, char* err, size_t err_size);

// The largest start value an IOC database holds in a constant link: its
// parser overflows on longer lists.
constexpr uint32_t kMaxConstElements = 200;

}  // namespace ca
