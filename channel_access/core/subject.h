// Who a request or a value belongs to, and how a failure about it is told.
//
// The slot commands and the name layer speak in two voices.  The slot
// commands name the slot, and their errorCode is the message itself:
//     EPICS_Put slot 3 (LAB:GAIN, DBF_FLOAT): expected a number, got "x"
// The name layer names the PV, and its errorCode is a list by Tcl's
// convention: {TESSALY VALUE LAB:GAIN}, {TESSALY CA LAB:GAIN TEXT}, ...
#pragma once

#include "channel.h"

#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

struct Subject {
    const char* command;
    Channel* channel;
    int32_t slot;        // -1: a channel of the name layer
};

inline Subject slotSubject(const char* command, uint32_t slot) {
    return Subject{command, &slotChannel(slot), static_cast<int32_t>(slot)};
}

// The channel's name as the library has it.
const char* nameOf(const Subject& subject);
// "DBF_DOUBLE", or "not connected".
const char* typeNameOf(const Subject& subject);

// A value that does not fit (or an option the channel cannot take):
// "COMMAND slot N (NAME, TYPE): REASON", or "COMMAND NAME (TYPE): REASON"
// with {TESSALY VALUE NAME}.
int failFor(Tcl_Interp* interp, const Subject& subject, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vfailFor(Tcl_Interp* interp, const Subject& subject, const char* format, va_list args);

// A library status that fails the command:
// "CALL in COMMAND failed TEXT (slot N, NAME)", or "COMMAND NAME: TEXT" with
// {TESSALY ACCESS NAME}, {TESSALY NOTCONNECTED NAME} or {TESSALY CA NAME TEXT}.
int failLibrary(Tcl_Interp* interp, std::string_view call, const Subject& subject, int status);

// A failure that PV Access reports (the server's or the library's text):
// "COMMAND pva://NAME: TEXT" with {TESSALY PVA NAME TEXT}.
int failPva(Tcl_Interp* interp, const Subject& subject, const std::string& text);

// What a command waited for in vain.
enum class Waiting : uint8_t { Value, Completion, Connection };

// Requests not answered in time: "COMMAND timed out after S s waiting for
// the value of slot N (NAME)" (the first of them), or "COMMAND timed out
// after S s: no value: NAME NAME ..." with {TESSALY TIMEOUT {NAME NAME ...}}.
int failTimeout(Tcl_Interp* interp, const std::vector<const Subject*>& late, double seconds,
                Waiting waiting);

// Seconds as messages give them ("5", "0.2").
void formatSeconds(char* out, std::size_t size, double seconds);

}  // namespace tessaly
