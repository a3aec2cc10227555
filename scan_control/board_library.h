// The four calls the extension makes into the board vendor's Universal
// Library, with the vendor's C signatures.  Every call returns 0 on success,
// else an error code whose text cbGetErrMsg gives.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define BOARDAPI __stdcall
#else
#define BOARDAPI
#endif

#if defined(_WIN32)
#define BOARD_IMPORT __declspec(dllimport)
#else
#define BOARD_IMPORT
#endif

#ifndef BOARD_EXPORT
#define BOARD_EXPORT BOARD_IMPORT
#endif

extern "C" {

enum : int {
    BIP10VOLTS = 1,     // range code: -10 V to +10 V
    CTRFUNCTION = 5,    // function types for cbStopIOBackground
    DAQIFUNCTION = 6,
    DAQOFUNCTION = 7,
    BOARDNAMELEN = 32,  // room for cbGetBoardName's text
    ERRSTRLEN = 256,    // room for cbGetErrMsg's text
};

BOARD_EXPORT int BOARDAPI cbToEngUnits(int BoardNum, int Range, unsigned short DataVal, float *EngUnits);
BOARD_EXPORT int BOARDAPI cbStopIOBackground(int BoardNum, int FunctionType);
BOARD_EXPORT int BOARDAPI cbGetBoardName(int BoardNum, char *BoardName);
BOARD_EXPORT int BOARDAPI cbGetErrMsg(int ErrCode, char *ErrMsg);

}
