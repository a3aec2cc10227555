// The tables of Tcl commands each part of Tessaly registers.  The specified
// commands keep the string interface; the newer ones use Tcl objects.  A row's
// data is handed to its procedure as client data: the commands of one family
// share one procedure.
#pragma once

#include "forms.h"

#include <cstddef>

namespace tessaly {

struct StringCommand {
    const char* name;
    Tcl_CmdProc* proc;
    Form kind;        // for the value commands: Short, Float or Text40
};

struct ObjCommand {
    const char* name;
    Tcl_ObjCmdProc* proc;
};

template <typename Row>
struct CommandTable {
    const Row* rows;
    std::size_t count;
};

// The name and kind of the command a procedure is serving.
inline const StringCommand& commandOf(ClientData data) {
    return *static_cast<const StringCommand*>(data);
}

// Word count, then context: the start of every specified channel and value
// command (and the message of a wrong count).
int checkWords(Tcl_Interp* interp, const char* command, int argc, int wanted);

extern const CommandTable<StringCommand> kSpecifiedCommands;  // specified/commands.cpp, in order
extern const CommandTable<StringCommand> kBatchCommands;      // slots/batch.cpp
extern const CommandTable<ObjCommand> kValueCommands;         // slots/values.cpp
extern const CommandTable<ObjCommand> kSlotEventCommands;     // slots/events.cpp
extern const CommandTable<ObjCommand> kNameCommands;          // names/commands.cpp

}  // namespace tessaly
