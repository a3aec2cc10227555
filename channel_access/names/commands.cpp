// The name layer's commands:
//
//   tessaly::connect ?-wait? ?-timeout S? name ?name ...?
//   tessaly::get ?-count N? ?-text? ?-index? ?-meta? ?-timeout S? name ?name ...?
//   tessaly::put ?-wait? ?-command SCRIPT? ?-text? ?-timeout S? name value ?name value ...?
//   tessaly::monitor ?-meta? ?-mask MASK? ?-text? ?-index? name script
//   tessaly::unmonitor id
//   tessaly::onconnection name script
//   tessaly::info name
//   tessaly::disconnect name ?name ...?
//   tessaly::channels
//
// A name is connected on its first use; a command that needs names
// connected waits for all of them within its one -timeout, sending each
// name's request as soon as it connects.  Failures follow Tcl's convention:
// the message is the result, errorCode {TESSALY KIND ...} (core/subject.h).
// A failure resets nothing, and nothing of a failing put is sent.
#include "names.h"
#include "../core/commands.h"
#include "../core/lock.h"
#include "../core/meta.h"
#include "../core/put.h"
#include "../core/text.h"
#include "../events/completions.h"
#include "../events/connections.h"
#include "../events/monitors.h"
#include "../events/rejections.h"
#include "../pva/pva.h"

#include <cstring>
#include <unordered_map>

