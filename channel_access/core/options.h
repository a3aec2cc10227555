// Options of the newer commands and the name layer, as Tcl's own commands
// take them: before the other words, each by its name or a unique prefix
// of it, "--" ending them.  A word that starts with "-" and a letter is an
// option, so that "-1" is not.
#pragma once

#include "../exports.h"

#include <string>

namespace tessaly {

enum Option : unsigned {
    kCount = 1u << 0, kText = 1u << 1, kIndex = 1u << 2, kTimeout = 1u << 3,
    kWait = 1u << 4, kMeta = 1u << 5, kMask = 1u << 6, kCommand = 1u << 7,
    kRequest = 1u << 8, kField = 1u << 9,   // PV Access names only
};

struct Options {
    long count = 0;          // -count N; 0: the current length
    bool text = false, index = false, wait = false, meta = false;
    double timeout = 5.0;    // -timeout S (inf: no limit)
    unsigned long mask = 0;  // -mask: DBE_ bits; 0 when not given
    Tcl_Obj* command = nullptr;  // -command SCRIPT
    std::string request;     // -request TEXT: a pvRequest
    std::string field;       // -field NAME: the field a put writes
};

// How a failure of the options is told: the slot commands' way (the
// message as errorCode), or the name layer's ({TESSALY USAGE}).
enum class Voice : unsigned char { Slots, Names };

// Reads the options `allowed`; returns the index of the first word after
// them, or -1 having failed.
int parseOptions(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
                 unsigned allowed, Options& options, Voice voice);

// Fails with a usage message in the voice given.
int failUsage(Tcl_Interp* interp, Voice voice, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace tessaly
