// Values whole in their native types.
#include "native.h"
#include "text.h"

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
    /* Long      */ {DBR_LONG, DBR_TIME_LONG, DBR_CTRL_LONG, DBR_LONG},
    /* Double    */ {DBR_DOUBLE, DBR_TIME_DOUBLE, DBR_CTRL_DOUBLE, DBR_DOUBLE},
    /* String    */ {DBR_STRING, DBR_TIME_STRING, -1, DBR_STRING},
    /* EnumText  */ {DBR_CTRL_ENUM, DBR_TIME_ENUM, DBR_CTRL_ENUM, DBR_ENUM},
    /* EnumIndex */ {DBR_ENUM, DBR_TIME_ENUM, DBR_CTRL_ENUM, DBR_ENUM},
    /* CharText  */ {DBR_CHAR, DBR_TIME_CHAR, DBR_CTRL_CHAR, DBR_CHAR},
};
const FormRow& rowOf(Form form) { return kForms[static_cast<int>(form)]; }

const char* typeName(chid channel) {
    short type = ca_field_type(channel);
    return type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type) : "not connected";
}

void vfailFor(Tcl_Interp* interp, const Subject& subject, const char* format, va_list args) {
    char reason[kResponseSize];
    vsnprintf(reason, sizeof reason, format, args);
    failWith(interp, "%s slot %u (%s, %s): %s", subject.command, subject.slot,
             ca_name(subject.channel), typeName(subject.channel), reason);
}

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
    case Form::Double: return numberObj(form, static_cast<const dbr_double_t*>(values)[i]);
    case Form::String: {
        const char* text = static_cast<const dbr_string_t*>(values)[i];
        return newTextObj(text, strnlen(text, MAX_STRING_SIZE));
    }
    case Form::EnumText: return stateObj(states, static_cast<const dbr_enum_t*>(values)[i]);
    case Form::EnumIndex: return Tcl_NewIntObj(static_cast<const dbr_enum_t*>(values)[i]);
    case Form::CharText: break;
    }
    return Tcl_NewObj();
}

// Tcl's integer rules, and the range of the channel's type.
bool toLong(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
            dbr_long_t& out) {
    Tcl_WideInt low = INT32_MIN, high = INT32_MAX;
    if (form.fieldType == DBF_SHORT) low = INT16_MIN, high = INT16_MAX;
    if (form.fieldType == DBF_CHAR) low = INT8_MIN, high = UINT8_MAX;  // signed or unsigned bytes
    Tcl_WideInt number;
    if (Tcl_GetWideIntFromObj(nullptr, value, &number) != TCL_OK || number < low || number > high)
        return refuse(interp, subject, "expected an integer from %lld to %lld, got \"%.60s\"",
                       static_cast<long long>(low), static_cast<long long>(high),
                       Tcl_GetString(value));
    out = static_cast<dbr_long_t>(number);
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
    if (Tcl_GetWideIntFromObj(nullptr, value, &index) == TCL_OK && index >= 0 && index < limit) {
        out = static_cast<dbr_enum_t>(index);
        return true;
    }
    if (count == 0)
        return refuse(interp, subject, "expected a state index from 0 to 65535, got \"%.60s\"",
                       text);
    char names[MAX_ENUM_STATES * (MAX_ENUM_STRING_SIZE + 4)];
    std::size_t used = 0;
    for (int i = 0; i < count; ++i)
        used += static_cast<std::size_t>(snprintf(names + used, sizeof names - used, "%s\"%.*s\"",
                                                  i > 0 ? ", " : "", MAX_ENUM_STRING_SIZE,
                                                  states->strs[i]));
    return refuse(interp, subject, "expected one of the states %s or an index below %d, got \"%.60s\"",
                   names, count, text);
}

}  // namespace

int failFor(Tcl_Interp* interp, const Subject& subject, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfailFor(interp, subject, format, args);
    va_end(args);
    return TCL_ERROR;
}

chtype readType(Form form) { return rowOf(form).read; }
chtype timeType(Form form) { return rowOf(form).time; }
chtype controlType(Form form) { return rowOf(form).control; }

bool formOf(Tcl_Interp* interp, const Subject& subject, bool text, bool index, ValueForm& out) {
    short type = ca_field_type(subject.channel);
    out.fieldType = type;
    out.array = ca_element_count(subject.channel) > 1;
    if (text && type != DBF_CHAR)
        return refuse(interp, subject, "-text reads and writes char arrays only");
    if (index && type != DBF_ENUM)
        return refuse(interp, subject, "-index is for enum channels only");
    switch (type) {
    case DBF_CHAR: out.form = text ? Form::CharText : Form::Long; return true;
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
        for (long i = 0; i < count; ++i) elements[static_cast<std::size_t>(i)] = elementObj(form, values, i, states);
    }
    return Tcl_NewListObj(static_cast<TclSize>(count), elements.data());
}

bool toPutData(Tcl_Interp* interp, const Subject& subject, const ValueForm& form, Tcl_Obj* value,
               const dbr_ctrl_enum* states, PutData& out) {
    unsigned long capacity = ca_element_count(subject.channel);
    out.type = rowOf(form.form).put;
    std::size_t element = dbr_value_size[out.type];

    if (form.form == Form::CharText) {
        TclSize length;
        const char* text = Tcl_GetStringFromObj(value, &length);
        if (static_cast<unsigned long>(length) > capacity)
            return refuse(interp, subject, "expected a text of at most %lu bytes, got %ld bytes",
                           capacity, static_cast<long>(length));
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
            return refuse(interp, subject, "expected a list of values, got \"%.60s\"",
                           Tcl_GetString(value));
        if (count == 0 || static_cast<unsigned long>(count) > capacity)
            return refuse(interp, subject, "expected 1 to %lu elements, got %ld", capacity,
                          static_cast<long>(count));
    }
    out.count = static_cast<unsigned long>(count);
    out.bytes.assign(out.count * element, 0);
    unsigned char* data = out.bytes.data();
    for (TclSize i = 0; i < count; ++i) {
        bool ok = true;
        switch (form.form) {
        case Form::Long: ok = toLong(interp, subject, form, items[i], reinterpret_cast<dbr_long_t*>(data)[i]); break;
        case Form::Double: ok = toDouble(interp, subject, form, items[i], reinterpret_cast<dbr_double_t*>(data)[i]); break;
        case Form::String: ok = toString(interp, subject, items[i], reinterpret_cast<dbr_string_t*>(data)[i]); break;
        case Form::EnumText:
        case Form::EnumIndex: ok = toEnum(interp, subject, items[i], states, reinterpret_cast<dbr_enum_t*>(data)[i]); break;
        case Form::CharText: break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace tessaly
