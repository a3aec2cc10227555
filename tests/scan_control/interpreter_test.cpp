// The keyword interpreter and run control, driven in-process against a block
// of the test's own namespace.
#include <cstdlib>
#include <unistd.h>

#include "block_fixture.h"

namespace {

void Must(const std::string &command)
{
    ASSERT_EQ(Exec(command).status, kOk) << command;
}

class Interpreter : public BlockTest {
protected:
    void SetUp() override
    {
        unsetenv("BOARD_SIM_FAIL");
        BlockTest::SetUp();
    }
};

TEST_F(Interpreter, RangeChecksAcceptExactlyTheirBounds)
{
    const struct { const char *command; int status; } cases[] = {
        {"NUM_CHANS 1", kFail},        {"NUM_CHANS 2", kOk},
        {"NUM_CHANS 32768", kOk},      {"NUM_CHANS 32769", kFail},
        {"DWELL_TIME 0", kFail},       {"DWELL_TIME 1", kOk},
        {"DWELL_TIME 1000000", kOk},   {"DWELL_TIME 1000001", kFail},
        {"SETTLE_TIME -5", kOk},       {"SETTLE_TIME 99999999", kOk},
        {"SETTLE_TIME 100000000", kFail},
        {"DAC_STEP 0x7fff", kOk},      {"DAC_STEP 32768", kFail},
        {"DAC_STEP -1", kOk},
        {"READ_ENABLE_SCALER 0", kFail}, {"READ_ENABLE_SCALER 5", kFail},
        {"READ_ENABLE_SCALER 4", kOk}, {"READ_ENABLE_SCALER", kFail},
        {"ENABLE_SCALER 5 1", kFail},
        {"ADC_METHOD 7", kOk},         {"DEBUG -123", kOk},
        // Values beyond 32 bits saturate rather than wrap into range.
        {"DWELL_TIME 4294967496", kFail},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Exec(c.command).status, c.status) << c.command;
}

TEST_F(Interpreter, FailedCommandsLeaveTheBlockUntouchedAndReplyEmpty)
{
    Must("DWELL_TIME 300");
    Statics before = S();
    for (const char *command : {"DWELL_TIME 0", "DWELL_TIME", "DWELL_TIME abc", "NUM_CHANS", "DEBUG x",
                                "SET_DAC", "CHANNEL", "RAMP_DAC -", "ENABLE_ADC", "ADC_METHOD",
                                "ENABLE_SCALER 2", "ENABLE_SCALER 2 zz", "RUN_REQUEST", "RUN_STATE nope"}) {
        Outcome o = Exec(command);
        EXPECT_EQ(o.status, kFail) << command;
        EXPECT_EQ(o.reply, "") << command;
        EXPECT_EQ(std::memcmp(&before, g_statics, sizeof before), 0) << command;
    }
    EXPECT_EQ(Drain(), 0);
}

TEST_F(Interpreter, UnknownOrUnusableTextIsLeftInTheBuffer)
{
    EXPECT_EQ(Exec("read_status").reply, "read_status");
    EXPECT_EQ(Exec("read_status").status, kFail);
    EXPECT_EQ(Exec("NO_SUCH_KEY 1").reply, "NO_SUCH_KEY 1");
    EXPECT_EQ(Exec("").status, kFail);
    EXPECT_EQ(Exec("    ").reply, "    ");
    EXPECT_EQ(Exec("DEBUG\t3").status, kFail);   // a tab is part of the token

    // Too long for the working copy: refused whole, never cut or overflowed.
    std::string longText = "DEBUG 7" + std::string(300, ' ') + "x";
    Outcome o = Exec(longText);
    EXPECT_EQ(o.status, kFail);
    EXPECT_EQ(o.reply, longText);
    EXPECT_EQ(S().Debug, 0);
    EXPECT_EQ(Exec("DEBUG 7" + std::string(248, ' ')).status, kOk);   // 255 characters fit
}

TEST_F(Interpreter, RepliesAreSpaceLedAndSixteenBitFieldsUnsigned)
{
    Must("DWELL_TIME 200");
    EXPECT_EQ(Exec("READ_DWELL_TIME").reply, " 200");
    EXPECT_EQ(Exec("DWELL_TIME 200").reply, "");
    Must("DAC_STEP -1");
    EXPECT_EQ(Exec("READ_DAC_STEP").reply, " 65535");
    Must("SET_DAC -1");
    EXPECT_EQ(Exec("READ_DAC").reply, " 65535");
    Must("DEBUG 0x10");
    EXPECT_EQ(Exec("READ_DEBUG").reply, " 16");
    EXPECT_EQ(Exec("READ_DEBUG_STATUS").reply, " 16");
    Must("DEBUG 010 99");   // octal, extra tokens ignored
    EXPECT_EQ(Exec("READ_DEBUG").reply, " 8");
    Must("   RAMP_DAC    -7  ");
    EXPECT_EQ(Exec("READ_RAMP_DAC").reply, " -7");
    Must("ADC_METHOD 7");
    EXPECT_EQ(Exec("READ_ADC_METHOD").reply, " 3");
    Must("ADC_METHOD 2");
    EXPECT_EQ(Exec("READ_ADC_METHOD").reply, " 2");
    Must("ENABLE_ADC 5");
    EXPECT_EQ(Exec("READ_ENABLE_ADC").reply, " 1");
    Must("ENABLE_TDC 0");
    EXPECT_EQ(Exec("READ_ENABLE_TDC").reply, " 0");
    Must("ENABLE_SCALER 2 5");
    EXPECT_EQ(Exec("READ_ENABLE_SCALER 2").reply, " 5");
    EXPECT_EQ(S().Scaler[1].Enable, 5);
    S().Scans = 12;
    S().QueueLength = 4;
    S().Channel = -3;
    EXPECT_EQ(Exec("READ_SCANS").reply, " 12");
    EXPECT_EQ(Exec("READ_QUEUE_LEN").reply, " 4");
    EXPECT_EQ(Exec("READ_CHANNEL").reply, " -3");
}

TEST_F(Interpreter, StatusAndSettingsReplies)
{
    S().RunState = RUN_GOING;
    S().RunRequest = RUN_STOP_AT_END;
    S().Channel = 7;
    S().Dac = 0x8000;          // offset binary 0: -10 V
    S().QueueCount3 = 9;
    S().Scans = 3;
    EXPECT_EQ(Exec("READ_STATUS").reply, " 1 4 7 -10000 32768 9 3");

    S().ActiveNumChans = 50;
    S().ActiveDacStep = 100;
    S().ActiveRampEndDac = 4900;
    S().ActiveRampEndMilliVolts = 1495.36f;
    S().ActiveDwellTime = 1000;
    S().ActiveSettleTime = -1;
    S().RampDac = 42;
    EXPECT_EQ(Exec("READ_ACTIVE_SETTINGS").reply, " 50 0 100 4900 1495.36 1000 -1 42");

    Must("NUM_CHANS 101");
    Must("DAC_STEP 100");
    Must("DWELL_TIME 500");
    Must("SETTLE_TIME 20");
    EXPECT_EQ(Exec("READ_NEW_SETTINGS").reply, " 101 0 100 10000 3051.76 500 20 42");
}

TEST_F(Interpreter, RampEndWrapsInSixteenBits)
{
    Must("DAC_STEP 100");
    Must("NUM_CHANS 101");
    EXPECT_EQ(S().RampEndDac, 10000);
    Must("NUM_CHANS 400");
    EXPECT_EQ(S().RampEndDac, 39900);
    Must("DAC_STEP 32767");
    Must("NUM_CHANS 32768");   // 32767 * 32767 modulo 65536
    EXPECT_EQ(S().RampEndDac, static_cast<uint16_t>(32767u * 32767u));
    EXPECT_FLOAT_EQ(S().RampEndMilliVolts, static_cast<float>(DacToMilliVolts(S().RampEndDac)));
}

TEST_F(Interpreter, MillivoltConversionAndItsFailure)
{
    EXPECT_DOUBLE_EQ(DacToMilliVolts(0), 0.0);
    EXPECT_DOUBLE_EQ(DacToMilliVolts(0x8000), -10000.0);
    EXPECT_NEAR(DacToMilliVolts(0x7FFF), 10000.0 * 32767 / 32768, 1e-3);

    setenv("BOARD_SIM_FAIL", "cbToEngUnits", 1);
    EXPECT_DOUBLE_EQ(DacToMilliVolts(100), -999.999);
    Must("DAC_STEP 10");   // the keyword still succeeds
    Must("NUM_CHANS 3");
    EXPECT_FLOAT_EQ(S().RampEndMilliVolts, -999.999f);
    EXPECT_EQ(Exec("READ_STATUS").reply, " 0 0 0 -999.999 0 0 0");
    unsetenv("BOARD_SIM_FAIL");
}

TEST_F(Interpreter, SetDacAndChannelMoveTheDacOnlyWhenHalted)
{
    S().Dac = 77;
    Must("SET_DAC 1200");
    EXPECT_EQ(S().PreviousDac, 77);
    EXPECT_EQ(S().Dac, 1200);
    EXPECT_EQ(S().DriverCommand, DRIVER_SET_DAC);
    EXPECT_EQ(Drain(), 1);

    S().ActiveDacStep = 100;
    S().ActiveRampEndDac = 500;
    S().DriverCommand = -1;
    Must("CHANNEL 10");
    EXPECT_EQ(S().Dac, 500);              // clamped to the ramp end
    EXPECT_EQ(S().PreviousDac, 1200);
    EXPECT_EQ(S().Channel, 10);
    EXPECT_EQ(S().ChannelRequest, 10);
    EXPECT_EQ(S().DriverCommand, DRIVER_SET_DAC);
    EXPECT_EQ(Drain(), 1);

    S().ActiveDacStep = 1000;
    S().ActiveRampEndDac = 65535;
    Must("CHANNEL 70");                   // 70000 wraps to 4464
    EXPECT_EQ(S().Dac, 4464);
    Drain();

    for (int32_t state : {RUN_GOING, RUN_PAUSED}) {
        S().RunState = state;
        EXPECT_EQ(Exec("SET_DAC 100").status, kFail);
        EXPECT_EQ(Exec("CHANNEL 1").status, kFail);
        EXPECT_EQ(S().Dac, 4464);
        EXPECT_EQ(S().Channel, 70);
    }
    EXPECT_EQ(Drain(), 0);
}

TEST_F(Interpreter, ResetQueueClearsTheCountersAndFlagsTheDriver)
{
    S().QueueCount1 = S().QueueCount2 = S().QueueCount3 = S().QueueLength = 5;
    Must("RESET_QUEUE");
    EXPECT_EQ(S().QueueCount1 + S().QueueCount2 + S().QueueCount3 + S().QueueLength, 0);
    EXPECT_EQ(S().QueueReset, 1);
    EXPECT_EQ(Drain(), 0);
}

TEST_F(Interpreter, BoardStopReportsEachFailedStopAndSucceeds)
{
    setenv("BOARD_SIM_NAME", "USB-2527", 1);
    setenv("BOARD_SIM_FAIL", "cbStopIOBackground:5", 1);
    ::testing::internal::CaptureStdout();
    Outcome o = Exec("STOP_DAQ_BOARD");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(o.status, kOk);
    EXPECT_EQ(o.reply, "");
    const std::string report = "Attempting to stop background scan on board type: USB-2527...\n"
                               "Universal Library error \"Background operation could not be stopped (simulated).\"\n\n";
    EXPECT_EQ(out, report);

    setenv("BOARD_SIM_FAIL", "cbStopIOBackground", 1);   // all four stops
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Exec("STOP_DAQ_BOARD").status, kOk);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, report + report + report + report);

    unsetenv("BOARD_SIM_FAIL");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Exec("STOP_DAQ_BOARD").status, kOk);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    unsetenv("BOARD_SIM_NAME");
}

} // namespace

int main(int argc, char **argv)
{
    // A namespace of this run's own, removed afterwards.
    char ns[64];
    std::snprintf(ns, sizeof ns, "gt%d_", static_cast<int>(getpid()));
    setenv("VANTORQ_NAMESPACE", ns, 1);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    RemoveBlockObjects();
    return result;
}
