// Options and slots of the newer commands.
#include "options.h"
#include "context.h"
#include "slots.h"
#include "text.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace tessaly {
namespace {

constexpr int kMaxSlots = kSlotCount;  // slots a command may name

struct OptionRow {
    std::string_view name;
    Option option;
    bool takesValue;
};
constexpr OptionRow kOptionRows[] = {
    {"-count", kCount, true}, {"-text", kText, false},  {"-index", kIndex, false},
    {"-timeout", kTimeout, true}, {"-wait", kWait, false}, {"-meta", kMeta, false},
    {"-mask", kMask, true},   {"-command", kCommand, true},
};

struct MaskWord {
    std::string_view name;
    unsigned long bit;
};
constexpr MaskWord kMaskWords[] = {{"value", DBE_VALUE}, {"log", DBE_LOG}, {"alarm", DBE_ALARM}};

bool looksLikeOption(Tcl_Obj* word) {
    const char* text = Tcl_GetString(word);
    return text[0] == '-' && ((text[1] >= 'a' && text[1] <= 'z') || text[1] == '-');
}

int badOption(Tcl_Interp* interp, const char* command, const char* word, unsigned allowed) {
    // "-a, -b or -c", as Tcl's own commands list them.
    const OptionRow* rows[sizeof kOptionRows / sizeof kOptionRows[0]];
    std::size_t count = 0;
    for (const OptionRow& row : kOptionRows)
        if (allowed & row.option) rows[count++] = &row;
    char names[160] = "";
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && used < sizeof names; ++i)
        used += static_cast<std::size_t>(snprintf(
            names + used, sizeof names - used, "%s%.*s",
            i == 0 ? "" : i + 1 == count ? " or " : ", ",
            static_cast<int>(rows[i]->name.size()), rows[i]->name.data()));
    return failWith(interp, "bad option \"%.40s\" in %s: must be %s", word, command, names);
}

// -mask: a list of value, log and alarm.
bool readMask(Tcl_Interp* interp, const char* command, Tcl_Obj* value, unsigned long& mask) {
    TclSize count;
    Tcl_Obj** words;
    mask = 0;
    if (Tcl_ListObjGetElements(nullptr, value, &count, &words) == TCL_OK && count > 0) {
        for (TclSize i = 0; i < count; ++i) {
            std::string_view word = Tcl_GetString(words[i]);
            unsigned long bit = 0;
            for (const MaskWord& row : kMaskWords)
                if (row.name == word) bit = row.bit;
            if (bit == 0) break;
            mask |= bit;
        }
    }
    if (mask != 0) return true;
    failWith(interp, "-mask in %s must be a list of value, log and alarm, got \"%.40s\"", command,
             Tcl_GetString(value));
    return false;
}

}  // namespace

int parseOptions(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
                 unsigned allowed, Options& options) {
    int i = 1;
    while (i < objc && looksLikeOption(objv[i])) {
        std::string_view word = Tcl_GetString(objv[i]);
        if (word == "--") return i + 1;
        const OptionRow* found = nullptr;
        for (const OptionRow& row : kOptionRows)
            if ((allowed & row.option) && row.name == word) found = &row;
        if (found == nullptr) return badOption(interp, command, word.data(), allowed), -1;
        if (found->takesValue && i + 1 >= objc) {
            failWith(interp, "%s in %s needs a value", word.data(), command);
            return -1;
        }
        Tcl_Obj* value = found->takesValue ? objv[i + 1] : nullptr;
        switch (found->option) {
        case kCount: {
            int count;
            if (Tcl_GetIntFromObj(nullptr, value, &count) != TCL_OK || count < 1) {
                failWith(interp, "-count in %s must be a positive integer, got \"%.40s\"", command,
                         Tcl_GetString(value));
                return -1;
            }
            options.count = count;
            break;
        }
        case kTimeout: {
            double seconds;
            if (Tcl_GetDoubleFromObj(nullptr, value, &seconds) != TCL_OK || !(seconds > 0) ||
                !std::isfinite(seconds)) {
                failWith(interp, "-timeout in %s must be a positive number of seconds, got \"%.40s\"",
                         command, Tcl_GetString(value));
                return -1;
            }
            options.timeout = seconds;
            break;
        }
        case kMask:
            if (!readMask(interp, command, value, options.mask)) return -1;
            break;
        case kCommand: options.command = value; break;
        case kText: options.text = true; break;
        case kIndex: options.index = true; break;
        case kWait: options.wait = true; break;
        case kMeta: options.meta = true; break;
        }
        i += found->takesValue ? 2 : 1;
    }
    return i;
}

int checkSlots(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], int first,
               int per, bool exactly, std::vector<Subject>& subjects) {
    int words = objc - first;
    if (words < per || words % per != 0 || (exactly && words != per))
        return failWith(interp, "Invalid number of parameters in %s", command);
    if (words / per > kMaxSlots)
        return failWith(interp, "Too many slots in %s (%d at most)", command, kMaxSlots);
    if (needContext(interp, command) != TCL_OK) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(forTcl(EPICS_response), -1));
        return TCL_ERROR;
    }
    bool allConnected = true;
    for (int i = first; i < objc; i += per) {
        uint32_t slot = parseSlot(objv[i]);
        if (!slotValid(slot)) return failWith(interp, "Invalid ChanId in %s", command);
        subjects.push_back(Subject{command, slot, channelOf(slot)});
        allConnected = allConnected && ca_state(channelOf(slot)) == cs_conn;
    }
    // A lost channel is found again only while this thread is inside the
    // library: let what has arrived for it run before judging it.
    if (!allConnected) ca_poll();
    return TCL_OK;
}

int readWords(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
              unsigned allowed, int per, bool exactly, Options& options,
              std::vector<Subject>& subjects) {
    int first = parseOptions(interp, command, objc, objv, allowed, options);
    if (first < 0) return TCL_ERROR;
    return checkSlots(interp, command, objc, objv, first, per, exactly, subjects);
}

}  // namespace tessaly
