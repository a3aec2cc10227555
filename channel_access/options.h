// The words of the newer commands: options first (as in Tcl's own commands),
// then slots, each valid and in the current context.
#pragma once

#include "native.h"

#include <vector>

namespace tessaly {

enum Option : unsigned {
    kCount = 1u << 0, kText = 1u << 1, kIndex = 1u << 2, kTimeout = 1u << 3,
    kWait = 1u << 4, kMeta = 1u << 5, kMask = 1u << 6, kCommand = 1u << 7,
};

struct Options {
    long count = 0;          // -count N; 0: the current length
    bool text = false, index = false, wait = false, meta = false;
    double timeout = 5.0;    // -timeout S
    unsigned long mask = 0;  // -mask: DBE_ bits; 0 when not given
    Tcl_Obj* command = nullptr;  // -command SCRIPT
};

// Reads the options `allowed`; returns the index of the first word after
// them, or -1 having failed.  A word that starts with '-' and a letter is an
// option, so that "-1" is a slot; "--" ends the options.
int parseOptions(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
                 unsigned allowed, Options& options);

// The words after the options: `per` words a slot (a slot and what goes
// with it), at least one slot and, with `exactly`, exactly one.  Then the
// context, then every slot's validity: one Subject per slot.
int checkSlots(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], int first,
               int per, bool exactly, std::vector<Subject>& subjects);

// Both: the options `allowed`, then `per` words a slot.
int readWords(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[],
              unsigned allowed, int per, bool exactly, Options& options,
              std::vector<Subject>& subjects);

}  // namespace tessaly
