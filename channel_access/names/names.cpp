// The name table and the interpreters' views of it.
#include "names.h"
#include "../core/context.h"
#include "../core/lock.h"
#include "../core/subject.h"
#include "../core/text.h"
#include "../events/loop.h"
#include "../pva/pva.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace tessaly {
namespace {

std::unordered_map<std::string, Channel*> table;  // on the interpreter's thread

// An interpreter's names: in the order first used (gaps where released,
// closed up now and then), and where each is in that order.
struct View {
    std::vector<Channel*> order;
    std::size_t gaps = 0;
    std::unordered_map<Channel*, std::size_t> place;
};

constexpr const char* kViewKey = "Tessaly:names";

void viewGone(ClientData data, Tcl_Interp* interp);

View* viewOf(Tcl_Interp* interp, bool make) {
    auto* view = static_cast<View*>(Tcl_GetAssocData(interp, kViewKey, nullptr));
    if (view != nullptr || !make) return view;
    view = new View;
    Tcl_SetAssocData(interp, kViewKey, viewGone, view);
    return view;
}

void clearChannel(Channel& channel) {
    table.erase(channelName(channel));
    if (channel.protocol == Protocol::Pva) {
        pva::close(channel);
    } else {
        checkUnlocked("ca_clear_channel");
        ca_clear_channel(channel.id);
    }
    freeNameChannel(channel);
}

void forget(View& view, Channel& channel) {
    auto found = view.place.find(&channel);
    if (found == view.place.end()) return;
    view.order[found->second] = nullptr;
    view.place.erase(found);
    if (++view.gaps > 64 && view.gaps > view.order.size() / 2) {
        std::size_t kept = 0;
        for (Channel* used : view.order) {
            if (used == nullptr) continue;
            view.place[used] = kept;
            view.order[kept++] = used;
        }
        view.order.resize(kept);
        view.gaps = 0;
    }
}

// The interpreter is being deleted (or has let go of the name layer): its
// names are released, each as tessaly::disconnect releases it, whatever
// order Tcl deletes the interpreter's associated data in.
void viewGone(ClientData data, Tcl_Interp* interp) {
    auto* view = static_cast<View*>(data);
    for (Channel* channel : view->order) {
        if (channel == nullptr) continue;
        forgetChannel(*channel, interp, Ending::Released);
        if (--channel->users == 0) clearChannel(*channel);
    }
    delete view;
}

void forgetInterpNames(Tcl_Interp* interp) {
    if (viewOf(interp, false) != nullptr) Tcl_DeleteAssocData(interp, kViewKey);
}

}  // namespace

const Feature kNameTable = {"name table", nullptr, nullptr, forgetInterpNames, nullptr, nullptr, nullptr};

bool pvName(Tcl_Interp* interp, const char* command, Tcl_Obj* word, std::string_view& name) {
    TclSize length;
    const char* text = Tcl_GetStringFromObj(word, &length);
    name = std::string_view(text, static_cast<std::size_t>(length));
    if (name.substr(0, 5) == "ca://") name.remove_prefix(5);
    bool pvAccess = name.substr(0, pva::kScheme.size()) == pva::kScheme;
    std::string_view bare = pvAccess ? name.substr(pva::kScheme.size()) : name;
    const char* why = nullptr;
    if (bare.empty()) why = "an empty name";
    else if (name.find('\0') != std::string_view::npos || strlen(text) != static_cast<std::size_t>(length))
        why = "a name with a NUL in it";
    else if (bare.find("://") != std::string_view::npos)
        why = "a protocol this Tessaly does not speak (ca:// is Channel Access, pva:// PV Access)";
    if (why == nullptr) return true;
    failUsage(interp, Voice::Names, "%s: \"%.60s\" is %s", command, text, why);
    return false;
}

int needNames(Tcl_Interp* interp, const char* command) {
    if (!threadedTcl())
        return failUsage(interp, Voice::Names, "%s needs a Tcl built with threads", command);
    if (!onHomeThread())
        return failUsage(interp, Voice::Names, "%s serves the thread that first loaded Tessaly only", command);
    const char* why = nullptr;
    if (!haveNameContext(why))
        return failUsage(interp, Voice::Names, "%s: no Channel Access context: %s", command, why);
    return TCL_OK;
}

