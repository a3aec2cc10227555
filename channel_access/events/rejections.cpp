// Rejected plain puts, and libca's exception handler.
#include "rejections.h"
#include "loop.h"
#include "../core/lock.h"
#include "../core/pool.h"
#include "../core/text.h"

#include <epicsTime.h>
#include <errlog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace tessaly {
namespace {

// Per channel (by ref), which plain puts of the newer commands are going
// out (so that a rejection of one is theirs to report) and for whom.
struct PlainPuts {
    Tcl_Interp* interp = nullptr;
    const char* command = "";
    bool named = false;
    uint32_t types = 0;          // bits of the DBR types sent
    bool stringIsOurs = false;   // the last plain DBR_STRING put was one of ours
};
std::unordered_map<uint32_t, PlainPuts> plainPuts;  // under the callback lock

struct Rejection {
    Tcl_Interp* interp = nullptr;
    bool named = false;
    char message[200] = "";
    char name[80] = "";
    char text[80] = "";
};
Pool<Rejection> rejections;  // under the callback lock
int slotHandlerContext = 0;  // the slot context whose exception handler is ours

// What libca reports of an exception when no handler is installed, word
// for word (through the error log, to standard error), for the exceptions
// that are not ours.  libca would then end the process for the fatal ones;
// here the process goes on.
void reportAsLibrary(long status, const char* file, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void reportAsLibrary(long status, const char* file, unsigned line, const char* format, ...) {
    static const char* const kSeverities[] = {"Warning", "Success", "Error", "Info",
                                              "Fatal",   "Fatal",   "Fatal", "Fatal"};
    errlogPrintf("CA.Client.Exception...............................................\n");
    errlogPrintf("    %s: \"%s\"\n", kSeverities[CA_EXTRACT_SEVERITY(status)], ca_message(status));
    va_list args;
    va_start(args, format);
    errlogPrintf("    Context: \"");
    errlogVprintf(format, args);
    errlogPrintf("\"\n");
    va_end(args);
    if (file != nullptr) errlogPrintf("    Source File: %s line %u\n", file, line);
    epicsTimeStamp now;
    epicsTimeGetCurrent(&now);
    char date[64];
    epicsTimeToStrftime(date, sizeof date, "%a %b %d %Y %H:%M:%S.%f", &now);
    errlogPrintf("    Current Time: %s\n", date);
    errlogPrintf("..................................................................\n");
}

// A rejection of a plain put of ours, noted for its interpreter (under the lock).
bool noteOurs(const exception_handler_args& args) {
    if (args.chid == nullptr || args.op != CA_OP_PUT || args.type < 0 || args.type >= 32) return false;
    auto* channel = static_cast<Channel*>(ca_puser(args.chid));
    if (channel == nullptr) return false;
    auto found = plainPuts.find(channel->ref);
    if (found == plainPuts.end()) return false;
    const PlainPuts& puts = found->second;
    bool ours = (puts.types & (1u << args.type)) != 0 && (args.type != DBR_STRING || puts.stringIsOurs);
    if (!ours || puts.interp == nullptr) return false;
    long index = rejections.add();
    if (index < 0) return false;
    Rejection& rejection = rejections[static_cast<std::size_t>(index)];
    rejection.interp = puts.interp;
    rejection.named = puts.named;
    snprintf(rejection.name, sizeof rejection.name, "%s", ca_name(args.chid));
    snprintf(rejection.text, sizeof rejection.text, "%s", ca_message(args.stat));
    if (puts.named)
        snprintf(rejection.message, sizeof rejection.message, "%s %s: %s", puts.command, ca_name(args.chid),
                 ca_message(args.stat));
    else
        snprintf(rejection.message, sizeof rejection.message, "ca_put in %s failed %s (slot %u, %s)", puts.command,
                 ca_message(args.stat), channel->ref, ca_name(args.chid));
    noteReady(kRejections, static_cast<uint32_t>(index), rejections.generation(static_cast<std::size_t>(index)),
              channel->side);
    return true;
}

void onException(exception_handler_args args) {
    {
        Held hold(callbackLock());
        if (noteOurs(args)) return;
    }
    if (args.chid != nullptr)
        reportAsLibrary(args.stat, args.pFile, args.lineNo, "op=%u, channel=%s, type=%s, count=%lu, ctx=\"%s\"",
                        static_cast<unsigned>(args.op), ca_name(args.chid),
                        dbr_type_to_text(static_cast<int>(args.type)), static_cast<unsigned long>(args.count),
                        args.ctx);
    else
        reportAsLibrary(args.stat, args.pFile, args.lineNo, "%s", args.ctx);
}

void deliverRejection(uint32_t index, uint32_t generation) {
    Rejection rejection;
    {
        Held hold(callbackLock());
        Rejection* found = rejections.find(index, generation);
        if (found == nullptr) return;
        rejection = *found;
        rejections.remove(index);
    }
    Tcl_Obj* code = nullptr;
    if (rejection.named) {
        Tcl_Obj* words[4] = {Tcl_NewStringObj("TESSALY", -1), Tcl_NewStringObj("CA", -1),
                             newTextObj(rejection.name, strlen(rejection.name)), Tcl_NewStringObj(rejection.text, -1)};
        code = Tcl_NewListObj(4, words);
    }
    backgroundError(rejection.interp, rejection.message, code);
}

void forgetChannelPuts(Channel& channel, Tcl_Interp* only, Ending) {
    Held hold(callbackLock());
    auto found = plainPuts.find(channel.ref);
    if (found != plainPuts.end() && (only == nullptr || found->second.interp == only)) plainPuts.erase(found);
}

void forgetInterpPuts(Tcl_Interp* interp) {
    Held hold(callbackLock());
    for (auto it = plainPuts.begin(); it != plainPuts.end();)
        it = it->second.interp == interp ? plainPuts.erase(it) : std::next(it);
    for (std::size_t index = 0; index < rejections.size(); ++index)
        if (rejections.used(index) && rejections[index].interp == interp) rejections.remove(index);
}

void endPuts(Side side) {
    Held hold(callbackLock());
    for (std::size_t index = 0; index < rejections.size(); ++index)
        if (rejections.used(index) && !rejections[index].named && side == Side::Slots) rejections.remove(index);
}

// The name layer's context reports its rejections from the start.
void installHandler(Side side) {
    if (side == Side::Names) ca_add_exception_event(onException, nullptr);
}

}  // namespace

const Feature kRejections = {"rejected puts", deliverRejection, forgetChannelPuts, forgetInterpPuts,
                             endPuts, installHandler, nullptr};

void notePlainPut(Tcl_Interp* interp, const Subject& subject, chtype type) {
    // The slot context's handler is installed once such a put is made: until
    // then libca reports every exception itself.
    if (subject.channel->side == Side::Slots && slotHandlerContext != contextNumber()) {
        ca_add_exception_event(onException, nullptr);
        slotHandlerContext = contextNumber();
    }
    watchInterp(interp);
    startEvents();
    Held hold(callbackLock());
    PlainPuts& puts = plainPuts[subject.channel->ref];
    puts.interp = interp;
    puts.command = subject.command;
    puts.named = subject.slot < 0;
    puts.types |= 1u << type;
    if (type == DBR_STRING) puts.stringIsOurs = true;
}

void noteSpecifiedStringPut(uint32_t slot) {
    Held hold(callbackLock());
    auto found = plainPuts.find(slot);
    if (found != plainPuts.end()) found->second.stringIsOurs = false;
}

}  // namespace tessaly
