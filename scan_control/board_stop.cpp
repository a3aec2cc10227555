// STOP_DAQ_BOARD: stops every background operation on the board directly
// through the board vendor's library, and reports the library's errors with
// the board's name and the library's own text.
#include <cstdio>

#include "board_library.h"
#include "scan_control.h"

namespace {

char g_context[256];                 // what was being attempted
char g_boardName[BOARDNAMELEN];
char g_errorText[ERRSTRLEN];

// Counter, DAQ input, DAQ output, then DAQ input again once output stopped.
constexpr int kStopOrder[] = {CTRFUNCTION, DAQIFUNCTION, DAQOFUNCTION, DAQIFUNCTION};

} // namespace

void ReportBoardError(int code)
{
    const int board = g_statics->BoardNum;
    g_boardName[0] = '\0';
    cbGetBoardName(board, g_boardName);
    g_boardName[sizeof g_boardName - 1] = '\0';
    std::snprintf(g_message, sizeof g_message, "%s on board type: %s...", g_context, g_boardName);
    std::printf("%s\n", g_message);
    g_errorText[0] = '\0';
    cbGetErrMsg(code, g_errorText);
    g_errorText[sizeof g_errorText - 1] = '\0';
    std::snprintf(g_message, sizeof g_message, "Universal Library error \"%s\"\n", g_errorText);
    std::printf("%s\n", g_message);
    std::fflush(stdout);
}

int StopBoard()
{
    for (int type : kStopOrder) {
        int code = cbStopIOBackground(g_statics->BoardNum, type);
        if (code != 0) {
            std::snprintf(g_context, sizeof g_context, "Attempting to stop background scan");
            ReportBoardError(code);
        }
    }
    return kOk;
}
