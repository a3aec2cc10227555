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
    bool enum_field = false;           // the field is an enum (an mbbi record's value)
    const char (*states)[kMaxEnumString] = nullptr;  // its 16 state strings ("" when unset)
    bool array = false;                // the field is an array: an empty text is no number
};

// Converts from into type to. False when the conversion fails, as the IOC's
// does: a text that is not a number (or out of range for the type), a text
// that is neither a state nor a state's index of an enum field, and any
// text read as an enum from a field that is not one.
bool convert(const Value& from, DbrType to, const ConvertContext& ctx, Value& out);

// A float-to-integer cast as the IOC's x86 code does it: truncate toward
// zero; NaN, infinities and values outside 32 bits give INT32_MIN.
int32_t to_int32(double v);

// The IOC's double to float (epicsConvertDoubleToFloat): the nearest
// single, with finite values beyond the float range clamped to the largest
// float and non-zero ones below it to the smallest normal float (infinities,
// NaN and zero stay).
float to_float(double v);

// Number of enum states a client is told about: up to the last one set.
unsigned enum_state_count(const ConvertContext& ctx);

// Wire form of a plain value (big-endian; strings are 40 bytes).
void decode_value(DbrType type, const uint8_t* p, Value& out);
void encode_value(const Value& v, uint8_t* p);

// The IOC's fixed-point text for floating values (cvtDoubleToString and
// cvtFloatToString): fixed point with precision digits, an exponent only for
// huge values or precision above 8.
void format_double(double v, unsigned precision, char* out, unsigned out_size);
void format_float(float v, unsigned precision, char* out, unsigned out_size);

}  // namespace ca
