// Slots of the newer commands.
#include "words.h"
#include "../core/context.h"
#include "../core/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tessaly {
namespace {

constexpr int kMaxSlots = kSlotCount;  // slots a command may name

}  // namespace

bool readSlotWord(Tcl_Obj* word, long& slot) {
    TclSize length;
    const char* text = Tcl_GetStringFromObj(word, &length);
    const char* digits = text[0] == '-' ? text + 1 : text;
    if (digits[0] < '0' || digits[0] > '9' || (digits[0] == '0' && digits[1] != '\0')) return false;
    for (const char* p = digits; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return false;
    if (digits + strlen(digits) != text + length) return false;  // a NUL inside the word
    errno = 0;
    slot = strtol(text, nullptr, 10);
    if (errno == ERANGE) slot = -1;
    return true;
}

int notASlot(Tcl_Interp* interp, const char* command, Tcl_Obj* word) {
    return failWith(interp, "%s slot \"%.40s\": not a slot number", command, Tcl_GetString(word));
}

int checkSlots(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], int first, int per,
               bool exactly, std::vector<Subject>& subjects) {
    int words = objc - first;
    if (words < per || words % per != 0 || (exactly && words != per))
        return failWith(interp, "Invalid number of parameters in %s", command);
    if (words / per > kMaxSlots) return failWith(interp, "Too many slots in %s (%d at most)", command, kMaxSlots);
    if (needContext(interp, command) != TCL_OK) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(forTcl(EPICS_response), -1));
        return TCL_ERROR;
    }
    bool allConnected = true;
    for (int i = first; i < objc; i += per) {
        long slot;
        if (!readSlotWord(objv[i], slot)) return notASlot(interp, command, objv[i]);
        if (slot < 0 || !slotValid(static_cast<uint32_t>(slot)))
            return failWith(interp, "Invalid ChanId in %s", command);
        subjects.push_back(slotSubject(command, static_cast<uint32_t>(slot)));
        allConnected = allConnected && ca_state(channelOf(static_cast<uint32_t>(slot))) == cs_conn;
    }
    // A lost channel is found again only while this thread is inside the
    // library: let what has arrived for it run before judging it.
    if (!allConnected) ca_poll();
    return TCL_OK;
}

int readWords(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], unsigned allowed, int per,
              bool exactly, Options& options, std::vector<Subject>& subjects) {
    int first = parseOptions(interp, command, objc, objv, allowed, options, Voice::Slots);
    if (first < 0) return TCL_ERROR;
    return checkSlots(interp, command, objc, objv, first, per, exactly, subjects);
}

}  // namespace tessaly
