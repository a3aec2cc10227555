// Values whole: the commands that read and write a channel in its native
// type, arrays included, with its metadata, and puts that wait for the
// server to finish processing.
//
//   EPICS_Get ?-count N? ?-text? ?-index? ?-timeout S? slot
//   EPICS_GetMany ?-timeout S? slot ?slot ...?
//   EPICS_Put ?-wait? ?-text? ?-timeout S? slot value
//   EPICS_PutMany ?-wait? ?-timeout S? slot value ?slot value ...?
//   EPICS_GetMeta ?-timeout S? slot
//   EPICS_Info slot
//
// Unlike the specified commands they never reset the context: a request the
// library refuses, a lost circuit or a time-out fails the command alone, and
// every channel stays.  A failure leaves its message as the result and, as
// the specified commands do, in errorCode.
#include "commands.h"
#include "context.h"
#include "native.h"
#include "pending.h"
#include "text.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace tessaly {
namespace {

constexpr int kMaxSlots = kSlotCount;  // slots a command may name

// ---- options ---------------------------------------------------------------

enum Option : unsigned { kCount = 1, kText = 2, kIndex = 4, kTimeout = 8, kWait = 16 };

struct OptionRow {
    std::string_view name;
    Option option;
    bool takesValue;
};
constexpr OptionRow kOptionRows[] = {
    {"-count", kCount, true}, {"-text", kText, false},      {"-index", kIndex, false},
    {"-timeout", kTimeout, true}, {"-wait", kWait, false},
};

struct Options {
    long count = 0;  // 0: the current length
    bool text = false, index = false, wait = false;
    double timeout = kWaitSeconds;
};

// A word that starts with '-' and a letter is an option; "-1" is a slot.
bool looksLikeOption(Tcl_Obj* word) {
    const char* text = Tcl_GetString(word);
    return text[0] == '-' && ((text[1] >= 'a' && text[1] <= 'z') || text[1] == '-');
}

int badOption(Tcl_Interp* interp, const char* command, const char* word, unsigned allowed) {
    // "-a, -b or -c", as Tcl's own commands list them.
    const OptionRow* rows[sizeof kOptionRows / sizeof kOptionRows[0]];
    std::size_t count = 0;
    for (const OptionRow& row : kOptionRows)
        if (allowed & row.option) rows[count++] = &row;
    char names[80] = "";
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && used < sizeof names; ++i)
        used += static_cast<std::size_t>(snprintf(
            names + used, sizeof names - used, "%s%.*s",
            i == 0 ? "" : i + 1 == count ? " or " : ", ",
            static_cast<int>(rows[i]->name.size()), rows[i]->name.data()));
    return failWith(interp, "bad option \"%.40s\" in %s: must be %s", word, command, names);
}

// Reads the options allowed; returns the index of the first word after
// them, or -1 having failed.
int parseOptions(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
                 unsigned allowed, Options& options) {
    int i = 1;
    while (i < objc && looksLikeOption(objv[i])) {
        std::string_view word = Tcl_GetString(objv[i]);
        if (word == "--") return i + 1;
        const OptionRow* found = nullptr;
        for (const OptionRow& row : kOptionRows)
            if ((allowed & row.option) && row.name == word) found = &row;
        if (found == nullptr) return badOption(interp, command, word.data(), allowed), -1;
        if (found->takesValue && i + 1 >= objc) {
            failWith(interp, "%s in %s needs a value", word.data(), command);
            return -1;
        }
        Tcl_Obj* value = found->takesValue ? objv[i + 1] : nullptr;
        switch (found->option) {
        case kCount: {
            int count;
            if (Tcl_GetIntFromObj(nullptr, value, &count) != TCL_OK || count < 1) {
                failWith(interp, "-count in %s must be a positive integer, got \"%.40s\"", command,
                         Tcl_GetString(value));
                return -1;
            }
            options.count = count;
            break;
        }
        case kTimeout: {
            double seconds;
            if (Tcl_GetDoubleFromObj(nullptr, value, &seconds) != TCL_OK || !(seconds > 0) ||
                !std::isfinite(seconds)) {
                failWith(interp, "-timeout in %s must be a positive number of seconds, got \"%.40s\"",
                         command, Tcl_GetString(value));
                return -1;
            }
            options.timeout = seconds;
            break;
        }
        case kText: options.text = true; break;
        case kIndex: options.index = true; break;
        case kWait: options.wait = true; break;
        }
        i += found->takesValue ? 2 : 1;
    }
    return i;
}

