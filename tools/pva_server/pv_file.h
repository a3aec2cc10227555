// The PV file of pva_server: one PV a line (see README.md).
//   NAME KIND [VALUE] [OPTION ...]
#pragma once

#include <pv/pvIntrospect.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pvs {

enum class Kind { Scalar, Array, Enum, Table, Image, Struct };

// A column of a table, or a field of a plain structure (PATH:TYPE=VALUE).
struct FieldSpec {
    std::string path;        // "x", or "pos.limits.low" in a structure
    epics::pvData::ScalarType type;
    bool array;
    std::string value;       // comma-separated for arrays and columns
};

struct PvSpec {
    std::string name;
    Kind kind = Kind::Scalar;
    epics::pvData::ScalarType type = epics::pvData::pvDouble;  // value, or image element
    std::string value;                  // scalar, array, enum start value
    std::vector<FieldSpec> fields;      // table columns, structure fields
    std::vector<std::string> choices;   // enum

    // NTScalar and NTScalarArray metadata
    std::string units, description, format, message;
    bool has_limits = false;
    double low = 0, high = 0, step = 0;
    int severity = 0, status = 0;

    // NTNDArray
    std::vector<size_t> dims;           // fastest varying first
    std::string codec;                  // a label only: the data stays raw

    // behaviour
    bool readonly = false;
    int put_delay_ms = 0;
    double rate_hz = 0;                 // 0: never posts by itself; <0: back to back
    std::string where;                  // "FILE:LINE" or "-e #N", for messages
};

// The element type named (pvData names and sized names: uint16, float64...).
bool scalar_type(std::string_view name, epics::pvData::ScalarType& type);

// Splits text at commas; "" gives no item.
std::vector<std::string> split_list(std::string_view text);

// One line; false with the reason in err.  A blank or comment line gives
// true with an empty name.
bool parse_pv_line(std::string_view line, PvSpec& pv, char* err, size_t errlen);

// A whole file; false with "FILE:LINE: reason" in err.
bool load_pv_file(const char* path, std::vector<PvSpec>& pvs, char* err, size_t errlen);

}  // namespace pvs
