// The value forms: one row per form, and the conversions between a form's
// data and Tcl values.
#include "forms.h"
#include "text.h"
#include "../specified/float_text.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessaly {
namespace {

struct FormRow {
    chtype read, time, control, put;
};
constexpr FormRow kForms[] = {
    /* Short     */ {DBR_SHORT, -1, -1, DBR_SHORT},
    /* Float     */ {DBR_FLOAT, -1, -1, DBR_FLOAT},
    /* Text40    */ {DBR_STRING, -1, -1, DBR_STRING},
    /* Long      */ {DBR_LONG, DBR_TIME_LONG, DBR_CTRL_LONG, DBR_LONG},
    /* Byte      */ {DBR_CHAR, DBR_TIME_CHAR, DBR_CTRL_CHAR, DBR_CHAR},
    /* Double    */ {DBR_DOUBLE, DBR_TIME_DOUBLE, DBR_CTRL_DOUBLE, DBR_DOUBLE},
    /* String    */ {DBR_STRING, DBR_TIME_STRING, -1, DBR_STRING},
    /* EnumText  */ {DBR_CTRL_ENUM, DBR_TIME_ENUM, DBR_CTRL_ENUM, DBR_ENUM},
    /* EnumIndex */ {DBR_ENUM, DBR_TIME_ENUM, DBR_CTRL_ENUM, DBR_ENUM},
    /* CharText  */ {DBR_CHAR, DBR_TIME_CHAR, DBR_CTRL_CHAR, DBR_CHAR},
};
static_assert(sizeof kForms / sizeof kForms[0] == static_cast<std::size_t>(Form::CharText) + 1,
              "one row per form");
const FormRow& rowOf(Form form) { return kForms[static_cast<int>(form)]; }

static_assert(kValueTextSize >= kFloatTextSize && kValueTextSize > MAX_STRING_SIZE &&
              kResponseSize >= kValueTextSize, "a received value's text must fit its buffers");

// ---- the specified kinds' texts ---------------------------------------------------

// "%d" of 0..65535, without printf.
std::size_t formatShort(uint16_t value, char* out) {
    char digits[8];
    std::size_t n = 0;
    unsigned rest = value;
    do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}

std::size_t stringLength(const SlotValues& values) { return strnlen(values.stringValue, MAX_STRING_SIZE - 1); }

// ---- values whole: elements to Tcl ---------------------------------------------------

// The double nearest to the shortest text that reads back as the float.
double shortestFloat(double value) {
    if (!std::isfinite(value)) return value;
    char text[32];
    auto end = std::to_chars(text, text + sizeof text - 1, static_cast<float>(value)).ptr;
    *end = '\0';
    return strtod(text, nullptr);
}

Tcl_Obj* stateObj(const dbr_ctrl_enum* states, dbr_enum_t index) {
    if (states == nullptr || index >= states->no_str || index >= MAX_ENUM_STATES)
        return Tcl_NewIntObj(index);
    const char* text = states->strs[index];
    return newTextObj(text, strnlen(text, MAX_ENUM_STRING_SIZE));
}

Tcl_Obj* elementObj(const ValueForm& form, const void* values, long i, const dbr_ctrl_enum* states) {
    switch (form.form) {
    case Form::Long: return Tcl_NewWideIntObj(static_cast<const dbr_long_t*>(values)[i]);
    case Form::Byte: return Tcl_NewIntObj(static_cast<const dbr_char_t*>(values)[i]);
    case Form::Double: return numberObj(form, static_cast<const dbr_double_t*>(values)[i]);
    case Form::String: {
        const char* text = static_cast<const dbr_string_t*>(values)[i];
        return newTextObj(text, strnlen(text, MAX_STRING_SIZE));
    }
    case Form::EnumText: return stateObj(states, static_cast<const dbr_enum_t*>(values)[i]);
    case Form::EnumIndex: return Tcl_NewIntObj(static_cast<const dbr_enum_t*>(values)[i]);
    default: break;
    }
    return Tcl_NewObj();
}

// ---- values whole: Tcl to data -----------------------------------------------------------

// failFor for the conversions, which answer whether they succeeded.
bool refuse(Tcl_Interp* interp, const Subject& subject, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool refuse(Tcl_Interp* interp, const Subject& subject, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfailFor(interp, subject, format, args);
    va_end(args);
    return false;
}

// Tcl's integer rules, and the range of the channel's type.
bool toLong(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
            Tcl_WideInt& out) {
    Tcl_WideInt low = INT32_MIN, high = INT32_MAX;
    if (form.fieldType == DBF_SHORT) low = INT16_MIN, high = INT16_MAX;
    if (form.fieldType == DBF_CHAR) low = 0, high = UINT8_MAX;
    if (!readInteger(value, out) || out < low || out > high)
        return refuse(interp, subject, "expected an integer from %lld to %lld, got \"%.60s\"",
                      static_cast<long long>(low), static_cast<long long>(high), Tcl_GetString(value));
    return true;
}

bool toDouble(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
              dbr_double_t& out) {
    double number;
    if (Tcl_GetDoubleFromObj(nullptr, value, &number) != TCL_OK) {
        // Tcl reads NaN as no number, but reads of a NaN give "NaN".
        const char* text = Tcl_GetString(value);
        if (strcasecmp(text, "nan") != 0 && strcasecmp(text, "-nan") != 0)
            return refuse(interp, subject, "expected a number, got \"%.60s\"", text);
        number = NAN;
    }
    if (form.fieldType == DBF_FLOAT && std::isfinite(number) && std::fabs(number) > FLT_MAX)
        return refuse(interp, subject, "expected a number within the float range, got \"%.60s\"",
                      Tcl_GetString(value));
    out = number;
    return true;
}

bool toString(Tcl_Interp* interp, const Subject& subject, Tcl_Obj* value, dbr_string_t& out) {
    TclSize length;
    const char* text = Tcl_GetStringFromObj(value, &length);
    if (length >= MAX_STRING_SIZE)
        return refuse(interp, subject, "expected a text of at most %d bytes, got %ld bytes",
                      MAX_STRING_SIZE - 1, static_cast<long>(length));
    memset(out, 0, sizeof out);
    memcpy(out, text, static_cast<std::size_t>(length));
    return true;
}

// A state's text, else an index below the number of states (any 16-bit
// index when the channel has none).
bool toEnum(Tcl_Interp* interp, const Subject& subject, Tcl_Obj* value, const dbr_ctrl_enum* states,
            dbr_enum_t& out) {
    TclSize length;
    const char* text = Tcl_GetStringFromObj(value, &length);
    int count = states != nullptr ? states->no_str : 0;
    if (count > MAX_ENUM_STATES) count = MAX_ENUM_STATES;
    for (int i = 0; i < count; ++i) {
        if (strncmp(text, states->strs[i], MAX_ENUM_STRING_SIZE) == 0 &&
            static_cast<std::size_t>(length) < MAX_ENUM_STRING_SIZE) {
            out = static_cast<dbr_enum_t>(i);
            return true;
        }
    }
    Tcl_WideInt index;
    Tcl_WideInt limit = count > 0 ? count : 65536;
    if (readInteger(value, index) && index >= 0 && index < limit) {
        out = static_cast<dbr_enum_t>(index);
        return true;
    }
    if (count == 0)
        return refuse(interp, subject, "expected a state index from 0 to 65535, got \"%.60s\"", text);
    char names[MAX_ENUM_STATES * (MAX_ENUM_STRING_SIZE + 4)];
    std::size_t used = 0;
    for (int i = 0; i < count; ++i)
        used += static_cast<std::size_t>(snprintf(names + used, sizeof names - used, "%s\"%.*s\"",
                                                  i > 0 ? ", " : "", MAX_ENUM_STRING_SIZE, states->strs[i]));
    return refuse(interp, subject, "expected one of the states %s or an index below %d, got \"%.60s\"",
                  names, count, text);
}

}  // namespace

chtype readType(Form form) { return rowOf(form).read; }
chtype timeType(Form form) { return rowOf(form).time; }
chtype controlType(Form form) { return rowOf(form).control; }
chtype putType(Form form) { return rowOf(form).put; }

// ---- the specified kinds ------------------------------------------------------------------

void* receiveBuffer(Form kind, SlotValues& values) {
    switch (kind) {
    case Form::Short: return &values.shortValue;
    case Form::Float: return &values.floatValue;
    default: return values.stringValue;
    }
}

std::size_t formatReceived(Form kind, const SlotValues& values, char* out) {
    switch (kind) {
    case Form::Short: return formatShort(values.shortValue, out);
    case Form::Float: return FormatFloatFixed(values.floatValue, out);
    default: {
        std::size_t n = stringLength(values);
        memcpy(out, values.stringValue, n);
        out[n] = '\0';
        return n;
    }
    }
}

unsigned tracedReceived(Form kind, const SlotValues& values) {
    switch (kind) {
    case Form::Short: return values.shortValue;
    case Form::Float: return floatBits(values.floatValue);
    default: return static_cast<unsigned>(stringLength(values));
    }
}

uint32_t floatBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

PutValue toPutValue(Form kind, const char* text) {
    PutValue value{kind, 0, 0.0f, text};
    if (kind == Form::Short)
        value.shortValue = static_cast<uint16_t>(static_cast<uint32_t>(parseInt32(text)) & 0xFFFFu);
    if (kind == Form::Float) value.floatValue = static_cast<float>(strtod(text, nullptr));
    return value;
}

const void* PutValue::data() const {
    return kind == Form::Short   ? static_cast<const void*>(&shortValue)
           : kind == Form::Float ? static_cast<const void*>(&floatValue)
                                 : static_cast<const void*>(text);
}

unsigned PutValue::traced() const {
    return kind == Form::Short   ? shortValue
           : kind == Form::Float ? floatBits(floatValue)
                                 : static_cast<unsigned>(strlen(text));
}

// The limit counts bytes of the UTF-8 text, not characters.
bool PutValue::fits() const { return kind != Form::Text40 || strlen(text) < MAX_STRING_SIZE; }

// ---- values whole ------------------------------------------------------------------------------

bool formOf(Tcl_Interp* interp, const Subject& subject, bool text, bool index, ValueForm& out) {
    chid channel = subject.channel->id;
    short type = ca_field_type(channel);
    out.fieldType = type;
    out.array = ca_element_count(channel) > 1;
    if (text && type != DBF_CHAR) return refuse(interp, subject, "-text reads and writes char arrays only");
    if (index && type != DBF_ENUM) return refuse(interp, subject, "-index is for enum channels only");
    switch (type) {
    case DBF_CHAR: out.form = text ? Form::CharText : Form::Byte; return true;
    case DBF_SHORT:
    case DBF_LONG: out.form = Form::Long; return true;
    case DBF_FLOAT:
    case DBF_DOUBLE: out.form = Form::Double; return true;
    case DBF_STRING: out.form = Form::String; return true;
    case DBF_ENUM: out.form = index ? Form::EnumIndex : Form::EnumText; return true;
    default: break;
    }
    return refuse(interp, subject, "the channel is not connected");
}

Tcl_Obj* numberObj(const ValueForm& form, double value) {
    return Tcl_NewDoubleObj(form.fieldType == DBF_FLOAT ? shortestFloat(value) : value);
}

Tcl_Obj* valueObj(const ValueForm& form, const void* values, long count, const dbr_ctrl_enum* states) {
    if (form.form == Form::CharText) {
        const char* text = static_cast<const char*>(values);
        return newTextObj(text, strnlen(text, static_cast<std::size_t>(count)));
    }
    if (!form.array) return count > 0 ? elementObj(form, values, 0, states) : Tcl_NewObj();
    // Kept between calls: a big array's element pointers need no fresh pages.
    static std::vector<Tcl_Obj*> elements;
    elements.resize(static_cast<std::size_t>(count));
    if (form.form == Form::Double && form.fieldType == DBF_DOUBLE) {
        // The common big case (a spectrum), in a loop of its own.
        const auto* doubles = static_cast<const dbr_double_t*>(values);
        for (long i = 0; i < count; ++i) elements[static_cast<std::size_t>(i)] = Tcl_NewDoubleObj(doubles[i]);
    } else {
        for (long i = 0; i < count; ++i)
            elements[static_cast<std::size_t>(i)] = elementObj(form, values, i, states);
    }
    return Tcl_NewListObj(static_cast<TclSize>(count), elements.data());
}

bool readInteger(Tcl_Obj* word, Tcl_WideInt& out) {
    // Tcl 8 reads a leading zero as octal, Tcl 9 as decimal: decimal here.
    const char* text = Tcl_GetString(word);
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const char* sign = p;
    if (*p == '+' || *p == '-') ++p;
    if (p[0] == '0' && isdigit(static_cast<unsigned char>(p[1]))) {
        char* end;
        errno = 0;
        long long value = strtoll(sign, &end, 10);
        while (isspace(static_cast<unsigned char>(*end))) ++end;
        if (*end != '\0' || errno == ERANGE) return false;
        out = static_cast<Tcl_WideInt>(value);
        return true;
    }
    return Tcl_GetWideIntFromObj(nullptr, word, &out) == TCL_OK;
}

bool toPutData(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
               const dbr_ctrl_enum* states, PutData& out) {
    unsigned long capacity = ca_element_count(subject.channel->id);
    out.type = putType(form.form);
    std::size_t element = dbr_value_size[out.type];

    if (form.form == Form::CharText) {
        TclSize length;
        const char* text = Tcl_GetStringFromObj(value, &length);
        if (static_cast<unsigned long>(length) > capacity)
            return refuse(interp, subject, "expected a text of at most %lu bytes, got %ld bytes", capacity,
                          static_cast<long>(length));
        // The NUL goes too where there is room for it.
        out.count = static_cast<unsigned long>(length) < capacity ? static_cast<unsigned long>(length) + 1
                                                                  : capacity;
        out.bytes.assign(out.count, 0);
        memcpy(out.bytes.data(), text, static_cast<std::size_t>(length));
        return true;
    }

    Tcl_Obj** items = &value;
    TclSize count = 1;
    if (form.array) {
        if (Tcl_ListObjGetElements(nullptr, value, &count, &items) != TCL_OK)
            return refuse(interp, subject, "expected a list of values, got \"%.60s\"", Tcl_GetString(value));
        if (count == 0 || static_cast<unsigned long>(count) > capacity)
            return refuse(interp, subject, "expected 1 to %lu elements, got %ld", capacity,
                          static_cast<long>(count));
    }
    out.count = static_cast<unsigned long>(count);
    out.bytes.assign(out.count * element, 0);
    unsigned char* data = out.bytes.data();
    for (TclSize i = 0; i < count; ++i) {
        bool ok = true;
        Tcl_WideInt integer = 0;
        switch (form.form) {
        case Form::Long:
            ok = toLong(interp, subject, form, items[i], integer);
            reinterpret_cast<dbr_long_t*>(data)[i] = static_cast<dbr_long_t>(integer);
            break;
        case Form::Byte:
            ok = toLong(interp, subject, form, items[i], integer);
            reinterpret_cast<dbr_char_t*>(data)[i] = static_cast<dbr_char_t>(integer);
            break;
        case Form::Double: ok = toDouble(interp, subject, form, items[i], reinterpret_cast<dbr_double_t*>(data)[i]); break;
        case Form::String: ok = toString(interp, subject, items[i], reinterpret_cast<dbr_string_t*>(data)[i]); break;
        case Form::EnumText:
        case Form::EnumIndex: ok = toEnum(interp, subject, items[i], states, reinterpret_cast<dbr_enum_t*>(data)[i]); break;
        default: break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace tessaly