namespace tessaly {
namespace {

int wrongArgs(Tcl_Interp* interp, Tcl_Obj* const objv[], const char* usage) {
    Tcl_WrongNumArgs(interp, 1, objv, usage);
    Tcl_SetErrorCode(interp, "TESSALY", "USAGE", static_cast<char*>(nullptr));
    return TCL_ERROR;
}

// The channels of the name words objv[first], objv[first + step], ...: each
// channel once in `unique`, and for each word the place of its channel
// there.  Null having failed.
bool channelsOf(Tcl_Interp* interp, const char* command, Tcl_Obj* const* words, int count, int step,
                std::vector<Channel*>& unique, std::vector<std::size_t>* placeOf) {
    std::unordered_map<Channel*, std::size_t> seen;
    for (int i = 0; i < count; ++i) {
        std::string_view name;
        if (!pvName(interp, command, words[i * step], name)) return false;
        Channel* channel = useName(interp, command, name);
        if (channel == nullptr) return false;
        auto found = seen.emplace(channel, unique.size());
        if (found.second) unique.push_back(channel);
        if (placeOf != nullptr) placeOf->push_back(found.first->second);
    }
    flushNames();
    return true;
}

// -request and -field are PV Access's: a Channel Access name refuses them.
int checkProtocolOptions(Tcl_Interp* interp, const char* command, const std::vector<Channel*>& channels,
                         const Options& options) {
    const char* option = !options.request.empty() ? "-request" : !options.field.empty() ? "-field" : nullptr;
    if (option == nullptr) return TCL_OK;
    for (Channel* channel : channels)
        if (channel->protocol == Protocol::Ca)
            return failUsage(interp, Voice::Names, "%s: %s is PV Access's, and %s is a Channel Access name", command,
                             option, channelName(*channel));
    return TCL_OK;
}

pva::Form pvaForm(const Options& options) {
    pva::Form form;
    form.count = options.count;
    form.text = options.text;
    form.index = options.index;
    form.meta = options.meta;
    return form;
}

// PV Access gets of one command, ended whatever way it ends.
struct PvaGets {
    std::vector<pva::Get*> gets;
    std::vector<const Subject*> subjects;
    ~PvaGets() {
        for (pva::Get* get : gets) pva::endGet(get);
    }
    // Waits for them all until the deadline; fails naming those late.
    int await(Tcl_Interp* interp, Clock::time_point deadline, double timeout) {
        std::vector<std::size_t> late = pva::awaitGets(gets, deadline);
        if (late.empty()) return TCL_OK;
        std::vector<const Subject*> named;
        for (std::size_t i : late) named.push_back(subjects[i]);
        return failTimeout(interp, named, timeout, Waiting::Value);
    }
};

double secondsLeft(Clock::time_point deadline) {
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    return left > 0 ? left : 0;
}

int timedOut(Tcl_Interp* interp, const char* command, const std::vector<Channel*>& late, double timeout,
             Waiting waiting) {
    std::vector<Subject> subjects;
    subjects.reserve(late.size());
    std::vector<const Subject*> named;
    for (Channel* channel : late) subjects.push_back(Subject{command, channel, -1});
    for (const Subject& subject : subjects) named.push_back(&subject);
    return failTimeout(interp, named, timeout, waiting);
}

// Waits until every channel has connected; the time-out names those that
// did not.
int awaitAll(Tcl_Interp* interp, const char* command, const std::vector<Channel*>& channels,
             Clock::time_point deadline, double timeout) {
    std::vector<Channel*> late;
    awaitConnections(channels, deadline, [](Channel&) {}, late);
    return late.empty() ? TCL_OK : timedOut(interp, command, late, timeout, Waiting::Connection);
}

int connectCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::connect";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kWait | kTimeout, options, Voice::Names);
    if (first < 0) return TCL_ERROR;
    if (first >= objc) return wrongArgs(interp, objv, "?-wait? ?-timeout seconds? name ?name ...?");
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    auto deadline = deadlineAfter(options.timeout);
    std::vector<Channel*> channels;
    if (!channelsOf(interp, command, objv + first, objc - first, 1, channels, nullptr)) return TCL_ERROR;
    if (options.wait && awaitAll(interp, command, channels, deadline, options.timeout) != TCL_OK) return TCL_ERROR;
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

// ---- get ------------------------------------------------------------------------------------

struct Reading {
    Subject subject;
    ValueForm form{};
    std::size_t read = 0;      // its (first) read
    bool control = false;      // -meta: a second read, of the control form
    long pvaGet = -1;          // a PV Access name: its get
};

int getCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::get";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kCount | kText | kIndex | kMeta | kTimeout | kRequest,
                             options, Voice::Names);
    if (first < 0) return TCL_ERROR;
    if (first >= objc)
        return wrongArgs(interp, objv,
                         "?-count n? ?-text? ?-index? ?-meta? ?-timeout seconds? ?-request text? name ?name ...?");
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    auto deadline = deadlineAfter(options.timeout);
    std::vector<Channel*> channels;
    std::vector<std::size_t> placeOf;
    if (!channelsOf(interp, command, objv + first, objc - first, 1, channels, &placeOf)) return TCL_ERROR;
    if (checkProtocolOptions(interp, command, channels, options) != TCL_OK) return TCL_ERROR;
    PvaGets pvaGets;

