// Tessaly: Tcl commands that read and write EPICS process variables through
// the Channel Access client library.
//
// Scripts name channels by slots 0..1023 of one table shared by every
// interpreter of the process (slots.cpp). One Channel Access context serves
// all of them (context.cpp).  The commands:
//   single.cpp   the specified commands: tracing, one channel, one value
//   batch.cpp    the same for many channels with one wait
//   whole.cpp    values whole in their native types, arrays, metadata,
//                puts that wait for completion (pending.cpp, native.cpp)
//   monitors.cpp subscriptions, connection scripts and put completions
//                run from the Tcl event loop (events.cpp, connections.cpp,
//                completions.cpp)
//
// The Tcl functions come from the interpreter that loads this object,
// through its stubs table: the object is not linked against a Tcl library.
#include "commands.h"
#include "events.h"
#include "exports.h"

#include <cstdio>

using namespace tessaly;

namespace {

void registerAll(Tcl_Interp* interp, const CommandTable<StringCommand>& table) {
    for (std::size_t i = 0; i < table.count; ++i)
        Tcl_CreateCommand(interp, table.rows[i].name, table.rows[i].proc,
                          const_cast<StringCommand*>(&table.rows[i]), nullptr);
}

void registerAll(Tcl_Interp* interp, const CommandTable<ObjCommand>& table) {
    for (std::size_t i = 0; i < table.count; ++i)
        Tcl_CreateObjCommand(interp, table.rows[i].name, table.rows[i].proc,
                             const_cast<ObjCommand*>(&table.rows[i]), nullptr);
}

}  // namespace

int Tessaly_Init(Tcl_Interp* interp) {
    // A build for Tcl 8 serves 8.4 and later 8.x, a build for Tcl 9 any 9.x;
    // a Tcl of another major version refuses the load with its own message.
#if TCL_MAJOR_VERSION >= 9
    constexpr const char* kTclWanted = "9.0";
#else
    constexpr const char* kTclWanted = "8.4";
#endif
    if (Tcl_InitStubs(interp, kTclWanted, 0) == nullptr) return TCL_ERROR;
    puts("Tessaly package " LABTCL_PACKAGE_VERSION);
    fflush(stdout);
    registerAll(interp, kSingleCommands);
    registerAll(interp, kBatchCommands);
    registerAll(interp, kWholeCommands);
    registerAll(interp, kEventCommands);
    initEvents();
    Tcl_PkgProvide(interp, "Tessaly", LABTCL_PACKAGE_VERSION);
    SetUpEPICS();
    return TCL_OK;
}
