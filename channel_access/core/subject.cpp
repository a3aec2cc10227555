// Failures told in the voice of the slot commands or of the name layer.
#include "subject.h"
#include "text.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace tessaly {
namespace {

Tcl_Obj* nameObj(const Subject& subject) {
    const char* name = nameOf(subject);
    return newTextObj(name, strlen(name));
}

// Fails with `message` as the result and {TESSALY KIND NAME ?DETAIL?} as
// the errorCode.
int failNamed(Tcl_Interp* interp, const char* kind, const Subject& subject, const char* message,
              const char* detail = nullptr) {
    Tcl_Obj* code[4] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj(kind, -1), nameObj(subject),
                        detail != nullptr ? Tcl_NewStringObj(detail, -1) : nullptr};
    Tcl_SetObjResult(interp, newTextObj(message, strlen(message)));
    Tcl_SetObjErrorCode(interp, Tcl_NewListObj(detail != nullptr ? 4 : 3, code));
    return TCL_ERROR;
}

}  // namespace

const char* nameOf(const Subject& subject) { return channelName(*subject.channel); }

const char* typeNameOf(const Subject& subject) {
    if (subject.channel->protocol == Protocol::Pva) return isConnected(*subject.channel) ? "PV Access" : "not connected";
    short type = ca_field_type(subject.channel->id);
    return type >= 0 && type <= LAST_TYPE ? dbf_type_to_text(type) : "not connected";
}

void formatSeconds(char* out, std::size_t size, double seconds) {
    if (std::isinf(seconds)) snprintf(out, size, "inf");
    else snprintf(out, size, "%g", seconds);
}

int vfailFor(Tcl_Interp* interp, const Subject& subject, const char* format, va_list args) {
    char reason[kResponseSize];
    vsnprintf(reason, sizeof reason, format, args);
    if (subject.slot >= 0)
        return failWith(interp, "%s slot %d (%s, %s): %s", subject.command, subject.slot, nameOf(subject),
                        typeNameOf(subject), reason);
    char message[2 * kResponseSize];
    snprintf(message, sizeof message, "%s %s (%s): %s", subject.command, nameOf(subject),
             typeNameOf(subject), reason);
    return failNamed(interp, "VALUE", subject, message);
}

int failFor(Tcl_Interp* interp, const Subject& subject, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfailFor(interp, subject, format, args);
    va_end(args);
    return TCL_ERROR;
}

int failLibrary(Tcl_Interp* interp, std::string_view call, const Subject& subject, int status) {
    if (subject.slot >= 0)
        return failWith(interp, "%.*s in %s failed %s (slot %d, %s)", static_cast<int>(call.size()),
                        call.data(), subject.command, ca_message(status), subject.slot, nameOf(subject));
    char message[kResponseSize];
    snprintf(message, sizeof message, "%s %s: %s", subject.command, nameOf(subject), ca_message(status));
    switch (status) {
    case ECA_NORDACCESS:
    case ECA_NOWTACCESS: return failNamed(interp, "ACCESS", subject, message);
    case ECA_DISCONN: return failNamed(interp, "NOTCONNECTED", subject, message);
    default: return failNamed(interp, "CA", subject, message, ca_message(status));
    }
}

int failPva(Tcl_Interp* interp, const Subject& subject, const std::string& text) {
    std::string message = std::string(subject.command) + " " + nameOf(subject) + ": " + text;
    Tcl_Obj* code[4] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj("PVA", -1), nameObj(subject),
                        newTextObj(text.data(), text.size())};
    Tcl_SetObjResult(interp, newTextObj(message.data(), message.size()));
    Tcl_SetObjErrorCode(interp, Tcl_NewListObj(4, code));
    return TCL_ERROR;
}

int failTimeout(Tcl_Interp* interp, const std::vector<const Subject*>& late, double seconds,
                Waiting waiting) {
    static const char* const kSlotWords[] = {"the value of", "the completion of", "the connection of"};
    static const char* const kNameWords[] = {"no value", "not completed", "not connected"};
    int what = static_cast<int>(waiting);
    char after[32];
    formatSeconds(after, sizeof after, seconds);
    const Subject& first = *late.front();
    if (first.slot >= 0)
        return failWith(interp, "%s timed out after %s s waiting for %s slot %d (%s)", first.command, after,
                        kSlotWords[what], first.slot, nameOf(first));
    // Every name, however many: the message is made on the heap.
    std::string message = std::string(first.command) + " timed out after " + after + " s: " + kNameWords[what] + ":";
    Tcl_Obj* names = Tcl_NewListObj(0, nullptr);
    for (const Subject* subject : late) {
        message += ' ';
        message += nameOf(*subject);
        Tcl_ListObjAppendElement(nullptr, names, nameObj(*subject));
    }
    Tcl_Obj* code[3] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj("TIMEOUT", -1), names};
    Tcl_SetObjResult(interp, newTextObj(message.data(), message.size()));
    Tcl_SetObjErrorCode(interp, Tcl_NewListObj(3, code));
    return TCL_ERROR;
}

}  // namespace tessaly