    std::unordered_map<Channel*, std::size_t> at;
    std::vector<Reading> readings(channels.size());
    for (std::size_t k = 0; k < channels.size(); ++k) {
        readings[k].subject = Subject{command, channels[k], -1};
        at[channels[k]] = k;
    }
    // Each name's read goes as soon as it connects.
    std::vector<Read> reads;
    reads.reserve(channels.size() * (options.meta ? 2 : 1));
    std::vector<RequestId> ids;
    std::vector<Channel*> connected, late;
    bool failed = false;
    {
        ConnectionWait wait(channels);
        while (!failed && !wait.done() && wait.next(deadline, connected)) {
            for (Channel* channel : connected) {
                Reading& reading = readings[at[channel]];
                const Subject& subject = reading.subject;
                if (channel->protocol == Protocol::Pva) {
                    reading.pvaGet = static_cast<long>(pvaGets.gets.size());
                    pvaGets.gets.push_back(pva::startGet(*channel, options.request));
                    pvaGets.subjects.push_back(&subject);
                    continue;
                }
                if (!formOf(interp, subject, options.text, options.index, reading.form)) {
                    failed = true;
                    break;
                }
                unsigned long elements = ca_element_count(channel->id);
                if (static_cast<unsigned long>(options.count) > elements) {
                    failFor(interp, subject, "-count %ld is more than its %lu elements", options.count, elements);
                    failed = true;
                    break;
                }
                reading.read = reads.size();
                chtype type = options.meta ? timeType(reading.form.form) : readType(reading.form.form);
                reads.push_back(readOf(subject, type, static_cast<unsigned long>(options.count)));
                if (sendRead(interp, reads.back(), ids) != TCL_OK) {
                    failed = true;
                    break;
                }
                chtype control = options.meta ? controlType(reading.form.form) : -1;
                if (control >= 0) {
                    reading.control = true;
                    reads.push_back(readOf(subject, control, 1));
                    if (sendRead(interp, reads.back(), ids) != TCL_OK) {
                        failed = true;
                        break;
                    }
                }
            }
            connected.clear();
        }
        if (!failed) wait.late(late);
    }
    if (failed) {
        closeAll(ids);
        return TCL_ERROR;
    }
    if (!late.empty()) {
        closeAll(ids);
        return timedOut(interp, command, late, options.timeout, Waiting::Connection);
    }
    std::vector<std::size_t> unanswered = awaitRequests(Side::Names, ids, secondsLeft(deadline));
    if (EPICSVerbose != 0)
        trace("%s: waiting for %zu answer%s returned with rc=0x%x\n", command, ids.size(), ids.size() == 1 ? "" : "s",
              static_cast<unsigned>(unanswered.empty() ? ECA_NORMAL : ECA_TIMEOUT));
    if (!unanswered.empty()) {
        std::vector<const Subject*> named;
        for (std::size_t i : unanswered)
            if (named.empty() || named.back() != reads[i].subject) named.push_back(reads[i].subject);
        closeAll(ids);
        return failTimeout(interp, named, options.timeout, Waiting::Value);
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        int status = ECA_NORMAL;
        requestAnswered(ids[i], status, reads[i].received);
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, "ca_get_callback", *reads[i].subject, status);
        }
    }
    closeAll(ids);
    if (pvaGets.await(interp, deadline, options.timeout) != TCL_OK) return TCL_ERROR;

    std::vector<Tcl_Obj*> values(channels.size());
    for (std::size_t k = 0; k < channels.size(); ++k) {
        const Reading& reading = readings[k];
        if (reading.pvaGet >= 0) {
            std::string why;
            values[k] = pva::getValue(pvaGets.gets[static_cast<std::size_t>(reading.pvaGet)], pvaForm(options), why);
            if (values[k] == nullptr) {
                for (std::size_t j = 0; j < k; ++j) Tcl_DecrRefCount(values[j]);
                return failPva(interp, reading.subject, why);
            }
            Tcl_IncrRefCount(values[k]);
            continue;
        }
        const Read& read = reads[reading.read];
        values[k] = options.meta ? metaDict(reading.form, read.data(), read.received,
                                            reading.control ? reads[reading.read + 1].data() : nullptr)
                                 : readValue(reading.form, read);
        Tcl_IncrRefCount(values[k]);
    }
    if (placeOf.size() == 1) {
        Tcl_SetObjResult(interp, values[0]);
    } else {
        Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
        for (std::size_t place : placeOf) Tcl_ListObjAppendElement(nullptr, list, values[place]);
        Tcl_SetObjResult(interp, list);
    }
    for (Tcl_Obj* value : values) Tcl_DecrRefCount(value);
    return TCL_OK;
}

// ---- put ------------------------------------------------------------------------------------

// PV Access puts of one command: each planned from a get that shows the
// PV's structure, all planned before anything of the command is sent.
struct PvaPuts {
    std::vector<pva::Put*> puts;
    std::vector<const Subject*> subjects;
    bool waited = false;
    ~PvaPuts() {
        for (pva::Put* put : puts) pva::endPut(put, waited);
    }
};

