// Values with their metadata.
#include "meta.h"
#include "text.h"

#include <cstring>
#include <type_traits>

namespace tessaly {
namespace {

constexpr const char* kSeverities[] = {"NO_ALARM", "MINOR", "MAJOR", "INVALID"};
constexpr const char* kAlarmStatuses[] = {
    "NO_ALARM", "READ",   "WRITE", "HIHI", "HIGH",    "LOLO", "LOW",     "STATE",
    "COS",      "COMM",   "TIMEOUT", "HWLIMIT", "CALC", "SCAN", "LINK",  "SOFT",
    "BAD_SUB",  "UDF",    "DISABLE", "SIMM", "READ_ACCESS", "WRITE_ACCESS",
};

template <std::size_t N>
Tcl_Obj* nameObj(const char* const (&names)[N], int code) {
    if (code >= 0 && static_cast<std::size_t>(code) < N) return Tcl_NewStringObj(names[code], -1);
    return Tcl_NewIntObj(code);
}

template <typename T>
Tcl_Obj* pairObj(const ValueForm& form, T low, T high) {
    Tcl_Obj* pair[2];
    if constexpr (std::is_floating_point<T>::value) {
        pair[0] = numberObj(form, low);
        pair[1] = numberObj(form, high);
    } else {
        pair[0] = Tcl_NewWideIntObj(low);
        pair[1] = Tcl_NewWideIntObj(high);
    }
    return Tcl_NewListObj(2, pair);
}

// Units, precision and limits of the control forms that have them.
template <typename Control>
void putLimits(Tcl_Obj* dict, const ValueForm& form, const Control& c) {
    putKey(dict, "units", newTextObj(c.units, strnlen(c.units, MAX_UNITS_SIZE)));
    if constexpr (std::is_same<Control, dbr_ctrl_double>::value)
        putKey(dict, "precision", Tcl_NewIntObj(c.precision));
    putKey(dict, "display", pairObj(form, c.lower_disp_limit, c.upper_disp_limit));
    putKey(dict, "warning", pairObj(form, c.lower_warning_limit, c.upper_warning_limit));
    putKey(dict, "alarm", pairObj(form, c.lower_alarm_limit, c.upper_alarm_limit));
    putKey(dict, "control", pairObj(form, c.lower_ctrl_limit, c.upper_ctrl_limit));
}

}  // namespace

void putKey(Tcl_Obj* dict, const char* key, Tcl_Obj* value) {
    Tcl_ListObjAppendElement(nullptr, dict, Tcl_NewStringObj(key, -1));
    Tcl_ListObjAppendElement(nullptr, dict, value);
}

Tcl_Obj* metaDict(const ValueForm& form, const void* timed, long count, const void* control) {
    chtype timeForm = timeType(form.form);
    chtype controlForm = controlType(form.form);
    // Every TIME_ form starts with status, severity and stamp.
    const auto* head = static_cast<const dbr_time_string*>(timed);
    const dbr_ctrl_enum* states =
        controlForm == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(control) : nullptr;
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "value", valueObj(form, dbr_value_ptr(timed, timeForm), count, states));
    putKey(dict, "severity", nameObj(kSeverities, head->severity));
    putKey(dict, "status", nameObj(kAlarmStatuses, head->status));
    double stamp = static_cast<double>(head->stamp.secPastEpoch) + POSIX_TIME_AT_EPICS_EPOCH +
                   static_cast<double>(head->stamp.nsec) * 1e-9;
    putKey(dict, "timestamp", Tcl_NewDoubleObj(stamp));
    if (control == nullptr) return dict;
    if (controlForm == DBR_CTRL_DOUBLE)
        putLimits(dict, form, *static_cast<const dbr_ctrl_double*>(control));
    else if (controlForm == DBR_CTRL_LONG)
        putLimits(dict, form, *static_cast<const dbr_ctrl_long*>(control));
    else if (controlForm == DBR_CTRL_CHAR)
        putLimits(dict, form, *static_cast<const dbr_ctrl_char*>(control));
    if (states != nullptr) {
        Tcl_Obj* texts = Tcl_NewListObj(0, nullptr);
        int n = states->no_str < MAX_ENUM_STATES ? states->no_str : MAX_ENUM_STATES;
        for (int i = 0; i < n; ++i)
            Tcl_ListObjAppendElement(nullptr, texts,
                                     newTextObj(states->strs[i], strnlen(states->strs[i], MAX_ENUM_STRING_SIZE)));
        putKey(dict, "states", texts);
    }
    return dict;
}

}  // namespace tessaly
