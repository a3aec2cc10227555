// Tests of driver_sim.  Each test starts the simulator under a namespace of
// its own and drives the control block through the platform layer exactly as
// a client does: settings and run fields under "/State_Sem", then
// DriverCommand, then a release of "/Cmnd_Sem".  Waits poll with a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "vantorq.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Condition> bool Eventually(Condition condition)
{
    for (auto deadline = Clock::now() + 3s; Clock::now() < deadline; std::this_thread::sleep_for(2ms))
        if (condition())
            return true;
    return condition();
}

class DriverSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int count = 0;
        std::snprintf(ns_, sizeof ns_, "dsimtest%d_%d_", static_cast<int>(getpid()), count++);
        setenv("VANTORQ_NAMESPACE", ns_, 1);
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        RemoveBlockObjects();
        EXPECT_EQ(ShmEntries(), 0);
    }

    pid_t Spawn(std::initializer_list<const char *> args)
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        const char *argv[8] = {DRIVER_SIM_PATH};
        int n = 1;
        for (const char *arg : args)
            argv[n++] = arg;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            execv(DRIVER_SIM_PATH, const_cast<char **>(argv));
            _exit(127);
        }
        close(fds[1]);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        if (out_ >= 0)
            close(out_);
        out_ = fds[0];
        text_.clear();
        return pid;
    }

    // Starts the simulator, waits for its ready line and attaches to the block.
    void Launch(std::initializer_list<const char *> args = {})
    {
        pid_ = Spawn(args);
        ASSERT_TRUE(Eventually([&] { return Printed("driver_sim ready"); })) << text_;
        SharedMemory mem;
        ASSERT_TRUE(CreateNamedMemory(mem, kStaticsName, kStaticsSize + 1));
        block_ = static_cast<Statics *>(MapNamedMemory(mem));
        ASSERT_NE(block_, nullptr);
        for (int i = 0; i < SYNC_COUNT; ++i)
            ASSERT_TRUE(OpenSync(sync_[i], kSyncObjects[i].name, kSyncObjects[i].kind, kSyncObjects[i].maximum));
    }

    // The exit status of the simulator, -1 if it has not ended in time.
    int ExitCode(pid_t pid)
    {
        int status = 0;
        if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
            return -1;
        if (pid == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool Printed(const char *text)
    {
        char buf[512];
        for (ssize_t got; (got = read(out_, buf, sizeof buf)) > 0;)
            text_.append(buf, static_cast<std::size_t>(got));
        return text_.find(text) != std::string::npos;
    }

    void Post(int32_t command)
    {
        ASSERT_TRUE(Eventually([&] { return PeekSyncCount(sync_[SYNC_CMND]) == 0; }));
        block_->DriverCommand = command;
        ASSERT_TRUE(ReleaseSync(sync_[SYNC_CMND]));
    }

    void SetRun(int32_t state, int32_t request)
    {
        ASSERT_EQ(WaitSync(sync_[SYNC_STATE], 1000), WaitStatus::Taken);
        block_->RunState = state;
        block_->RunRequest = request;
        ASSERT_TRUE(ReleaseSync(sync_[SYNC_STATE]));
    }

    void StartRun(int32_t chans, int32_t dwellUs)
    {
        block_->NumChans = chans;
        block_->DwellTime = dwellUs;
        block_->DacStep = 100;
        SetRun(RUN_GOING, RUN_NO_REQUEST);
        Post(DRIVER_START);
    }

    // True when Channel and Scans stay put over many dwell times.
    bool Holds()
    {
        std::this_thread::sleep_for(20ms);
        int32_t channel = block_->Channel, scans = block_->Scans;
        std::this_thread::sleep_for(60ms);
        return channel == block_->Channel && scans == block_->Scans;
    }

    int ShmEntries()
    {
        int count = 0;
        if (DIR *dir = opendir("/dev/shm")) {
            while (dirent *entry = readdir(dir))
                count += std::string(entry->d_name).find(ns_) != std::string::npos;
            closedir(dir);
        }
        return count;
    }

    char ns_[64] = {};
    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
    volatile Statics *block_ = nullptr;
    SyncObject sync_[SYNC_COUNT];
};

TEST_F(DriverSim, StartCopiesTheSettingsAndStepsAtTheDwellTime)
{
    Launch({"-b", "3"});
    EXPECT_EQ(block_->SyncReady, 1);
    EXPECT_EQ(block_->BoardNum, 3);
    block_->SettleTime = 50;
    block_->RampEndDac = 900;
    block_->RampEndMilliVolts = 2.5f;
    block_->Scans = 1000;
    auto started = Clock::now();
    StartRun(10, 2000);
    ASSERT_TRUE(Eventually([&] { return block_->Scans >= 3 && block_->Scans < 1000; })) << block_->Scans;
    // Three scans of ten 2 ms dwells cannot take less than 60 ms.
    EXPECT_GE(Clock::now() - started, 60ms);
    EXPECT_EQ(block_->ActiveNumChans, 10);
    EXPECT_EQ(block_->ActiveDwellTime, 2000);
    EXPECT_EQ(block_->ActiveSettleTime, 50);
    EXPECT_EQ(block_->ActiveDacStep, 100);
    EXPECT_EQ(block_->ActiveRampEndDac, 900);
    EXPECT_EQ(block_->ActiveRampEndMilliVolts, 2.5f);
    EXPECT_GE(block_->QueueCount3, 30);
    EXPECT_TRUE(Printed("driver_sim: START 10 channels, dwell 2000 us")) << text_;
}

TEST_F(DriverSim, PauseHoldsTheStepsAndResumeContinues)
{
    Launch();
    StartRun(10, 1000);
    ASSERT_TRUE(Eventually([&] { return block_->Scans >= 1; }));
    SetRun(RUN_PAUSED, RUN_NO_REQUEST);
    EXPECT_TRUE(Holds());
    EXPECT_EQ(block_->Dac, 100 * block_->Channel);
    int32_t scans = block_->Scans;
    SetRun(RUN_GOING, RUN_NO_REQUEST);
    Post(DRIVER_RESUME);
    EXPECT_TRUE(Eventually([&] { return block_->Scans > scans; }));
}

TEST_F(DriverSim, StopHaltsEvenWhenOnlyTheCommandIsSent)
{
    Launch();
    StartRun(10, 1000);
    ASSERT_TRUE(Eventually([&] { return block_->Scans >= 1; }));
    Post(DRIVER_STOP);
    EXPECT_TRUE(Eventually([&] { return block_->RunState == RUN_HALTED; }));
    EXPECT_TRUE(Holds());
}

TEST_F(DriverSim, AtEndRequestsAreHonouredWhenAScanEnds)
{
    Launch();
    StartRun(20, 2000);
    ASSERT_TRUE(Eventually([&] { return block_->Channel >= 2; }));
    SetRun(RUN_GOING, RUN_STOP_AT_END);
    ASSERT_TRUE(Eventually([&] { return block_->RunState == RUN_HALTED; }));
    EXPECT_EQ(block_->RunRequest, RUN_NO_REQUEST);
    EXPECT_EQ(block_->Channel, 0);
    EXPECT_EQ(block_->Scans, 1);
    EXPECT_TRUE(Holds());

    StartRun(20, 2000);
    ASSERT_TRUE(Eventually([&] { return block_->Channel >= 2; }));
    SetRun(RUN_GOING, RUN_PAUSE_AT_END);
    ASSERT_TRUE(Eventually([&] { return block_->RunState == RUN_PAUSED; }));
    EXPECT_EQ(block_->RunRequest, RUN_NO_REQUEST);
    EXPECT_EQ(block_->Channel, 0);
    EXPECT_TRUE(Holds());
    EXPECT_TRUE(Printed("STOP_AT_END honoured") && Printed("PAUSE_AT_END honoured")) << text_;
}

TEST_F(DriverSim, SetDacIsOutputAndQueueResetClearsTheCounters)
{
    Launch();
    block_->Dac = 1234;
    Post(DRIVER_SET_DAC);
    EXPECT_TRUE(Eventually([&] { return Printed("driver_sim: SET_DAC 1234"); })) << text_;
    block_->QueueCount1 = block_->QueueCount2 = block_->QueueCount3 = block_->QueueLength = 5;
    block_->QueueReset = 1;
    ASSERT_TRUE(Eventually([&] { return block_->QueueReset == 0; }));
    EXPECT_EQ(block_->QueueCount1 + block_->QueueCount2 + block_->QueueCount3 + block_->QueueLength, 0);
}

TEST_F(DriverSim, SignalsEndItWithExitZeroAndRemoveLeavesNothing)
{
    Launch({"-q", "--remove"});
    kill(pid_, SIGTERM);
    EXPECT_EQ(ExitCode(pid_), 0);
    EXPECT_EQ(ShmEntries(), 0);

    Launch({"-q"});
    kill(pid_, SIGINT);
    EXPECT_EQ(ExitCode(pid_), 0);
    EXPECT_EQ(ShmEntries(), 8);   // two segments, five semaphores, the release lock
    EXPECT_EQ(ExitCode(Spawn({"--remove-only"})), 0);
    EXPECT_EQ(ShmEntries(), 0);
}

TEST_F(DriverSim, ASecondSimulatorInTheNamespaceRefusesAndLeavesTheFirstAlone)
{
    Launch({"-q", "-b", "3"});
    pid_t first = pid_;
    // Its --remove must not take the names from under the first one.
    pid_t second = Spawn({"-b", "5", "--remove"});
    EXPECT_EQ(ExitCode(second), 3);
    char expected[160];
    std::snprintf(expected, sizeof expected, "another driver_sim (pid %d) already serves the namespace \"%s\"",
                  static_cast<int>(first), ns_);
    EXPECT_TRUE(Printed(expected)) << text_;
    EXPECT_FALSE(Printed("driver_sim ready")) << text_;
    EXPECT_EQ(block_->BoardNum, 3);
    EXPECT_EQ(ShmEntries(), 8);
    StartRun(10, 1000);
    EXPECT_TRUE(Eventually([&] { return block_->Scans >= 1; }));

    // Once the first has gone, however it ended, the namespace is free again.
    kill(first, SIGKILL);
    EXPECT_EQ(ExitCode(first), 128 + SIGKILL);
    Launch({"-q", "-b", "7"});
    EXPECT_EQ(block_->BoardNum, 7);
}

TEST_F(DriverSim, ACommandPostedBeforeItStartedIsDroppedAndTheNextIsServed)
{
    // A client posts SET_DAC while no driver runs, and nobody takes it back.
    SharedMemory mem;
    ASSERT_TRUE(CreateNamedMemory(mem, kStaticsName, kStaticsSize + 1));
    auto *early = static_cast<volatile Statics *>(MapNamedMemory(mem));
    ASSERT_NE(early, nullptr);
    SyncObject cmnd;
    for (int i = 0; i < SYNC_COUNT; ++i) {
        const SyncSpec &spec = kSyncObjects[i];
        SyncObject obj;
        ASSERT_TRUE(CreateSync(obj, spec.name, spec.kind, spec.initial, spec.maximum));
        if (i == SYNC_CMND)
            cmnd = obj;
    }
    early->SyncReady = 1;
    early->Dac = 1234;
    early->DriverCommand = DRIVER_SET_DAC;
    ASSERT_TRUE(ReleaseSync(cmnd));

    Launch();
    EXPECT_TRUE(Printed("driver_sim: dropped DRIVER_SET_DAC (3), posted before this driver started")) << text_;
    EXPECT_EQ(block_->DriverCommand, DRIVER_DROPPED);
    EXPECT_EQ(PeekSyncCount(sync_[SYNC_CMND]), 0);
    EXPECT_EQ(PeekSyncCount(sync_[SYNC_CTRL]), 1);   // the control lock it took is given back
    block_->Dac = 77;
    Post(DRIVER_SET_DAC);
    EXPECT_TRUE(Eventually([&] { return Printed("driver_sim: SET_DAC 77 "); })) << text_;
    EXPECT_FALSE(Printed("SET_DAC 1234")) << text_;
}

TEST_F(DriverSim, BadOptionsExitWithTwo)
{
    EXPECT_EQ(ExitCode(Spawn({"--bogus"})), 2);
    EXPECT_EQ(ExitCode(Spawn({"-s", "fast"})), 2);
    EXPECT_EQ(ExitCode(Spawn({"-b"})), 2);
    EXPECT_EQ(ExitCode(Spawn({"-h"})), 0);
    EXPECT_TRUE(Printed("microseconds"));
}

} // namespace