int planPvaPuts(Tcl_Interp* interp, const std::vector<const Subject*>& subjects, const std::vector<Tcl_Obj*>& values,
                const Options& options, Clock::time_point deadline, PvaPuts& out) {
    if (subjects.empty()) return TCL_OK;
    std::string field = options.field.empty() ? std::string("value") : options.field;
    PvaGets shapes;
    for (const Subject* subject : subjects) {
        shapes.gets.push_back(pva::startGet(*subject->channel, "field(" + field + ")"));
        shapes.subjects.push_back(subject);
    }
    if (shapes.await(interp, deadline, options.timeout) != TCL_OK) return TCL_ERROR;
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        std::string why;
        pva::Form form;
        if (pva::getValue(shapes.gets[i], form, why) == nullptr) return failPva(interp, *subjects[i], why);
        pva::Put* put = pva::planPut(shapes.gets[i], field, values[i], options.text, why);
        if (put == nullptr) return failFor(interp, *subjects[i], "%s", why.c_str());
        out.puts.push_back(put);
        out.subjects.push_back(subjects[i]);
    }
    return TCL_OK;
}

int putCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::put";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kWait | kCommand | kText | kTimeout | kRequest | kField,
                             options, Voice::Names);
    if (first < 0) return TCL_ERROR;
    int words = objc - first;
    if (words < 2 || words % 2 != 0)
        return wrongArgs(interp, objv,
                         "?-wait? ?-command script? ?-text? ?-timeout seconds? ?-request text? ?-field name? "
                         "name value ?name value ...?");
    if (options.wait && options.command != nullptr)
        return failUsage(interp, Voice::Names, "-wait and -command cannot go together in %s", command);
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    auto deadline = deadlineAfter(options.timeout);
    std::vector<Channel*> channels;
    std::vector<std::size_t> placeOf;
    if (!channelsOf(interp, command, objv + first, words / 2, 2, channels, &placeOf)) return TCL_ERROR;
    if (checkProtocolOptions(interp, command, channels, options) != TCL_OK) return TCL_ERROR;
    // Every channel connected, every value converted, before anything is sent.
    if (awaitAll(interp, command, channels, deadline, options.timeout) != TCL_OK) return TCL_ERROR;
    std::vector<Subject> subjects, pvaSubjects;
    std::vector<Tcl_Obj*> values, pvaValues;
    subjects.reserve(placeOf.size());
    pvaSubjects.reserve(placeOf.size());
    for (std::size_t i = 0; i < placeOf.size(); ++i) {
        Channel* channel = channels[placeOf[i]];
        bool pvAccess = channel->protocol == Protocol::Pva;
        (pvAccess ? pvaSubjects : subjects).push_back(Subject{command, channel, -1});
        (pvAccess ? pvaValues : values).push_back(objv[first + 1 + 2 * static_cast<int>(i)]);
    }
    PutPlan plan;
    if (!subjects.empty() && planPuts(interp, subjects, values.data(), 1, options.text, secondsLeft(deadline),
                                      options.timeout, plan) != TCL_OK)
        return TCL_ERROR;
    std::vector<const Subject*> pvaNamed;
    for (const Subject& subject : pvaSubjects) pvaNamed.push_back(&subject);
    PvaPuts pvaPuts;
    if (planPvaPuts(interp, pvaNamed, pvaValues, options, deadline, pvaPuts) != TCL_OK) return TCL_ERROR;

    bool completion = options.wait || options.command != nullptr;
    std::vector<RequestId> ids;
    if (!subjects.empty() && sendPuts(interp, subjects, plan, completion,
                                      options.command != nullptr ? &kCompletions : nullptr, notePlainPut, ids) != TCL_OK)
        return TCL_ERROR;
    for (std::size_t i = 0; i < pvaPuts.puts.size(); ++i)
        pva::sendPut(*pvaSubjects[i].channel, pvaPuts.puts[i], options.request, completion,
                     options.command != nullptr ? pvaPutEnded : nullptr);
    if (options.command != nullptr) {
        expectCompletion(interp, ids, subjects, options.command, options.timeout, pvaPuts.puts, pvaSubjects);
        pvaPuts.puts.clear();  // the completion's now
    }
    if (options.wait) {
        if (!subjects.empty() && awaitPuts(interp, subjects, ids, secondsLeft(deadline), options.timeout) != TCL_OK)
            return TCL_ERROR;
        pvaPuts.waited = true;
        std::vector<std::size_t> late = pva::awaitPuts(pvaPuts.puts, deadline);
        if (!late.empty()) {
            std::vector<const Subject*> named;
            for (std::size_t i : late) named.push_back(pvaPuts.subjects[i]);
            return failTimeout(interp, named, options.timeout, Waiting::Completion);
        }
        for (std::size_t i = 0; i < pvaPuts.puts.size(); ++i) {
            std::string failure = pva::putFailure(pvaPuts.puts[i]);
            if (!failure.empty()) return failPva(interp, *pvaPuts.subjects[i], failure);
        }
    } else {
        flushNames();
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

// ---- events ---------------------------------------------------------------------------------

int monitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::monitor";
    Options options;
    int first = parseOptions(interp, command, objc, objv, kMeta | kMask | kText | kIndex | kRequest, options,
                             Voice::Names);
    if (first < 0) return TCL_ERROR;
    if (objc - first != 2)
        return wrongArgs(interp, objv, "?-meta? ?-mask mask? ?-text? ?-index? ?-request text? name script");
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    std::string_view name;
    if (!pvName(interp, command, objv[first], name)) return TCL_ERROR;
    Channel* channel = useName(interp, command, name);
    if (channel == nullptr) return TCL_ERROR;
    if (checkProtocolOptions(interp, command, {channel}, options) != TCL_OK) return TCL_ERROR;
    flushNames();
    return startMonitor(interp, MonitorRequest{Subject{command, channel, -1}, objv[first + 1], &options, true});
}

int unmonitorCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    if (objc != 2) return wrongArgs(interp, objv, "id");
    const char* id = Tcl_GetString(objv[1]);
    if (!endMonitor(interp, id, true, "tessaly::unmonitor"))
        return failUsage(interp, Voice::Names, "tessaly::unmonitor: no monitor \"%.60s\" in this interpreter", id);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int onconnectionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::onconnection";
    if (objc != 3) return wrongArgs(interp, objv, "name script");
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    std::string_view name;
    if (!pvName(interp, command, objv[1], name)) return TCL_ERROR;
    Channel* channel = useName(interp, command, name);
    if (channel == nullptr) return TCL_ERROR;
    flushNames();
    setConnectionScript(interp, *channel, objv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

// ---- what there is --------------------------------------------------------------------------

// PV Access has no element count or access rights apart from a request:
// a connected name shows {read write} (the server judges each request),
// and its type as the server describes it (asked for here, within the
// default time-out).
int pvaInfo(Tcl_Interp* interp, Channel& channel, Link link) {
    static const char* const kStates[] = {"connecting", "connected", "disconnected"};
    bool up = link == Link::Connected;
    Tcl_Obj* type = nullptr;
    if (up) {
        PvaGets info;
        info.gets.push_back(pva::startInfo(channel));
        if (!pva::awaitGets(info.gets, deadlineAfter(Options{}.timeout)).empty()) type = nullptr;
        else type = pva::typeOf(info.gets[0]);
    }
    const char* name = channelName(channel);
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "name", newTextObj(name, strlen(name)));
    putKey(dict, "state", Tcl_NewStringObj(kStates[static_cast<int>(link)], -1));
    std::string peer = pva::peer(channel);
    putKey(dict, "host", newTextObj(peer.data(), peer.size()));
    Tcl_Obj* typeName = nullptr;
    Tcl_Obj* fields = nullptr;
    if (type != nullptr) {
        Tcl_IncrRefCount(type);
        Tcl_DictObjGet(nullptr, type, Tcl_NewStringObj("type", -1), &typeName);
        Tcl_DictObjGet(nullptr, type, Tcl_NewStringObj("fields", -1), &fields);
    }
    putKey(dict, "type", typeName != nullptr ? typeName : Tcl_NewStringObj("", -1));
    putKey(dict, "count", Tcl_NewIntObj(0));
    Tcl_Obj* access = Tcl_NewListObj(0, nullptr);
    if (up) {
        Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("read", -1));
        Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("write", -1));
    }
    putKey(dict, "access", access);
    putKey(dict, "monitors", monitorIds(channel, interp));
    putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(droppedOn(channel, interp))));
    putKey(dict, "fields", fields != nullptr ? fields : Tcl_NewListObj(0, nullptr));
    Tcl_SetObjResult(interp, dict);
    if (type != nullptr) Tcl_DecrRefCount(type);
    return TCL_OK;
}

int infoCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::info";
    if (objc != 2) return wrongArgs(interp, objv, "name");
    if (needNames(interp, command) != TCL_OK) return TCL_ERROR;
    std::string_view name;
    if (!pvName(interp, command, objv[1], name)) return TCL_ERROR;
    Channel* channel = useName(interp, command, name);
    if (channel == nullptr) return TCL_ERROR;
    flushNames();
    static const char* const kStates[] = {"connecting", "connected", "disconnected"};
    Link link = linkOf(*channel);
    bool up = link == Link::Connected;
    if (channel->protocol == Protocol::Pva) return pvaInfo(interp, *channel, link);
    chid id = channel->id;
    short type = up ? ca_field_type(id) : -1;
    Tcl_Obj* dict = Tcl_NewListObj(0, nullptr);
    putKey(dict, "name", newTextObj(name.data(), name.size()));
    putKey(dict, "state", Tcl_NewStringObj(kStates[static_cast<int>(link)], -1));
    putKey(dict, "host", Tcl_NewStringObj(up ? ca_host_name(id) : "", -1));
    putKey(dict, "type", Tcl_NewStringObj(type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type) : "", -1));
    putKey(dict, "count", Tcl_NewWideIntObj(up ? static_cast<Tcl_WideInt>(ca_element_count(id)) : 0));
    Tcl_Obj* access = Tcl_NewListObj(0, nullptr);
    if (up && ca_read_access(id)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("read", -1));
    if (up && ca_write_access(id)) Tcl_ListObjAppendElement(nullptr, access, Tcl_NewStringObj("write", -1));
    putKey(dict, "access", access);
    putKey(dict, "monitors", monitorIds(*channel, interp));
    putKey(dict, "dropped", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(droppedOn(*channel, interp))));
    Tcl_SetObjResult(interp, dict);
    return TCL_OK;
}

int disconnectCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    constexpr const char* command = "tessaly::disconnect";
    if (objc < 2) return wrongArgs(interp, objv, "name ?name ...?");
    std::vector<std::string_view> names(static_cast<std::size_t>(objc - 1));
    for (int i = 1; i < objc; ++i)
        if (!pvName(interp, command, objv[i], names[static_cast<std::size_t>(i - 1)])) return TCL_ERROR;
    // A name the interpreter does not use is no failure: it is disconnected.
    for (std::string_view name : names)
        if (Channel* channel = usedName(interp, name)) releaseName(interp, *channel);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

int channelsCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
    if (objc != 1) return wrongArgs(interp, objv, "");
    Tcl_SetObjResult(interp, namesUsed(interp));
    return TCL_OK;
}

constexpr ObjCommand kRows[] = {
    {"tessaly::connect", connectCmd},       {"tessaly::get", getCmd},
    {"tessaly::put", putCmd},               {"tessaly::monitor", monitorCmd},
    {"tessaly::unmonitor", unmonitorCmd},   {"tessaly::onconnection", onconnectionCmd},
    {"tessaly::info", infoCmd},             {"tessaly::disconnect", disconnectCmd},
    {"tessaly::channels", channelsCmd},
};

}  // namespace

const CommandTable<ObjCommand> kNameCommands{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace tessaly
