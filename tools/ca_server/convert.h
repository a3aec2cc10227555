// Value conversions between DBR types, following what an EPICS IOC does
// when a client reads a field as another type or writes one with another type.
#pragma once

#include <cstdint>

#include "ca_proto.h"

namespace ca {

// One scalar value of a plain DBR type. Integer types live in i (a native
// char is kept signed, a char from the wire unsigned, as the IOC does).
struct Value {
    DbrType type = DBR_LONG;
    int32_t i = 0;
    float f = 0;
    double d = 0;
    char s[kMaxString] = {};
};

// What a conversion needs to know about the field it reads or writes.
struct ConvertContext {
    int precision = 0;                 // digits for floating values shown as text
    unsigned n_states = 0;             // enum state strings, if any
    const char (*states)[kMaxEnumString] = nullptr;
};

// Converts from into type to. False when the text cannot be converted
// (no number at all, or out of range for the target type).
bool convert(const Value& from, DbrType to, const ConvertContext& ctx, Value& out);

// Wire form of a plain value (big-endian; strings are 40 bytes).
void decode_value(DbrType type, const uint8_t* p, Value& out);
void encode_value(const Value& v, uint8_t* p);

// The IOC's fixed-point text for floating values (cvtDoubleToString and
// cvtFloatToString): fixed point with precision digits, an exponent only for
// huge values or precision above 8.
void format_double(double v, unsigned precision, char* out, unsigned out_size);
void format_float(float v, unsigned precision, char* out, unsigned out_size);

}  // namespace ca
