// The value kinds of the specified commands.
#include "kinds.h"
#include "float_text.h"

#include <cstdlib>
#include <cstring>

namespace tessaly {
namespace {

static_assert(kValueTextSize >= kFloatTextSize && kValueTextSize > MAX_STRING_SIZE &&
              kResponseSize >= kValueTextSize, "a received value's text must fit its buffers");

// "%d" of 0..65535, without printf.
std::size_t formatShort(const SlotValues& values, char* out) {
    char digits[8];
    std::size_t n = 0;
    unsigned value = values.shortValue;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}

std::size_t formatFloat(const SlotValues& values, char* out) {
    return FormatFloatFixed(values.floatValue, out);
}

std::size_t stringLength(const SlotValues& values) {
    return strnlen(values.stringValue, MAX_STRING_SIZE - 1);
}

std::size_t formatString(const SlotValues& values, char* out) {
    std::size_t n = stringLength(values);
    memcpy(out, values.stringValue, n);
    out[n] = '\0';
    return n;
}

constexpr Kind kKinds[] = {
    {DBR_SHORT, [](SlotValues& v) -> void* { return &v.shortValue; }, formatShort,
     [](const SlotValues& v) -> unsigned { return v.shortValue; }},
    {DBR_FLOAT, [](SlotValues& v) -> void* { return &v.floatValue; }, formatFloat,
     [](const SlotValues& v) -> unsigned { return floatBits(v.floatValue); }},
    {DBR_STRING, [](SlotValues& v) -> void* { return v.stringValue; }, formatString,
     [](const SlotValues& v) -> unsigned { return static_cast<unsigned>(stringLength(v)); }},
};

}  // namespace

const Kind& kindOf(ValueKind kind) { return kKinds[static_cast<int>(kind)]; }

uint32_t floatBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

PutValue toPutValue(ValueKind kind, const char* text) {
    PutValue value{kind, 0, 0.0f, text};
    if (kind == ValueKind::Int)
        value.shortValue = static_cast<uint16_t>(static_cast<uint32_t>(parseInt32(text)) & 0xFFFFu);
    if (kind == ValueKind::Float) value.floatValue = static_cast<float>(strtod(text, nullptr));
    return value;
}

const void* PutValue::data() const {
    return kind == ValueKind::Int     ? static_cast<const void*>(&shortValue)
           : kind == ValueKind::Float ? static_cast<const void*>(&floatValue)
                                      : static_cast<const void*>(text);
}

unsigned PutValue::traced() const {
    return kind == ValueKind::Int     ? shortValue
           : kind == ValueKind::Float ? floatBits(floatValue)
                                      : static_cast<unsigned>(strlen(text));
}

// The limit counts bytes of the UTF-8 text, not characters.
bool PutValue::fits() const { return kind != ValueKind::String || strlen(text) < MAX_STRING_SIZE; }

}  // namespace tessaly