// The words after the options: `per` words a slot, at least one slot and
// with `exactly`, exactly one.  Then the context, then every slot's validity.
int checkSlots(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], int first,
               int per, bool exactly, std::vector<Subject>& subjects) {
    int words = objc - first;
    if (words < per || words % per != 0 || (exactly && words != per))
        return failWith(interp, "Invalid number of parameters in %s", command);
    if (words / per > kMaxSlots)
        return failWith(interp, "Too many slots in %s (%d at most)", command, kMaxSlots);
    if (needContext(interp, command) != TCL_OK) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(forTcl(EPICS_response), -1));
        return TCL_ERROR;
    }
    bool allConnected = true;
    for (int i = first; i < objc; i += per) {
        uint32_t slot = parseSlot(objv[i]);
        if (!slotValid(slot)) return failWith(interp, "Invalid ChanId in %s", command);
        subjects.push_back(Subject{command, slot, channelOf(slot)});
        allConnected = allConnected && ca_state(channelOf(slot)) == cs_conn;
    }
    // A lost channel is found again only while this thread is inside the
    // library: let what has arrived for it run before judging it.
    if (!allConnected) ca_poll();
    return TCL_OK;
}

// ---- reads -----------------------------------------------------------------

// One get request of a command and where its answer lands.
struct Read {
    const Subject* subject;
    chtype type;
    unsigned long count;  // requested: 0 for the current length
    std::vector<unsigned char> buffer;
    long received = 0;
    RequestId id = -1;

    const void* data() const { return buffer.data(); }
    const void* values() const { return dbr_value_ptr(buffer.data(), type); }
};

Read readOf(const Subject& subject, chtype type, unsigned long count) {
    unsigned long room = count > 0 ? count : ca_element_count(subject.channel);
    Read read{&subject, type, count, std::vector<unsigned char>(dbr_size_n(type, room)), 0, -1};
    return read;
}

int failLibrary(Tcl_Interp* interp, std::string_view call, const Subject& subject, int status) {
    return failWith(interp, "%.*s in %s failed %s (slot %u, %s)", static_cast<int>(call.size()),
                    call.data(), subject.command, ca_message(status), subject.slot,
                    ca_name(subject.channel));
}

void closeAll(std::vector<RequestId>& ids) {
    for (RequestId id : ids) closeRequest(id);
    ids.clear();
}

// Waits for every request of `ids` (made for `subjects`, one each), then
// closes them.  `call` names the request in a failure's message.
int awaitAll(Tcl_Interp* interp, std::string_view call, std::vector<RequestId>& ids,
             const std::vector<const Subject*>& subjects, double timeout, const char* waiting,
             std::vector<long>* counts) {
    int late = awaitRequests(ids.data(), static_cast<int>(ids.size()), timeout);
    if (late >= 0) {
        const Subject& subject = *subjects[static_cast<std::size_t>(late)];
        closeAll(ids);
        return failWith(interp, "%s timed out after %g s waiting for %s slot %u (%s)", subject.command,
                        timeout, waiting, subject.slot, ca_name(subject.channel));
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        int status;
        long count;
        requestAnswered(ids[i], status, count);
        if (counts != nullptr) (*counts)[i] = count;
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, *subjects[i], status);
        }
    }
    closeAll(ids);
    return TCL_OK;
}

// Makes every read's request, then waits once for them all.
int readAll(Tcl_Interp* interp, std::vector<Read>& reads, double timeout) {
    std::vector<RequestId> ids;
    std::vector<const Subject*> subjects;
    for (Read& read : reads) {
        RequestId id = openRequest(read.buffer.data(), read.buffer.size());
        if (id < 0) {
            closeAll(ids);
            return failWith(interp, "Too many requests outstanding in %s", read.subject->command);
        }
        ids.push_back(id);
        subjects.push_back(read.subject);
        int status = ca_array_get_callback(read.type, read.count, read.subject->channel,
                                           onRequestAnswered, requestTag(id));
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, "ca_get_callback", *read.subject, status);
        }
    }
    std::vector<long> counts(reads.size());
    if (awaitAll(interp, "ca_get_callback", ids, subjects, timeout, "the value of", &counts) != TCL_OK)
        return TCL_ERROR;
    for (std::size_t i = 0; i < reads.size(); ++i) reads[i].received = counts[i];
    return TCL_OK;
}

// The value a plain read brought.
Tcl_Obj* readValue(const ValueForm& form, const Read& read) {
    const dbr_ctrl_enum* states =
        read.type == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(read.data()) : nullptr;
    return valueObj(form, read.values(), read.received, states);
}

int EPICS_GetCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Get";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kCount | kText | kIndex | kTimeout, options);
    std::vector<Subject> subjects;
    if (first < 0 || checkSlots(interp, command, objc, objv, first, 1, true, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, options.text, options.index, form)) return TCL_ERROR;
    unsigned long elements = ca_element_count(subject.channel);
    if (static_cast<unsigned long>(options.count) > elements)
        return failFor(interp, subject, "-count %ld is more than its %lu elements", options.count,
                       elements);

    std::vector<Read> reads;
    reads.push_back(readOf(subject, readType(form.form), static_cast<unsigned long>(options.count)));
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;
    Tcl_SetObjResult(interp, readValue(form, reads[0]));
    return TCL_OK;
}

