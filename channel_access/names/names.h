// The name table: one channel per PV name in the process, made at the
// name's first use in any interpreter and shared by every interpreter that
// uses it; and each interpreter's view, the names it has used in the order
// first used.  A name is connected (its search started) on first use and
// kept until the interpreter disconnects it or is deleted; a channel no
// interpreter uses any more is cleared.
#pragma once

#include "../core/channel.h"
#include "../core/options.h"

#include <chrono>
#include <string_view>
#include <vector>

namespace tessaly {

// The PV name of a word: "ca://NAME" is NAME.  False (having failed the
// command with its reason) for a word that names no Channel Access PV.
bool pvName(Tcl_Interp* interp, const char* command, Tcl_Obj* word, std::string_view& name);

// The name layer may run here: a Tcl with threads, the thread that loaded
// the extension, a context.  Fails the command otherwise.
int needNames(Tcl_Interp* interp, const char* command);

// The interpreter's channel of a name, made (its search started) on first
// use; null having failed the command.
Channel* useName(Tcl_Interp* interp, const char* command, std::string_view name);
// The channel of a name this interpreter uses, or null.
Channel* usedName(Tcl_Interp* interp, std::string_view name);
// The interpreter lets go of a name: its records on it end, and the channel
// is cleared when no interpreter uses it any more.
void releaseName(Tcl_Interp* interp, Channel& channel);
// The names the interpreter uses, in the order first used.
Tcl_Obj* namesUsed(Tcl_Interp* interp);

// Sends what the name layer's requests and creations queued.
void flushNames();

using Clock = std::chrono::steady_clock;
Clock::time_point deadlineAfter(double seconds);

// Waits, until `deadline`, for the channels to connect; `ready` is called
// (without the callback lock) for each as it connects, as soon as it does,
// so that a command sends its requests while others still search.  The
// channels that did not connect in time go to `late` (empty: all did).
template <typename Ready>
void awaitConnections(const std::vector<Channel*>& channels, Clock::time_point deadline, Ready ready,
                      std::vector<Channel*>& late);

// The process is ending: every Channel Access channel of a name is cleared
// (the library keeps each one's name until then, even past its context).
void clearNamesAtExit();

extern const Feature kNameTable;
// Searches again at once for the server of a name that has lost it
// (search_again.cpp).
extern const Feature kSearchAgain;
// The process is ending: the probe for lost servers goes.
void endSearchAgainAtExit();

// ---- template -------------------------------------------------------------------

// The steps of awaitConnections (names.cpp).
struct ConnectionWait {
    explicit ConnectionWait(const std::vector<Channel*>& channels);
    ~ConnectionWait();
    // The channels that connected since the last call (the first call: those
    // connected already); false once the deadline has passed with none.
    bool next(Clock::time_point deadline, std::vector<Channel*>& connected);
    void late(std::vector<Channel*>& out) const;
    bool done() const { return left_ == 0; }

private:
    const std::vector<Channel*>& channels_;
    std::size_t left_;
    bool first_ = true;
};

template <typename Ready>
void awaitConnections(const std::vector<Channel*>& channels, Clock::time_point deadline, Ready ready,
                      std::vector<Channel*>& late) {
    ConnectionWait wait(channels);
    std::vector<Channel*> connected;
    while (!wait.done() && wait.next(deadline, connected)) {
        for (Channel* channel : connected) ready(*channel);
        connected.clear();
    }
    wait.late(late);
}

}  // namespace tessaly
