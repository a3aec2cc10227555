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
    Tcl_PkgProvide(interp, "Vantorq", LABTCL_PACKAGE_VERSION);
    return TCL_OK;
}