int EPICS_GetManyCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_GetMany";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kTimeout, options);
    std::vector<Subject> subjects;
    if (first < 0 || checkSlots(interp, command, objc, objv, first, 1, false, subjects) != TCL_OK)
        return TCL_ERROR;
    std::vector<ValueForm> forms(subjects.size());
    std::vector<Read> reads;
    reads.reserve(subjects.size());
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        if (!formOf(interp, subjects[i], false, false, forms[i])) return TCL_ERROR;
        reads.push_back(readOf(subjects[i], readType(forms[i].form), 0));
    }
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;
    std::vector<Tcl_Obj*> values(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) values[i] = readValue(forms[i], reads[i]);
    Tcl_SetObjResult(interp, Tcl_NewListObj(static_cast<int>(values.size()), values.data()));
    return TCL_OK;
}

// ---- metadata --------------------------------------------------------------

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

void put(Tcl_Obj* dict, const char* key, Tcl_Obj* value) {
    Tcl_ListObjAppendElement(nullptr, dict, Tcl_NewStringObj(key, -1));
    Tcl_ListObjAppendElement(nullptr, dict, value);
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
    put(dict, "units", newTextObj(c.units, strnlen(c.units, MAX_UNITS_SIZE)));
    if constexpr (std::is_same<Control, dbr_ctrl_double>::value)
        put(dict, "precision", Tcl_NewIntObj(c.precision));
    put(dict, "display", pairObj(form, c.lower_disp_limit, c.upper_disp_limit));
    put(dict, "warning", pairObj(form, c.lower_warning_limit, c.upper_warning_limit));
    put(dict, "alarm", pairObj(form, c.lower_alarm_limit, c.upper_alarm_limit));
    put(dict, "control", pairObj(form, c.lower_ctrl_limit, c.upper_ctrl_limit));
}

int EPICS_GetMetaCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_GetMeta";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kTimeout, options);
    std::vector<Subject> subjects;
    if (first < 0 || checkSlots(interp, command, objc, objv, first, 1, true, subjects) != TCL_OK)
        return TCL_ERROR;
    const Subject& subject = subjects[0];
    ValueForm form;
    if (!formOf(interp, subject, false, false, form)) return TCL_ERROR;

    // The value with its alarm and time stamp, and the control form, in one wait.
    std::vector<Read> reads;
    reads.push_back(readOf(subject, timeType(form.form), 0));
    chtype control = controlType(form.form);
    if (control >= 0) reads.push_back(readOf(subject, control, 1));
    if (readAll(interp, reads, options.timeout) != TCL_OK) return TCL_ERROR;

    // Every TIME_ form starts with status, severity and stamp.
    const auto* timed = static_cast<const dbr_time_string*>(reads[0].data());
    const dbr_ctrl_enum* states =
        control == DBR_CTRL_ENUM ? static_cast<const dbr_ctrl_enum*>(reads[1].data()) : nullptr;
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    put(dict, "value", valueObj(form, reads[0].values(), reads[0].received, states));
    put(dict, "severity", nameObj(kSeverities, timed->severity));
    put(dict, "status", nameObj(kAlarmStatuses, timed->status));
    double stamp = static_cast<double>(timed->stamp.secPastEpoch) + POSIX_TIME_AT_EPICS_EPOCH +
                   static_cast<double>(timed->stamp.nsec) * 1e-9;
    put(dict, "timestamp", Tcl_NewDoubleObj(stamp));
    if (control == DBR_CTRL_DOUBLE)
        putLimits(dict, form, *static_cast<const dbr_ctrl_double*>(reads[1].data()));
    else if (control == DBR_CTRL_LONG)
        putLimits(dict, form, *static_cast<const dbr_ctrl_long*>(reads[1].data()));
    if (states != nullptr) {
        Tcl_Obj* texts = Tcl_NewListObj(0, nullptr);
        int count = states->no_str < MAX_ENUM_STATES ? states->no_str : MAX_ENUM_STATES;
        for (int i = 0; i < count; ++i)
            Tcl_ListObjAppendElement(nullptr, texts,
                                     newTextObj(states->strs[i], strnlen(states->strs[i], MAX_ENUM_STRING_SIZE)));
        put(dict, "states", texts);
    }
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

