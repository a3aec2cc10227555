// Stand-in for the board vendor's Universal Library, for tests and demos
// on machines without the board.  It offers the four calls the scan-control
// extension makes, with the vendor's signatures and return convention.
//
// Read at each call:
//   BOARD_SIM_FAIL  comma-separated list of what fails: "cbToEngUnits",
//                   "cbStopIOBackground" (every function type) or
//                   "cbStopIOBackground:N" (only function type N).
//   BOARD_SIM_NAME  the name cbGetBoardName gives (default "USB-2527-SIM").
#define BOARD_EXPORT BOARD_SIM_EXPORT
#if defined(_WIN32)
#define BOARD_SIM_EXPORT __declspec(dllexport)
#else
#define BOARD_SIM_EXPORT __attribute__((visibility("default")))
#endif
#include "board_library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Error codes and texts, as the vendor's library numbers a few of them.
enum BoardError : int {
    NOERRORS = 0,
    BADBOARD = 1,
    BADRANGE = 4,
    NOTREADY = 21,
    SIM_STOP_FAILED = 1001,
};

struct ErrorText {
    int code;
    const char *text;
};

constexpr ErrorText kErrorTexts[] = {
    {NOERRORS, "No error has occurred."},
    {BADBOARD, "Invalid board number."},
    {BADRANGE, "This board does not support this range."},
    {NOTREADY, "Board is not ready for this operation."},
    {SIM_STOP_FAILED, "Background operation could not be stopped (simulated)."},
};

constexpr const char *kDefaultName = "USB-2527-SIM";

// True when BOARD_SIM_FAIL names `call`, or `call:N` with N equal to `type`.
bool Fails(std::string_view call, int type)
{
    const char *list = std::getenv("BOARD_SIM_FAIL");
    if (list == nullptr)
        return false;
    std::string_view rest(list);
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        if (item == call)
            return true;
        if (item.size() > call.size() && item.substr(0, call.size()) == call && item[call.size()] == ':') {
            char number[16] = {};
            std::string_view digits = item.substr(call.size() + 1);
            if (digits.size() < sizeof number) {
                digits.copy(number, digits.size());
                char *end = nullptr;
                long n = std::strtol(number, &end, 10);
                if (end != number && *end == '\0' && n == type)
                    return true;
            }
        }
    }
    return false;
}

void CopyText(char *out, std::size_t size, const char *text)
{
    std::snprintf(out, size, "%s", text);
}

} // namespace

extern "C" {

int BOARDAPI cbToEngUnits(int, int Range, unsigned short DataVal, float *EngUnits)
{
    if (Fails("cbToEngUnits", -1))
        return NOTREADY;
    if (Range != BIP10VOLTS)
        return BADRANGE;
    if (EngUnits == nullptr)
        return BADBOARD;
    // 16-bit offset-binary bipolar converter: 0 is -10 V, 32768 is 0 V.
    *EngUnits = static_cast<float>((static_cast<double>(DataVal) - 32768.0) * 10.0 / 32768.0);
    return NOERRORS;
}

int BOARDAPI cbStopIOBackground(int, int FunctionType)
{
    return Fails("cbStopIOBackground", FunctionType) ? SIM_STOP_FAILED : NOERRORS;
}

int BOARDAPI cbGetBoardName(int, char *BoardName)
{
    if (BoardName == nullptr)
        return BADBOARD;
    const char *name = std::getenv("BOARD_SIM_NAME");
    CopyText(BoardName, BOARDNAMELEN, name != nullptr && name[0] != '\0' ? name : kDefaultName);
    return NOERRORS;
}

int BOARDAPI cbGetErrMsg(int ErrCode, char *ErrMsg)
{
    if (ErrMsg == nullptr)
        return BADBOARD;
    for (const ErrorText &e : kErrorTexts) {
        if (e.code == ErrCode) {
            CopyText(ErrMsg, ERRSTRLEN, e.text);
            return NOERRORS;
        }
    }
    std::snprintf(ErrMsg, ERRSTRLEN, "Unknown error code %d.", ErrCode);
    return NOERRORS;
}

}
