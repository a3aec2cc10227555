// Shared by the fuzz targets: where a violation is reported.  libFuzzer
// closes the target's own standard error in some modes, so the targets write
// to a copy of it taken at start.
#pragma once

#include <cstdio>
#include <unistd.h>

inline FILE *g_report = stderr;

inline void OpenReportStream()
{
    int fd = dup(2);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f != nullptr) {
        setvbuf(f, nullptr, _IONBF, 0);
        g_report = f;
    }
}
