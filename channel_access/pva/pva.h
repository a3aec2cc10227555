// PV Access under the name layer: names "pva://NAME" are channels of
// pvAccess's client (pvac::ClientProvider "pva", configured from the
// environment: EPICS_PVA_ADDR_LIST, EPICS_PVA_AUTO_ADDR_LIST, ...), with
// the same records, connection scripts, monitors and waits as Channel
// Access names.
//
// pvAccess runs its callbacks on threads of its own, at any time, as libca
// does in the name layer's context: they keep to core/lock.h's rule (copy
// under the callback lock, note ready, never call Tcl).  Everything here
// but those callbacks runs on the interpreter's thread.
//
// A build without PV Access (TESSALY_PVA off, the Windows builds) has the
// same functions (absent.cpp): `available` says why not, and every pva://
// name fails its command with that reason.
#pragma once

#include "../core/channel.h"
#include "../core/options.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {
namespace pva {

constexpr std::string_view kScheme = "pva://";

// Whether PV Access can serve here; `why` says why not.
bool available(std::string& why);

// ---- channels --------------------------------------------------------------------------

// Makes `channel` the channel of PV `name` (without the scheme) and starts
// its search; false with `why` when the library refuses.
bool open(Channel& channel, std::string_view name, std::string& why);
// Lets the channel go (its operations ended first by their owners).
void close(Channel& channel);
// "pva://NAME".
const char* label(const Channel& channel);
// The server's address while connected, else "".
std::string peer(const Channel& channel);
// The top structure's ID ("epics:nt/NTScalar:1.0") when known, else "".
std::string typeId(const Channel& channel);

// ---- reads ------------------------------------------------------------------------------

// How a value is given to Tcl.
struct Form {
    long count = 0;        // at most this many elements of an array (0: all)
    bool text = false;     // a byte array as text
    bool index = false;    // an enum as its index
    bool meta = false;     // the dict with alarm, time and display
};

struct Get;  // one get in flight

// Starts a get with `request` (a pvRequest, "" for the whole structure).
Get* startGet(Channel& channel, const std::string& request);
// Waits until every get has ended or `deadline`; the places of those still
// running then.
std::vector<std::size_t> awaitGets(const std::vector<Get*>& gets, std::chrono::steady_clock::time_point deadline);
// An ended get's value in `form`, or null with the server's or library's
// reason in `why`.
Tcl_Obj* getValue(Get* get, const Form& form, std::string& why);
// Ends a get (cancelled if still running) and frees it.
void endGet(Get* get);

// Starts asking for the PV's type (getField), ended like a get.
Get* startInfo(Channel& channel);
// An ended info's answer: {type ID fields {NAME TYPE ...}}, or null.
Tcl_Obj* typeOf(Get* get);

// ---- puts --------------------------------------------------------------------------------

struct Put;  // one put, planned then sent

// Plans a put of `value` to `field` ("" for value) from a get's answer that
// shows the PV's structure (and, for an enum, its choices): converted here,
// so that a value that does not fit fails (false, `why`) before anything
// of the command is sent.
Put* planPut(Get* shape, const std::string& field, Tcl_Obj* value, bool text, std::string& why);
// Sends it with `request` (block: record[block=true], the server answers
// when the record has processed).  `ended`, when given, is called with the
// put on pvAccess's thread (without the callback lock) once it has ended.
void sendPut(Channel& channel, Put* put, const std::string& request, bool block,
             void (*ended)(Put*) = nullptr);
// Whether a put has ended (answered, refused or never sent).
bool putEnded(Put* put);
// Waits until every put has ended or `deadline`: the places of those still
// running.
std::vector<std::size_t> awaitPuts(const std::vector<Put*>& puts, std::chrono::steady_clock::time_point deadline);
// An ended put's failure, or "" when it succeeded.
std::string putFailure(Put* put);
// Ends a put (cancelled if still running: a put not waited for runs to its
// end on its own and is freed then) and frees it.
void endPut(Put* put, bool waitedFor);

// ---- monitors --------------------------------------------------------------------------

struct Watch;  // one subscription

// Subscribes with `request`; each update calls `arrived(tag)` on
// pvAccess's thread (without the callback lock).  Null with `why`.
Watch* subscribe(Channel& channel, const std::string& request, void (*arrived)(void*), void* tag, std::string& why);
// The newest update not yet taken in `form` (null: none); `skipped` counts
// older ones replaced by it, here or in the server's queue.
Tcl_Obj* takeNewest(Watch* watch, const Form& form, uint64_t& skipped);
// Cancels and frees.
void unsubscribe(Watch* watch);

// Before the process ends: every channel and subscription of PV Access let
// go while the library's threads still run.
void shutdown();

}  // namespace pva
}  // namespace tessaly
