// Options of the newer commands and the name layer.
#include "options.h"
#include "text.h"

#include <cadef.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace tessaly {
namespace {

// Every option, in the order messages list them; a name's place in kNames
// is its bit's place in Option.
constexpr const char* kNames[] = {"-count", "-text", "-index", "-timeout", "-wait", "-meta", "-mask",
                                  "-command", "-request", "-field", nullptr};
constexpr bool kTakesValue[] = {true, false, false, true, false, false, true, true, true, true};
constexpr int kOptionCount = sizeof kTakesValue / sizeof kTakesValue[0];

struct MaskWord {
    std::string_view name;
    unsigned long bit;
};
constexpr MaskWord kMaskWords[] = {{"value", DBE_VALUE}, {"log", DBE_LOG}, {"alarm", DBE_ALARM}};

bool looksLikeOption(Tcl_Obj* word) {
    const char* text = Tcl_GetString(word);
    return text[0] == '-' && (((text[1] | 0x20) >= 'a' && (text[1] | 0x20) <= 'z') || text[1] == '-');
}

int vfailUsage(Tcl_Interp* interp, Voice voice, const char* format, va_list args) {
    char message[kResponseSize];
    vsnprintf(message, sizeof message, format, args);
    if (voice == Voice::Slots) return failWith(interp, "%s", message);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(message, -1));
    Tcl_SetErrorCode(interp, "TESSALY", "USAGE", static_cast<char*>(nullptr));
    return TCL_ERROR;
}

int badOption(Tcl_Interp* interp, const char* command, const char* word, unsigned allowed, Voice voice,
              bool ambiguous) {
    // "-a, -b or -c", as Tcl's own commands list them.
    int count = 0;
    for (int i = 0; i < kOptionCount; ++i)
        if (allowed & (1u << i)) ++count;
    char names[160] = "";
    std::size_t used = 0;
    for (int i = 0, listed = 0; i < kOptionCount && used < sizeof names; ++i) {
        if (!(allowed & (1u << i))) continue;
        ++listed;
        used += static_cast<std::size_t>(snprintf(names + used, sizeof names - used, "%s%s",
                                                  listed == 1 ? "" : listed == count ? " or " : ", ", kNames[i]));
    }
    return failUsage(interp, voice, "%s option \"%.40s\" in %s: must be %s", ambiguous ? "ambiguous" : "bad",
                     word, command, names);
}

// -mask: a list of value, log and alarm.
bool readMask(Tcl_Interp* interp, const char* command, Tcl_Obj* value, unsigned long& mask, Voice voice) {
    TclSize count;
    Tcl_Obj** words;
    mask = 0;
    if (Tcl_ListObjGetElements(nullptr, value, &count, &words) == TCL_OK && count > 0) {
        for (TclSize i = 0; i < count; ++i) {
            std::string_view word = Tcl_GetString(words[i]);
            unsigned long bit = 0;
            for (const MaskWord& row : kMaskWords)
                if (row.name == word) bit = row.bit;
            if (bit == 0) {
                mask = 0;
                break;
            }
            mask |= bit;
        }
    }
    if (mask != 0) return true;
    failUsage(interp, voice, "-mask in %s must be a list of value, log and alarm, got \"%.40s\"", command,
              Tcl_GetString(value));
    return false;
}

// The option a word names: its place in kNames, or -1 (ambiguous set when
// it is a prefix of more than one).
int optionOf(Tcl_Obj* word, bool& ambiguous) {
    int index;
    ambiguous = false;
    if (Tcl_GetIndexFromObj(nullptr, word, kNames, "option", 0, &index) == TCL_OK) return index;
    std::string_view text = Tcl_GetString(word);
    int matches = 0;
    for (int i = 0; i < kOptionCount; ++i)
        if (std::string_view(kNames[i]).substr(0, text.size()) == text) ++matches;
    ambiguous = matches > 1;
    return -1;
}

}  // namespace

int failUsage(Tcl_Interp* interp, Voice voice, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfailUsage(interp, voice, format, args);
    va_end(args);
    return TCL_ERROR;
}

int parseOptions(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
                 unsigned allowed, Options& options, Voice voice) {
    int i = 1;
    while (i < objc && looksLikeOption(objv[i])) {
        const char* word = Tcl_GetString(objv[i]);
        if (std::string_view(word) == "--") return i + 1;
        bool ambiguous;
        int found = optionOf(objv[i], ambiguous);
        if (found < 0 || !(allowed & (1u << found)))
            return badOption(interp, command, word, allowed, voice, ambiguous), -1;
        auto option = static_cast<Option>(1u << found);
        const char* name = kNames[found];
        if (kTakesValue[found] && i + 1 >= objc) return failUsage(interp, voice, "%s in %s needs a value", name, command), -1;
        Tcl_Obj* value = kTakesValue[found] ? objv[i + 1] : nullptr;
        switch (option) {
        case kCount: {
            int count;
            if (Tcl_GetIntFromObj(nullptr, value, &count) != TCL_OK || count < 1)
                return failUsage(interp, voice, "-count in %s must be a positive integer, got \"%.40s\"", command,
                                 Tcl_GetString(value)), -1;
            options.count = count;
            break;
        }
        case kTimeout: {
            double seconds;
            if (Tcl_GetDoubleFromObj(nullptr, value, &seconds) != TCL_OK || !(seconds > 0))
                return failUsage(interp, voice, "-timeout in %s must be a positive number of seconds, got \"%.40s\"",
                                 command, Tcl_GetString(value)), -1;
            options.timeout = seconds;  // inf: no limit
            break;
        }
        case kMask:
            if (!readMask(interp, command, value, options.mask, voice)) return -1;
            break;
        case kCommand: options.command = value; break;
        case kRequest: options.request = Tcl_GetString(value); break;
        case kField:
            options.field = Tcl_GetString(value);
            if (options.field.empty())
                return failUsage(interp, voice, "-field in %s must name a field", command), -1;
            break;
        case kText: options.text = true; break;
        case kIndex: options.index = true; break;
        case kWait: options.wait = true; break;
        case kMeta: options.meta = true; break;
        }
        i += kTakesValue[found] ? 2 : 1;
    }
    return i;
}

}  // namespace tessaly
