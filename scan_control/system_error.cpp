// The last system error as the reports of the extension and its tools put
// it, shared by every backend.
#include "platform.h"

#include <cstdio>

int LastSystemErrorText(char *text, std::size_t size)
{
    int code = LastSystemError();
    SystemErrorText(code, text, size);
    return code;
}

void SystemErrorLine(char *out, std::size_t size)
{
    char text[512];
    int code = LastSystemErrorText(text, sizeof text);
    std::snprintf(out, size, "Error %d - %s\n", code, text);
}
