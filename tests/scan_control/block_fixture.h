// Shared by the in-process tests: a zeroed control block of the run's own
// namespace before every test, and the counts posted to the driver.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "scan_control.h"

// Takes every count the object holds and tells how many there were.
inline int Drain(SyncIndex which = SYNC_CMND)
{
    int n = 0;
    while (WaitSync(g_sync[which], 0) == WaitStatus::Taken)
        ++n;
    return n;
}

struct Outcome {
    int status;
    std::string reply;
};

inline Outcome Exec(const std::string &command)
{
    char buffer[kCommandBufferSize] = {};
    std::snprintf(buffer, sizeof buffer, "%s", command.c_str());
    int status = ProcessCommand(buffer);
    return {status, buffer};
}

class BlockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (g_statics == nullptr)
            AttachSharedMemory();
        int32_t ready = g_statics->SyncReady;
        std::memset(g_statics, 0, sizeof *g_statics);
        g_statics->SyncReady = ready;
        Drain();
    }
    Statics &S() { return *g_statics; }
};