Channel* useName(Tcl_Interp* interp, const char* command, std::string_view name) {
    View& view = *viewOf(interp, true);
    std::string key(name);
    auto found = table.find(key);
    Channel* channel = found != table.end() ? found->second : nullptr;
    if (channel == nullptr) {
        channel = newNameChannel();
        if (channel == nullptr) {
            failUsage(interp, Voice::Names, "%s: too many channels", command);
            return nullptr;
        }
        if (key.compare(0, pva::kScheme.size(), pva::kScheme) == 0) {
            std::string why;
            if (!pva::open(*channel, std::string_view(key).substr(pva::kScheme.size()), why)) {
                freeNameChannel(*channel);
                Tcl_Obj* code[4] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj("PVA", -1),
                                    newTextObj(key.data(), key.size()), newTextObj(why.data(), why.size())};
                std::string message = std::string(command) + " " + key + ": " + why;
                Tcl_SetObjResult(interp, newTextObj(message.data(), message.size()));
                Tcl_SetObjErrorCode(interp, Tcl_NewListObj(4, code));
                return nullptr;
            }
            table.emplace(std::move(key), channel);
        }
        int status = ECA_NORMAL;
        if (channel->protocol == Protocol::Ca) {
            InNameContext in;
            checkUnlocked("ca_create_channel");
            status = ca_create_channel(key.c_str(), onConnection, channel, kPriority, &channel->id);
        }
        if (status != ECA_NORMAL) {
            freeNameChannel(*channel);
            Tcl_Obj* code[4] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj("CA", -1),
                                newTextObj(key.data(), key.size()), Tcl_NewStringObj(ca_message(status), -1)};
            std::string message = std::string(command) + " " + key + ": ca_create_channel failed " + ca_message(status);
            Tcl_SetObjResult(interp, newTextObj(message.data(), message.size()));
            Tcl_SetObjErrorCode(interp, Tcl_NewListObj(4, code));
            return nullptr;
        }
        if (channel->protocol == Protocol::Ca) table.emplace(std::move(key), channel);
    }
    if (view.place.emplace(channel, view.order.size()).second) {
        view.order.push_back(channel);
        ++channel->users;
    }
    return channel;
}

void clearNamesAtExit() {
    if (table.empty()) return;  // (names exist only with the name context)
    InNameContext in;
    for (auto& entry : table)
        if (entry.second->protocol == Protocol::Ca) ca_clear_channel(entry.second->id);
    table.clear();
}

Channel* usedName(Tcl_Interp* interp, std::string_view name) {
    View* view = viewOf(interp, false);
    if (view == nullptr) return nullptr;
    auto found = table.find(std::string(name));
    if (found == table.end() || view->place.count(found->second) == 0) return nullptr;
    return found->second;
}

void releaseName(Tcl_Interp* interp, Channel& channel) {
    View* view = viewOf(interp, false);
    if (view == nullptr || view->place.count(&channel) == 0) return;
    forgetChannel(channel, interp, Ending::Released);
    forget(*view, channel);
    if (--channel.users == 0) clearChannel(channel);
}

Tcl_Obj* namesUsed(Tcl_Interp* interp) {
    Tcl_Obj* names = Tcl_NewListObj(0, nullptr);
    View* view = viewOf(interp, false);
    if (view == nullptr) return names;
    for (Channel* channel : view->order) {
        if (channel == nullptr) continue;
        const char* name = channelName(*channel);
        Tcl_ListObjAppendElement(nullptr, names, newTextObj(name, strlen(name)));
    }
    return names;
}

void flushNames() {
    checkUnlocked("ca_flush_io");
    InNameContext in;
    ca_flush_io();
}

Clock::time_point deadlineAfter(double seconds) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    if (!(seconds < kCentury)) seconds = kCentury;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ---- waiting for connections ----------------------------------------------------------

ConnectionWait::ConnectionWait(const std::vector<Channel*>& channels) : channels_(channels), left_(channels.size()) {
    Held hold(callbackLock());
    waitingCommands(1);
}

ConnectionWait::~ConnectionWait() {
    Held hold(callbackLock());
    for (Channel* channel : channels_) channel->awaited = false;
    std::vector<Channel*> stale;
    takeArrivals(stale);
    waitingCommands(-1);
}

bool ConnectionWait::next(Clock::time_point deadline, std::vector<Channel*>& connected) {
    flushNames();
    HeldUnique hold(callbackLock());
    if (first_) {
        first_ = false;
        for (Channel* channel : channels_) {
            if (channel->link == Link::Connected) connected.push_back(channel);
            else channel->awaited = true;
        }
        left_ -= connected.size();
        return true;
    }
    for (;;) {
        takeArrivals(connected);
        if (!connected.empty()) {
            left_ -= connected.size();
            return true;
        }
        if (answerArrived().wait_until(hold, deadline) == std::cv_status::timeout) {
            takeArrivals(connected);
            left_ -= connected.size();
            return !connected.empty();
        }
    }
}

void ConnectionWait::late(std::vector<Channel*>& out) const {
    // Those still awaited never connected (the first call took the ones
    // connected already without marking them).
    Held hold(callbackLock());
    for (Channel* channel : channels_)
        if (channel->awaited) out.push_back(channel);
}

}  // namespace tessaly
