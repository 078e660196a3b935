// The go-to and its wait: launch texts for every answer, the exact poll
// sequence, the pause between polls (never before the first), the end of a
// stalled wait, failing polls; and the slewing flag back at 0 afterwards.
#include "ExpectedText.h"
#include "HostSession.h"

#include <thread>

using namespace HostLayout;

namespace {

std::string Repeated(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

using GoTo = PlugInTest;

TEST_F(GoTo, LaunchAnswersPollsAndPauses)
{
    const std::string launched = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n";
    const struct { const char *scenario; std::string log; unsigned polls; } cases[] = {
        {"progress=0/40/100", launched + "GoTo 0%\r\nGoTo 40%\r\nGoTo 100%\r\n", 3},
        {"progress=250", launched + "GoTo 250%\r\n", 1},
        {"progress=99/100", launched + "GoTo 99%\r\nGoTo 100%\r\n", 2},
        {"goto=2", "Goto (1.500000,0.300000)->GoTo not launched\r\n\r\n", 0},
        {"goto=3", "Goto (1.500000,0.300000)->TCS Provider is not registered\r\n\r\n", 0},
        {"goto=210", "Goto (1.500000,0.300000)->TCS Provider is not Celestial aligned\r\n\r\n", 0},
        // Codes it does not know read as launched, yet only 1 is followed.
        {"goto=7", launched, 0},
        {"goto=0", launched, 0},
        {"goto=65535", launched, 0},
        // A poll the library refuses ends the wait.
        {"progress=0/50/100,progressfail=50:3", launched + "GoTo 0%\r\nTCS Provider is not registered\r\n", 2},
        {"progress=0/50/100,progressfail=50:210", launched + "GoTo 0%\r\nTCS Provider is not Celestial aligned\r\n", 2},
        // Stalled: 60 s without a change of progress, at 50 ms a poll; also
        // when every poll is answered with a code that writes no percentage.
        {"answer.TCS_GetGoToProgress=7", launched + Repeated("GoTo 0%\r\n", 1201) +
                                             "GoTo stalled at 0% for 60 s: wait abandoned\r\n",
         1201},
        {"progress=0", launched + Repeated("GoTo 0%\r\n", 1201) + "GoTo stalled at 0% for 60 s: wait abandoned\r\n",
         1201},
        {"progress=0/10/40",
         launched + "GoTo 0%\r\nGoTo 10%\r\n" + Repeated("GoTo 40%\r\n", 1201) +
             "GoTo stalled at 40% for 60 s: wait abandoned\r\n",
         1203},
        // Falling back is no progress: the 60 s run from the highest answer.
        {"progress=0/40/10",
         launched + "GoTo 0%\r\nGoTo 40%\r\n" + Repeated("GoTo 10%\r\n", 1200) +
             "GoTo stalled at 10% for 60 s: wait abandoned\r\n",
         1202},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        StartSession(std::string("align=both,") + c.scenario);
        Open();
        ResetSleepCount();
        const uint64_t before = VirtualClockNow();
        Slew(1.5, 0.3);
        const unsigned pauses = c.polls > 0 ? c.polls - 1 : 0;
        EXPECT_EQ(SleepCalls(), pauses);
        EXPECT_EQ(SleptMilliseconds(), 50u * pauses);
        EXPECT_EQ(VirtualClockNow() - before, 50u * pauses);
        EXPECT_EQ(JournalOf("TCS_GoToCelestialCoords"),
                  std::vector<std::string>{"TCS_GoToCelestialCoords(X=1.5,Y=0.29999999999999999) -> " +
                                           std::string(strncmp(c.scenario, "goto=", 5) == 0 ? c.scenario + 5 : "1")});
        EXPECT_EQ(JournalOf("TCS_GetGoToProgress").size(), c.polls);
        EXPECT_TRUE(Idle().untouched) << "the slewing flag is back at 0";
        EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog() + c.log);
    }
}

// Both ways to a go-to, the host's slew and the contextual menu's, pass the
// coordinates through untouched: every bit reaches the library.
TEST_F(GoTo, CoordinatesReachTheLibraryBitForBit)
{
    const struct { double ra, dec; const char *journal; const char *log; } cases[] = {
        {1.2345678901234567, -0.98765432109876539, "X=1.2345678901234567,Y=-0.98765432109876539",
         "(1.234568,-0.987654)"},
        {0.1, -0.0, "X=0.10000000000000001,Y=-0", "(0.100000,-0.000000)"},
        {6.2831853071795862, 1.5707963267948966, "X=6.2831853071795862,Y=1.5707963267948966",
         "(6.283185,1.570796)"},
        {4.9406564584124654e-324, -2.2250738585072014e-308, "X=4.9406564584124654e-324,Y=-2.2250738585072014e-308",
         "(0.000000,-0.000000)"},
    };
    for (const auto &c : cases) {
        for (bool fromMenu : {false, true}) {
            SCOPED_TRACE(std::string(c.journal) + (fromMenu ? " from the menu" : " from the host's slew"));
            StartSession("align=both,progress=100");
            Open();
            if (fromMenu) {
                HostRecord context = DoContextRecord(20000, c.ra, c.dec);
                EXPECT_EQ(Op(op_DoContextualPopup, context.data()), 0);
                EXPECT_TRUE(context.AsExpected());
            } else {
                Slew(c.ra, c.dec);
            }
            EXPECT_EQ(JournalOf("TCS_GoToCelestialCoords"),
                      std::vector<std::string>{"TCS_GoToCelestialCoords(" + std::string(c.journal) + ") -> 1"});
            const std::string log = LogAfterUnload();
            EXPECT_NE(log.find(std::string("Goto ") + c.log + "->GoTo launched\r\n\r\nGoTo 100%\r\n"),
                      std::string::npos);
        }
    }
}

// An idle call that reaches the plug-in while a go-to is being followed (the
// host's timer, on another thread here) is answered with an update request,
// also when tracking had a centring request due; once the wait is over,
// idle calls are answered as before.
TEST_F(GoTo, IdleDuringTheWaitAsksForUpdates)
{
    for (bool tracking : {false, true}) {
        SCOPED_TRACE(tracking ? "tracking" : "not tracking");
        // Each library call takes 20 ms of real time: 40 polls, most of a second.
        StartSession("align=both,latency=20,progress=" + Repeated("5/", 39) + "100");
        Open();
        if (tracking) {
            Track();
            EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
        }
        std::thread slew([this] { Slew(1.5, 0.3); });
        while (JournalOf("TCS_GetGoToProgress").empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        IdleAnswer during = Idle(); // within a second of the last request: no library call
        const size_t pollsSeen = JournalOf("TCS_GetGoToProgress").size();
        slew.join();
        EXPECT_LT(pollsSeen, 40u) << "the wait was over before the idle call";
        EXPECT_EQ(during.operation, (unsigned)out_Update);
        EXPECT_EQ(during.params, nullptr);
        IdleAnswer after = Idle(); // 39 pauses later on the virtual clock
        if (tracking)
            EXPECT_EQ(after.operation, (unsigned)out_CentrePoint);
        else
            EXPECT_TRUE(after.untouched);
        EXPECT_EQ(JournalOf("TCS_GetCelestialCoords").size(), tracking ? 2u : 0u);
        Terminate();
    }
}

} // namespace
