// Connection scripts.  While a channel has any, it is watched (core/
// channel.h): its changes are delivered in order through the registry.
#include "connections.h"
#include "loop.h"
#include "notices.h"
#include "../core/text.h"

#include <vector>

namespace tessaly {
namespace {

void dropAt(Channel& channel, std::size_t i, bool alive) {
    Tcl_DecrRefCount(channel.scripts[i].script);
    channel.scripts.erase(channel.scripts.begin() + static_cast<long>(i));
    unwatchChannel(channel, alive);
}

void runScripts(Channel& channel, bool up) {
    if (channel.scripts.empty()) return;
    // A script may remove itself or clear the channel: run a copy of the list.
    std::vector<ChannelScript> scripts = channel.scripts;
    for (ChannelScript& script : scripts) Tcl_IncrRefCount(script.script);
    for (ChannelScript& script : scripts) {
        Tcl_Obj* state = Tcl_NewIntObj(up ? 1 : 0);
        runScript(script.interp, script.script, &state, 1);
    }
    for (ChannelScript& script : scripts) Tcl_DecrRefCount(script.script);
}

void forgetChannelScripts(Channel& channel, Tcl_Interp* only, Ending why) {
    for (std::size_t i = channel.scripts.size(); i-- > 0;) {
        ChannelScript& script = channel.scripts[i];
        if (only != nullptr && script.interp != only) continue;
        // A reset tells each script the channel is gone, as a disconnect would.
        if (why == Ending::Reset) noticeScript(script.interp, script.script, Tcl_NewIntObj(0));
        dropAt(channel, i, why == Ending::Released);
    }
}

void forgetInterpScripts(Tcl_Interp* interp) {
    for (Side side : {Side::Slots, Side::Names})
        forEachChannel(side, [interp](Channel& channel) {
            for (std::size_t i = channel.scripts.size(); i-- > 0;)
                if (channel.scripts[i].interp == interp) dropAt(channel, i, true);
        });
}

}  // namespace

const Feature kConnectionScripts = {"connection scripts", nullptr, forgetChannelScripts, forgetInterpScripts,
                                    nullptr, nullptr, runScripts};

void setConnectionScript(Tcl_Interp* interp, Channel& channel, Tcl_Obj* script) {
    for (std::size_t i = 0; i < channel.scripts.size(); ++i) {
        if (channel.scripts[i].interp != interp) continue;
        dropAt(channel, i, true);
        break;
    }
    TclSize length;
    Tcl_GetStringFromObj(script, &length);
    if (length == 0) return;
    Tcl_IncrRefCount(script);
    channel.scripts.push_back(ChannelScript{interp, script});
    watchInterp(interp);
    watchChannel(channel);
    startEvents();
}

}  // namespace tessaly
