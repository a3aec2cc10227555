// The value kinds of the specified commands (integer, float, string): for
// each, the request type, where a get receives it, how a received value is
// replied and traced, and how a put's argument is converted.  The single and
// batch commands of a kind differ only in the row of this table they use.
#pragma once

#include "slots.h"

#include <cstddef>
#include <cstdint>

namespace tessaly {

enum class ValueKind { Int, Float, String };

// A put's value, converted from its argument: an integer by strtol in base 0
// keeping the low 16 bits, a float by strtod to the nearest single, a string
// as its text itself.  Converting never fails.
struct PutValue {
    ValueKind kind;
    uint16_t shortValue;
    float floatValue;
    const char* text;

    const void* data() const;   // what ca_array_put sends (copied by the call)
    unsigned traced() const;    // the trace's number: the value, a float's bits, a string's length
    bool fits() const;          // false for a string of MAX_STRING_SIZE bytes or more
};

// The longest text of a received value, with its NUL.
constexpr std::size_t kValueTextSize = 64;

struct Kind {
    chtype requestType;
    void* (*receive)(SlotValues& values);
    // The value as a get replies it ("%d" of the unsigned 16 bits, "%f" of
    // the float, the text up to its NUL) into out (kValueTextSize bytes);
    // returns its length.
    std::size_t (*format)(const SlotValues& values, char* out);
    // The number a get's trace shows: the value, a float's bits, a string's length.
    unsigned (*traced)(const SlotValues& values);
};

const Kind& kindOf(ValueKind kind);
PutValue toPutValue(ValueKind kind, const char* text);
uint32_t floatBits(float value);

}  // namespace tessaly
