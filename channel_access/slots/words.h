// The words of the newer slot commands: options first (core/options.h),
// then slots.  A slot is a whole decimal number: garbage never names slot 0
// as the specified commands' lenient reading would (an empty word, "abc",
// "1 2", "0x0" and "00" are refused naming the word); a number that names
// no channel in use is an invalid ChanId as for the specified commands.
#pragma once

#include "../core/options.h"
#include "../core/subject.h"

#include <vector>

namespace tessaly {

// A slot word read strictly: false when the word is not a whole decimal
// number ("-1" and "5000" are numbers, and invalid slots).
bool readSlotWord(Tcl_Obj* word, long& slot);

// "COMMAND slot "WORD": not a slot number".
int notASlot(Tcl_Interp* interp, const char* command, Tcl_Obj* word);

// The words after the options: `per` words a slot (a slot and what goes
// with it), at least one slot and, with `exactly`, exactly one.  Then the
// context, then every slot's validity: one Subject per slot.
int checkSlots(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], int first,
               int per, bool exactly, std::vector<Subject>& subjects);

// Both: the options `allowed`, then `per` words a slot.
int readWords(Tcl_Interp* interp, const char* command, int objc, Tcl_Obj* const objv[], unsigned allowed,
              int per, bool exactly, Options& options, std::vector<Subject>& subjects);

}  // namespace tessaly