int EPICS_InfoCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Info";
    std::vector<Subject> subjects;
    if (checkSlots(interp, command, objc, objv, 1, 1, true, subjects) != TCL_OK) return TCL_ERROR;
    chid channel = subjects[0].channel;
    bool connected = ca_state(channel) == cs_conn;
    short type = ca_field_type(channel);
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    put(dict, "name", newTextObj(ca_name(channel), strlen(ca_name(channel))));
    put(dict, "host", Tcl_NewStringObj(ca_host_name(channel), -1));
    put(dict, "type", Tcl_NewStringObj(type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type)
                                                                      : "TYPENOTCONN", -1));
    put(dict, "count", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(ca_element_count(channel))));
    Tcl_Obj* access = Tcl_NewListObj(0, nullptr);
    if (connected && ca_read_access(channel)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("read", -1));
    if (connected && ca_write_access(channel)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("write", -1));
    put(dict, "access", access);
    put(dict, "connected", Tcl_NewIntObj(connected ? 1 : 0));
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

// ---- puts ------------------------------------------------------------------

// Converts every value (fetching the states of enum channels first, in one
// wait), then sends them all; with -wait, waits for every completion.
int putAll(Tcl_Interp* interp, const Options& options, const std::vector<Subject>& subjects,
           Tcl_Obj* const* values, int step) {
    std::size_t n = subjects.size();
    std::vector<ValueForm> forms(n);
    std::vector<Read> states;
    std::vector<int> stateOf(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        if (!formOf(interp, subjects[i], options.text, false, forms[i])) return TCL_ERROR;
        if (needsStates(forms[i])) {
            stateOf[i] = static_cast<int>(states.size());
            states.push_back(readOf(subjects[i], DBR_CTRL_ENUM, 1));
        }
    }
    if (!states.empty() && readAll(interp, states, options.timeout) != TCL_OK) return TCL_ERROR;

    std::vector<PutData> data(n);
    for (std::size_t i = 0; i < n; ++i) {
        const dbr_ctrl_enum* enumStates =
            stateOf[i] >= 0 ? static_cast<const dbr_ctrl_enum*>(states[static_cast<std::size_t>(stateOf[i])].data())
                            : nullptr;
        if (!toPutData(interp, subjects[i], forms[i], values[i * static_cast<std::size_t>(step)],
                       enumStates, data[i]))
            return TCL_ERROR;
    }
    // What the library would refuse is turned away before anything is sent.
    std::string_view call = options.wait ? "ca_put_callback" : "ca_put";
    for (const Subject& subject : subjects) {
        if (ca_state(subject.channel) != cs_conn) return failLibrary(interp, call, subject, ECA_DISCONN);
        if (!ca_write_access(subject.channel)) return failLibrary(interp, call, subject, ECA_NOWTACCESS);
    }

    std::vector<RequestId> ids;
    std::vector<const Subject*> waiting;
    for (std::size_t i = 0; i < n; ++i) {
        const Subject& subject = subjects[i];
        int status;
        if (options.wait) {
            RequestId id = openRequest(nullptr, 0);
            if (id < 0) {
                closeAll(ids);
                return failWith(interp, "Too many requests outstanding in %s", subject.command);
            }
            ids.push_back(id);
            waiting.push_back(&subject);
            status = ca_array_put_callback(data[i].type, data[i].count, subject.channel,
                                           data[i].bytes.data(), onRequestAnswered, requestTag(id));
        } else {
            status = ca_array_put(data[i].type, data[i].count, subject.channel, data[i].bytes.data());
        }
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, subject, status);
        }
    }
    if (options.wait) {
        if (awaitAll(interp, call, ids, waiting, options.timeout, "the completion of", nullptr) != TCL_OK)
            return TCL_ERROR;
    } else {
        ca_flush_io();
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int EPICS_PutCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_Put";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kWait | kText | kTimeout, options);
    std::vector<Subject> subjects;
    if (first < 0 || checkSlots(interp, command, objc, objv, first, 2, true, subjects) != TCL_OK)
        return TCL_ERROR;
    return putAll(interp, options, subjects, objv + first + 1, 2);
}

int EPICS_PutManyCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "EPICS_PutMany";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kWait | kTimeout, options);
    std::vector<Subject> subjects;
    if (first < 0 || checkSlots(interp, command, objc, objv, first, 2, false, subjects) != TCL_OK)
        return TCL_ERROR;
    return putAll(interp, options, subjects, objv + first + 1, 2);
}

constexpr ObjCommand kRows[] = {
    {"EPICS_Get", EPICS_GetCmd},         {"EPICS_GetMany", EPICS_GetManyCmd},
    {"EPICS_Put", EPICS_PutCmd},         {"EPICS_PutMany", EPICS_PutManyCmd},
    {"EPICS_GetMeta", EPICS_GetMetaCmd}, {"EPICS_Info", EPICS_InfoCmd},
};

}  // namespace

const CommandTable<ObjCommand> kWholeCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
