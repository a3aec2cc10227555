// The features of Tessaly that keep records tied to channels, interpreters
// and contexts (monitors, connection scripts, put completions, rejected-put
// reports, the name layer, ...) each join with a row of hooks.  The core
// calls the hooks without knowing the features: a new feature is a new file
// and a row in the table at the entry point (tessaly.cpp).
//
// Callbacks note records as ready under the callback lock; the event loop
// delivers them on the interpreter's thread, each through its feature's
// deliver hook, in the order they became ready.
#pragma once

#include "context.h"

#include <cstddef>
#include <cstdint>

namespace tessaly {

struct Channel;

// Why a feature's records on a channel end.
enum class Ending : uint8_t {
    Cleared,    // the channel has been cleared: the library is not asked
    Reset,      // the slot context is being reset: scripts hear of it
    Released,   // an interpreter lets go of a channel that stays
};

struct Feature {
    const char* name;
    // Delivers a record noted ready, on the interpreter's thread.
    void (*deliver)(uint32_t index, uint32_t generation);
    // The channel's records end: all of them (`only` null), or those of one
    // interpreter.  The channel itself is cleared by its owner afterwards.
    void (*forgetChannel)(Channel& channel, Tcl_Interp* only, Ending why);
    // The interpreter is being deleted: its records end.
    void (*forgetInterp)(Tcl_Interp* interp);
    // The context is about to be destroyed (its channels' records have been
    // told with forgetChannel already).
    void (*endContext)(Side side);
    // A context has been made (and is the thread's current one).
    void (*contextMade)(Side side);
    // The channel's connection changed (delivered in order, from the loop).
    void (*connectionChanged)(Channel& channel, bool up);
};

// At load: the table of features (tessaly.cpp).
void joinFeatures(const Feature* const* rows, std::size_t count);

// Notes a record as ready, under the callback lock, from any thread.  A
// record of the name layer's side wakes the interpreter's thread.
void noteReady(const Feature& feature, uint32_t index, uint32_t generation, Side side);

// The event loop's side: whether anything is ready, and delivering it all
// (what becomes ready meanwhile goes with the next delivery).
bool anythingReady();
void deliverReady();
// Told (under the callback lock) when the ready list gets its first record
// of the name layer's side while no delivery is pending; the event loop
// then wakes the interpreter's thread.  Cleared by the delivery.
using WakeHook = void (*)();
void setWakeHook(WakeHook hook);
void wakeDone();

// The hub: every feature's hook, in table order.
void forgetChannel(Channel& channel, Tcl_Interp* only, Ending why);
void forgetInterp(Tcl_Interp* interp);
void endContext(Side side);
void contextMade(Side side);
void connectionChanged(Channel& channel, bool up);

}  // namespace tessaly
