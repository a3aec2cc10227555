// Notices, delivered in the order they were given.
#include "notices.h"
#include "loop.h"
#include "../core/lock.h"
#include "../core/pool.h"

namespace tessaly {
namespace {

struct Notice {
    Tcl_Interp* interp = nullptr;
    std::string message;         // a background error's, or
    Tcl_Obj* script = nullptr;   // a script to run with `word`
    Tcl_Obj* word = nullptr;
};

Pool<Notice> notices;  // on the interpreter's thread (ready notes under the lock)

void give(Notice notice) {
    watchInterp(notice.interp);
    startEvents();
    Held hold(callbackLock());
    long index = notices.add();
    if (index < 0) return;
    notices[static_cast<std::size_t>(index)] = std::move(notice);
    noteReady(kNotices, static_cast<uint32_t>(index), notices.generation(static_cast<std::size_t>(index)),
              Side::Slots);
}

// Takes a notice out of the table (its references go with it to the caller).
bool take(uint32_t index, uint32_t generation, Notice& out) {
    Held hold(callbackLock());
    Notice* notice = notices.find(index, generation);
    if (notice == nullptr) return false;
    out = std::move(*notice);
    notices.remove(index);
    return true;
}

void deliverNotice(uint32_t index, uint32_t generation) {
    Notice notice;
    if (!take(index, generation, notice)) return;
    if (notice.script != nullptr) {
        runScript(notice.interp, notice.script, &notice.word, 1);
        Tcl_DecrRefCount(notice.script);
        Tcl_DecrRefCount(notice.word);
    } else {
        backgroundError(notice.interp, notice.message.c_str());
    }
}

void forgetInterpNotices(Tcl_Interp* interp) {
    for (std::size_t index = 0; index < notices.size(); ++index) {
        if (!notices.used(index) || notices[index].interp != interp) continue;
        Notice notice;
        if (!take(static_cast<uint32_t>(index), notices.generation(index), notice)) continue;
        if (notice.script != nullptr) {
            Tcl_DecrRefCount(notice.script);
            Tcl_DecrRefCount(notice.word);
        }
    }
}

}  // namespace

void noticeError(Tcl_Interp* interp, const std::string& message) {
    Notice notice;
    notice.interp = interp;
    notice.message = message;
    give(std::move(notice));
}

void noticeScript(Tcl_Interp* interp, Tcl_Obj* script, Tcl_Obj* word) {
    Notice notice;
    notice.interp = interp;
    notice.script = script;
    notice.word = word;
    Tcl_IncrRefCount(script);
    Tcl_IncrRefCount(word);
    give(std::move(notice));
}

const Feature kNotices = {"notices", deliverNotice, nullptr, forgetInterpNotices, nullptr, nullptr, nullptr};

}  // namespace tessaly
