// Tessaly: Tcl commands that read and write EPICS process variables through
// the Channel Access client library.
//
//   core/       the channel records, the two contexts, the callback lock and
//               its threading rule, the feature registry, value forms,
//               requests and their waits, options, texts
//   specified/  the specified commands: tracing, one channel, one value,
//               by slots 0..1023 of one table shared by every interpreter
//   slots/      the newer slot commands: batches, values whole, metadata,
//               monitors and connection scripts by slot
//   events/     the event loop and the features whose scripts it runs:
//               monitors, connection scripts, put completions, rejected
//               puts, notices
//   names/      the name layer: tessaly:: commands by PV name, in a context
//               of its own, as many channels as memory holds
//
// The Tcl functions come from the interpreter that loads this object,
// through its stubs table: the object is not linked against a Tcl library.
#include "core/channel.h"
#include "core/commands.h"
#include "events/completions.h"
#include "events/connections.h"
#include "events/loop.h"
#include "events/monitors.h"
#include "events/notices.h"
#include "events/rejections.h"
#include "names/names.h"
#include "pva/pva.h"
#include "specified/circuits.h"

#include <cstdio>

using namespace tessaly;

namespace {

// Every feature, in the order the core calls their hooks: what hangs on
// channels first, the name table (which clears channels) last.
const Feature* const kFeatures[] = {
    &kChannelLinks, &kMonitors, &kConnectionScripts, &kCompletions, &kRejections,
    &kNotices,      &kClosingCircuits, &kNameTable, &kSearchAgain,
};

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

// Before the process's static records are destroyed, the library threads
// that run callbacks at any time (the name layer's) stop reaching them.
void endAtExit(ClientData) {
    endSubscriptionsAtExit();
    pva::shutdown();
    endSearchAgainAtExit();
    clearNamesAtExit();
    endNameContextAtExit();
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
    joinFeatures(kFeatures, sizeof kFeatures / sizeof kFeatures[0]);
    tellLostServers(kSearchAgain);
    registerAll(interp, kSpecifiedCommands);
    registerAll(interp, kBatchCommands);
    registerAll(interp, kValueCommands);
    registerAll(interp, kSlotEventCommands);
    registerAll(interp, kNameCommands);
    initEvents();
    static bool exitHandled = false;
    if (!exitHandled) {
        exitHandled = true;
        Tcl_CreateExitHandler(endAtExit, nullptr);
    }
    Tcl_PkgProvide(interp, "Tessaly", LABTCL_PACKAGE_VERSION);
    SetUpEPICS();
    return TCL_OK;
}
