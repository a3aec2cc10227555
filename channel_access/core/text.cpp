// Replies, failures, trace lines and the Tcl 9 byte mapping.
#include "text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
int32_t EPICSVerbose = 0;
char EPICS_response[kResponseSize] = {};
}

namespace tessaly {

void trace(const char* format, ...) {
    if (EPICSVerbose == 0) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

void traceLine(const char* line) {
    if (EPICSVerbose == 0) return;
    puts(line);
    fflush(stdout);
}

// String values come from servers as bytes, not necessarily UTF-8 (Latin-1
// text, say).  Tcl 8 reads each byte that is not part of a UTF-8 sequence as
// the character of the same code, U+0080 to U+00FF; Tcl 9 reads the bytes
// 0x80 to 0x9F among them as cp1252 characters instead (0x80 as the euro
// sign).  So that scripts see the same characters under both, the Tcl 9 build
// hands those bytes over as the UTF-8 form of U+0080 to U+009F; the bytes are
// grouped into characters as Tcl 8 groups them.  EPICS_response keeps the
// bytes as they came.
#if TCL_MAJOR_VERSION >= 9
namespace {

char tclText[2 * kResponseSize];

bool isTrail(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes from text on (of `left` bytes) that Tcl 8 reads as one
// character.
std::size_t characterLength(const unsigned char* text, std::size_t left) {
    unsigned lead = text[0];
    if (lead >= 0xC0 && lead < 0xE0 && left >= 2 && isTrail(text[1])) {
        unsigned value = ((lead & 0x1Fu) << 6) | (text[1] & 0x3Fu);
        if (value == 0 || value >= 0x80) return 2;  // C0 80 is Tcl's own NUL
    } else if (lead >= 0xE0 && lead < 0xF0 && left >= 3 && isTrail(text[1]) && isTrail(text[2])) {
        unsigned value = ((lead & 0x0Fu) << 12) | ((text[1] & 0x3Fu) << 6) | (text[2] & 0x3Fu);
        if (value > 0x7FF) return 3;
    } else if (lead >= 0xF0 && lead < 0xF8 && left >= 4 && isTrail(text[1]) && isTrail(text[2]) &&
               isTrail(text[3])) {
        unsigned value = ((lead & 0x07u) << 18) | ((text[1] & 0x3Fu) << 12) |
                         ((text[2] & 0x3Fu) << 6) | (text[3] & 0x3Fu);
        if (value >= 0x10000 && value <= 0x10FFFF) return 4;
    }
    return 1;
}

// Maps `length` bytes into out (room for 2 * length + 1); returns the
// mapped length.  Stops early where `limit` bytes of out would be passed.
std::size_t mapBytes(const unsigned char* in, std::size_t length, char* out, std::size_t limit) {
    std::size_t used = 0;
    while (length > 0) {
        std::size_t n = characterLength(in, length);
        if (used + n + 2 > limit) break;
        if (n == 1 && *in >= 0x80 && *in <= 0x9F) out[used++] = '\xC2';
        for (std::size_t i = 0; i < n; ++i) out[used++] = static_cast<char>(in[i]);
        in += n;
        length -= n;
    }
    out[used] = '\0';
    return used;
}

bool needsMapping(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
    return false;
}

}  // namespace

char* forTcl(char* text) {
    mapBytes(reinterpret_cast<const unsigned char*>(text), strlen(text), tclText, sizeof tclText);
    return tclText;
}

Tcl_Obj* newTextObj(const char* text, std::size_t length) {
    if (!needsMapping(text, length)) return Tcl_NewStringObj(text, static_cast<int>(length));
    Tcl_Obj* obj = Tcl_NewObj();
    std::size_t limit = 2 * length + 1;
    char* mapped = static_cast<char*>(Tcl_Alloc(static_cast<unsigned>(limit)));
    std::size_t n = mapBytes(reinterpret_cast<const unsigned char*>(text), length, mapped, limit);
    Tcl_SetStringObj(obj, mapped, static_cast<int>(n));
    Tcl_Free(mapped);
    return obj;
}
#else
char* forTcl(char* text) { return text; }

Tcl_Obj* newTextObj(const char* text, std::size_t length) {
    return Tcl_NewStringObj(text, static_cast<int>(length));
}
#endif

namespace {

void formatResponse(const char* format, va_list args) {
    vsnprintf(EPICS_response, sizeof EPICS_response, format, args);
}

}  // namespace

int fail(Tcl_Interp* interp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatResponse(format, args);
    va_end(args);
    Tcl_SetErrorCode(interp, forTcl(EPICS_response), static_cast<char*>(nullptr));
    return TCL_ERROR;
}

int failWith(Tcl_Interp* interp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatResponse(format, args);
    va_end(args);
    const char* text = forTcl(EPICS_response);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
    Tcl_SetErrorCode(interp, text, static_cast<char*>(nullptr));
    return TCL_ERROR;
}

int reply(Tcl_Interp* interp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatResponse(format, args);
    va_end(args);
    Tcl_SetResult(interp, forTcl(EPICS_response), TCL_VOLATILE);
    return TCL_OK;
}

}  // namespace tessaly
