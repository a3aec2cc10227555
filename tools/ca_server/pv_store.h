// The process variables this server serves, loaded from a small text file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "ca_proto.h"
#include "convert.h"

namespace ca {

constexpr size_t kMaxPvs = 256;
constexpr size_t kMaxPvName = 64;  // NUL included

struct Pv {
    char name[kMaxPvName];
    Value value;                 // native type is value.type
    int precision;               // prec=N (default 0, an ai record's PREC)
    unsigned n_states;           // states=A,B,... for enum PVs
    char states[kMaxEnumStates][kMaxEnumString];
    bool no_read, no_write, no_answer;
    uint32_t delay_ms;           // delay=MS: reads answered this late
    int32_t delayed_reads_left;  // delay=MS/N: N; -1 = every read
    int64_t stamp_sec, stamp_nsec;  // time of the last change (Unix time)
    int16_t alarm_status, alarm_severity;  // as the record's STAT and SEVR
    int16_t unacked_severity;    // ACKS: highest severity not acknowledged
    bool monitor_due;            // the last write is one a value monitor sees
};

constexpr int16_t kAlarmUdf = 17;         // UDF_ALARM
constexpr int16_t kSeverityInvalid = 3;   // INVALID_ALARM

// Reads the PV file. On failure returns false with "FILE:LINE: what" in err.
bool load_pvs(const char* path, char* err, size_t err_size);

size_t pv_count();
Pv& pv_at(size_t index);
int find_pv(std::string_view name);  // -1 when not served

// Writes one element of a plain DBR type into the PV, converting it to the
// native type, and sets monitor_due. Returns ECA_NORMAL, or ECA_PUTFAIL
// when it cannot convert.
EcaStatus pv_write(Pv& pv, DbrType type, const uint8_t* wire_value);

// Encodes the PV as DBR type (one element) into out (zeroed, padded to 8
// bytes); returns the padded size, or 0 for a type it cannot encode.
// status is ECA_GETFAIL when the value does not convert (value left zero).
size_t pv_encode(const Pv& pv, uint16_t type, uint8_t* out, size_t cap, EcaStatus& status);

const char* native_type_name(DbrType type);

// Writes an EPICS database (db) and an access security file (acf) with which
// a soft IOC serves the loaded PVs with the same native types, values,
// precision, enum states and access rights. noanswer and delay= have no IOC
// form: those PVs are served normally. Either file may be null. On failure
// (a value no database can hold, or a write error) returns false with the
// reason in err.
bool write_ioc_files(FILE* db, FILE* acf, char* err, size_t err_size);

}  // namespace ca
