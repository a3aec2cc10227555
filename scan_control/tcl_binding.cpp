// Where Tcl enters the scan-control extension: the package entry point and
// the command procedure of LaserControl, which carries one line of command
// text into the interpreter and turns its outcome into a result or an error.
#include <cstdio>
#include <cstring>

#include <tcl.h>

#include "scan_control.h"

#if defined(_WIN32)
#define VANTORQ_EXPORT extern "C" __declspec(dllexport)
#else
#define VANTORQ_EXPORT extern "C" __attribute__((visibility("default")))
#endif

VANTORQ_EXPORT int Laser_Control(ClientData, Tcl_Interp *interp, int argc, const char *argv[]);
VANTORQ_EXPORT int Vantorq_Init(Tcl_Interp *interp);

namespace {

// A usage error of the Tcl command itself, before any command text is run.
int UsageError(Tcl_Interp *interp, const char *message)
{
    Tcl_SetResult(interp, const_cast<char *>(message), TCL_STATIC);
    Tcl_SetErrorCode(interp, "VANTORQ", "USAGE", nullptr);
    return TCL_ERROR;
}

// ::vantorq::impl::CommandSlot, the script layer's view of the driver's
// command slot (command_slot.cpp); it prints nothing.
//   look            "COUNT CODE": 1 while a command waits for the driver, and
//                   DriverCommand
//   post TEXT       runs TEXT as LaserControl would, only when the slot is
//                   free: "done POSTED REPLY" (POSTED: the code of the command
//                   handed to the driver, -1 for none), "failed POSTED" (the
//                   command failed), "busy CODE" (the slot holds CODE: nothing
//                   ran), "refused CODE" (it ran, but its post was refused)
//   withdraw CODE   1 when the slot still held CODE and it was taken back
int CommandSlot(ClientData, Tcl_Interp *interp, int argc, const char *argv[])
{
    std::string_view verb = argc >= 2 ? argv[1] : "";
    char text[64];
    if (verb == "look" && argc == 2) {
        SlotLook look = LookAtSlot();
        std::snprintf(text, sizeof text, "%d %d", look.count, look.command);
        Tcl_SetResult(interp, text, TCL_VOLATILE);
        return TCL_OK;
    }
    if (verb == "post" && argc == 3) {
        std::size_t length = std::strlen(argv[2]);
        if (length >= kCommandBufferSize)
            return UsageError(interp, "CommandSlot: command text too long (1023 characters at most)");
        char buffer[kCommandBufferSize];
        std::memcpy(buffer, argv[2], length + 1);
        int32_t posted = DRIVER_DROPPED;
        SlotLook seen{};
        SlotOutcome outcome = PostWhenSlotFree(buffer, posted, seen);
        switch (outcome) {
        case SlotOutcome::Done:
            std::snprintf(text, sizeof text, "done %d", posted);
            Tcl_AppendResult(interp, text, nullptr);
            Tcl_AppendElement(interp, buffer);
            return TCL_OK;
        case SlotOutcome::Failed: std::snprintf(text, sizeof text, "failed %d", posted); break;
        case SlotOutcome::Busy: std::snprintf(text, sizeof text, "busy %d", seen.command); break;
        case SlotOutcome::Refused: std::snprintf(text, sizeof text, "refused %d", posted); break;
        }
        Tcl_SetResult(interp, text, TCL_VOLATILE);
        return TCL_OK;
    }
    if (verb == "withdraw" && argc == 3) {
        int command = 0;
        if (Tcl_GetInt(interp, argv[2], &command) != TCL_OK)
            return TCL_ERROR;
        Tcl_SetResult(interp, const_cast<char *>(WithdrawCommand(command) ? "1" : "0"), TCL_STATIC);
        return TCL_OK;
    }
    return UsageError(interp, "wrong # args: should be \"CommandSlot look|post commandText|withdraw code\"");
}

} // namespace

int Laser_Control(ClientData, Tcl_Interp *interp, int argc, const char *argv[])
{
    if (argc < 2)
        return UsageError(interp, "wrong # args: should be \"LaserControl commandText\"");
    std::size_t length = std::strlen(argv[1]);
    if (length >= kCommandBufferSize)
        return UsageError(interp, "LaserControl: command text too long (1023 characters at most)");

    char buffer[kCommandBufferSize];
    std::memcpy(buffer, argv[1], length + 1);

    if (ProcessCommand(buffer) == kOk) {
        Tcl_SetResult(interp, buffer, TCL_VOLATILE);
        return TCL_OK;
    }

    char line[kMessageSize];
    SystemErrorLine(line, sizeof line);
    std::fputs(line, stdout);
    std::fflush(stdout);
    Tcl_SetErrorCode(interp, buffer, nullptr);
    return TCL_ERROR;
}

int Vantorq_Init(Tcl_Interp *interp)
{
    // The Tcl functions come from the loading interpreter's stubs table.  A
    // build for Tcl 8 serves 8.4 and later 8.x, a build for Tcl 9 any 9.x; a
    // Tcl of another major version refuses the load with its own message.
#if TCL_MAJOR_VERSION >= 9
    constexpr const char *kTclWanted = "9.0";
#else
    constexpr const char *kTclWanted = "8.4";
#endif
    if (Tcl_InitStubs(interp, kTclWanted, 0) == nullptr)
        return TCL_ERROR;
    Tcl_CreateCommand(interp, "LaserControl", Laser_Control, nullptr, nullptr);
    // The script layer's own access to the command slot, from Tcl 8.6 on,
    // where pkgIndex.tcl sources the layer.
    if (TCL_MAJOR_VERSION >= 9 || Tcl_PkgPresent(interp, "Tcl", "8.6", 0) != nullptr)
        Tcl_CreateCommand(interp, "::vantorq::impl::CommandSlot", CommandSlot, nullptr, nullptr);
    else
        Tcl_ResetResult(interp);   // the version conflict Tcl_PkgPresent left there
    Tcl_PkgProvide(interp, "Vantorq", LABTCL_PACKAGE_VERSION);
    return TCL_OK;
}
