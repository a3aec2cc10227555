// The run-request state machine: every row of the decision table, and the
// run keywords as scripts use them.
#include "block_fixture.h"

namespace {

constexpr int32_t kUntouched = -77;   // DriverCommand before the decision

struct Row {
    const char *what;
    int32_t state, request, saved;
    int32_t rampEnd, dwell;            // for the start check
    int32_t wantState, wantRequest, wantCommand;
    int result;
};

class RunControl : public BlockTest {
protected:
    std::string Exec(const char *command, int expect = kOk)
    {
        Outcome o = ::Exec(command);
        EXPECT_EQ(o.status, expect) << command;
        return o.reply;
    }
};

TEST_F(RunControl, EveryRowOfTheDecisionTable)
{
    const Row rows[] = {
        {"start granted", 0, RUN_START, 0, 100, 10, 1, 0, DRIVER_START, kOk},
        {"start, ramp end above 32767", 0, RUN_START, 0, 40000, 10, 0, 0, kUntouched, kFail},
        {"start, zero dwell", 0, RUN_START, 0, 100, 0, 0, 0, kUntouched, kFail},
        {"start while going", 1, RUN_START, 0, 100, 10, 1, 0, kUntouched, kOk},
        {"start while paused", 2, RUN_START, 0, 100, 10, 2, 0, kUntouched, kOk},
        {"resume while paused", 2, RUN_RESUME, 4, 0, 0, 1, 4, DRIVER_RESUME, kOk},
        {"resume while going", 1, RUN_RESUME, 0, 0, 0, 1, 0, kUntouched, kOk},
        {"resume while halted", 0, RUN_RESUME, 0, 0, 0, 0, 0, kUntouched, kOk},
        {"stop now while going", 1, RUN_STOP_NOW, 0, 0, 0, 0, 0, DRIVER_STOP, kOk},
        {"stop now while paused", 2, RUN_STOP_NOW, 0, 0, 0, 0, 0, DRIVER_STOP, kOk},
        {"stop now while halted", 0, RUN_STOP_NOW, 0, 0, 0, 0, 0, kUntouched, kOk},
        {"stop at end while going", 1, RUN_STOP_AT_END, 0, 0, 0, 1, RUN_STOP_AT_END, kUntouched, kOk},
        {"stop at end while halted", 0, RUN_STOP_AT_END, 0, 0, 0, 0, RUN_STOP_AT_END, kUntouched, kOk},
        {"pause at end while going", 1, RUN_PAUSE_AT_END, 0, 0, 0, 1, RUN_PAUSE_AT_END, kUntouched, kOk},
        {"pause at end while paused", 2, RUN_PAUSE_AT_END, 0, 0, 0, 2, RUN_PAUSE_AT_END, kUntouched, kOk},
        {"pause now while going", 1, RUN_PAUSE_NOW, 0, 0, 0, 2, 0, kUntouched, kOk},
        {"pause now while halted", 0, RUN_PAUSE_NOW, 0, 0, 0, 0, 0, kUntouched, kOk},
        {"pause now while paused", 2, RUN_PAUSE_NOW, 0, 0, 0, 2, 0, kUntouched, kOk},
        {"wake up while going", 1, RUN_WAKE_UP, 0, 0, 0, 1, 0, DRIVER_WAKE_UP, kOk},
        {"wake up while halted", 0, RUN_WAKE_UP, 0, 0, 0, 0, 0, DRIVER_WAKE_UP, kOk},
        {"force state", 1, RUN_FORCE_STATE, 0, 0, 0, 2, 0, DRIVER_WAKE_UP, kOk},
        {"no request", 1, RUN_NO_REQUEST, 0, 0, 0, 1, 0, kUntouched, kOk},
        {"request 8", 2, 8, 0, 0, 0, 2, 0, kUntouched, kOk},
        {"request 99", 0, 99, 0, 0, 0, 0, 0, kUntouched, kOk},
        {"request 101", 1, 101, 0, 0, 0, 1, 0, kUntouched, kOk},
        {"negative request", 1, -3, 0, 0, 0, 1, 0, kUntouched, kOk},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        S().RunState = row.state;
        S().RunRequest = row.request;
        S().SavedRequest = row.saved;
        S().RampEndDac = static_cast<uint16_t>(row.rampEnd);
        S().DwellTime = row.dwell;
        S().ForcedState = RUN_PAUSED;
        S().DriverCommand = kUntouched;
        EXPECT_EQ(ApplyRunRequest(), row.result);
        EXPECT_EQ(S().RunState, row.wantState);
        EXPECT_EQ(S().RunRequest, row.wantRequest);
        EXPECT_EQ(S().DriverCommand, row.wantCommand);
        EXPECT_EQ(Drain(), row.wantCommand == kUntouched ? 0 : 1);
        EXPECT_EQ(PeekSyncCount(g_sync[SYNC_STATE]), 1);   // the state lock is given back
    }
}

TEST_F(RunControl, PostingSavesThePendingRequestOnlyForPauseNow)
{
    S().RunRequest = RUN_STOP_AT_END;
    PostRunRequest(RUN_PAUSE_NOW);
    EXPECT_EQ(S().SavedRequest, RUN_STOP_AT_END);
    EXPECT_EQ(S().RunRequest, RUN_PAUSE_NOW);
    PostRunRequest(RUN_RESUME);
    EXPECT_EQ(S().SavedRequest, 0);
}

TEST_F(RunControl, PauseAndResumeAroundAPendingStopAtEnd)
{
    S().DwellTime = 10;
    Exec("RUN_REQUEST RUN_START");
    EXPECT_EQ(S().RunState, RUN_GOING);
    EXPECT_EQ(Drain(), 1);
    Exec("RUN_REQUEST RUN_STOP_AT_END");
    EXPECT_EQ(Exec("READ_RUN_REQUEST"), " RUN_STOP_AT_END");
    Exec("RUN_REQUEST RUN_PAUSE_NOW");
    EXPECT_EQ(S().RunState, RUN_PAUSED);
    EXPECT_EQ(S().SavedRequest, RUN_STOP_AT_END);
    EXPECT_EQ(Drain(), 0);
    Exec("RUN_REQUEST RUN_RESUME");        // posting it clears the saved request
    EXPECT_EQ(S().RunState, RUN_GOING);
    EXPECT_EQ(S().RunRequest, 0);
    EXPECT_EQ(S().DriverCommand, DRIVER_RESUME);
    EXPECT_EQ(Drain(), 1);
    Exec("RUN_REQUEST RUN_STOP_NOW");
    EXPECT_EQ(Exec("READ_RUN_STATE"), " RUN_HALTED");
}

TEST_F(RunControl, RefusedStartFailsAndClearsTheRequest)
{
    S().DwellTime = 0;
    Exec("RUN_REQUEST RUN_START", kFail);
    EXPECT_EQ(S().RunRequest, 0);
    EXPECT_EQ(S().RunState, RUN_HALTED);
    Exec("DWELL_TIME 5");
    Exec("DAC_STEP 100");
    Exec("NUM_CHANS 400");                  // ramp end 39900 reads as negative
    Exec("RUN_REQUEST RUN_START", kFail);
    EXPECT_EQ(Drain(), 0);
}

TEST_F(RunControl, NamesAreExactAndUnknownValuesNamedAsSuch)
{
    Exec("RUN_REQUEST run_start", kFail);
    Exec("RUN_REQUEST RUN_STARTX", kFail);
    Exec("RUN_STATE RUN_halted", kFail);
    Exec("RUN_REQUEST RUN_NO_REQUEST");
    EXPECT_EQ(S().RunRequest, 0);
    S().RunRequest = 55;
    EXPECT_EQ(Exec("READ_RUN_REQUEST"), " Unknown Run Request");
    S().RunState = 9;
    EXPECT_EQ(Exec("READ_RUN_STATE"), " Unknown Run State");
    S().RunState = 0;
    EXPECT_EQ(Exec("READ_RUN_STATE"), " RUN_HALTED");
    S().RunRequest = RUN_FORCE_STATE;
    EXPECT_EQ(Exec("READ_RUN_REQUEST"), " RUN_FORCE_STATE");
}

TEST_F(RunControl, ForcingTheStateWakesTheDriver)
{
    S().SavedRequest = 4;
    Exec("RUN_STATE RUN_PAUSED");
    EXPECT_EQ(S().RunState, RUN_PAUSED);
    EXPECT_EQ(S().ForcedState, RUN_PAUSED);
    EXPECT_EQ(S().RunRequest, 0);
    EXPECT_EQ(S().SavedRequest, 0);
    EXPECT_EQ(S().DriverCommand, DRIVER_WAKE_UP);
    EXPECT_EQ(Drain(), 1);
    Exec("RUN_REQUEST RUN_WAKE_UP");
    EXPECT_EQ(S().RunState, RUN_PAUSED);
    EXPECT_EQ(Drain(), 1);
}

} // namespace
