// Idle tracking on the virtual clock (the interval of strictly more than one
// second, the first call since load, a clock past 2^31 and 2^32 ms, the 32-bit
// tick count of Windows XP wrapping), the centring request, a failed reading,
// and the field indicator.
#include "ExpectedText.h"
#include "HostSession.h"

using namespace HostLayout;

namespace {

class IdleTracking : public PlugInTest {
protected:
    void StartTracking(const std::string &scenario = "align=both,start=0.5/0.25")
    {
        StartSession(scenario);
        Open();
        Track();
    }
    bool Centres()
    {
        IdleAnswer answer = Idle();
        EXPECT_TRUE(answer.untouched || answer.operation == out_CentrePoint);
        return !answer.untouched;
    }
};

TEST_F(IdleTracking, RequestsComeMoreThanOneSecondApart)
{
    struct Step { uint64_t advanceMs; bool centres; };
    // tickCount64 false: a system with only the 32-bit tick count (Windows XP),
    // which starts again at 0 after 2^32 ms.
    const struct { const char *clock; uint64_t startMs; std::vector<Step> steps; bool tickCount64; } cases[] = {
        // 10^7 ms: every reading a whole number of seconds, so 1000 ms is exactly 1.0 s.
        {"10000 s", 10000000, {{0, true}, {500, false}, {500, false}, {1, true}, {1000, false}, {1001, true}, {0, false}}, true},
        {"first call at exactly 1 s", 1000, {{0, false}, {1, true}, {999, false}, {2, true}}, true},
        {"first call at 0", 0, {{0, false}, {1000, false}, {1, true}}, true},
        {"past 2^31 ms", 2200000000u, {{0, true}, {1001, true}, {1001, true}}, true},
        {"across 2^32 ms", 4294966796u, {{0, true}, {1000, false}, {1, true}, {1001, true}}, true},
        {"32-bit tick count across its wrap", 4294966796u, {{0, true}, {1000, false}, {1, true}, {1001, true}}, false},
        {"32-bit tick count across two wraps", 4294966796u,
         {{0, true}, {4294967000u, true}, {4294967000u, true}, {999, false}, {2, true}}, false},
    };
    for (const auto &c : cases) {
        if (!c.tickCount64 && !kWindowsPlugIn)
            continue; // the POSIX clock has no 32-bit count to carry on
        SCOPED_TRACE(c.clock);
        OfferTickCount64(c.tickCount64);
        StartTracking();
        UseVirtualClock(true, c.startMs);
        size_t requests = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            AdvanceVirtualClock(c.steps[i].advanceMs);
            const bool centres = Centres();
            EXPECT_EQ(centres, c.steps[i].centres) << "step " << i << ", clock at " << VirtualClockNow() << " ms";
            requests += centres ? 1 : 0;
        }
        EXPECT_EQ(JournalOf("TCS_GetCelestialCoords").size(), requests) << "one reading per request";
    }
}

TEST_F(IdleTracking, TrackingOffMakesNoRequestAndNoCall)
{
    StartSession("align=both");
    Open();
    for (int i = 0; i < 3; ++i) {
        AdvanceVirtualClock(5000);
        EXPECT_TRUE(Idle().untouched);
    }
    Track();
    Track(); // back off
    EXPECT_TRUE(Idle().untouched);
    EXPECT_TRUE(JournalOf("TCS_GetCelestialCoords").empty());
}

// The interval runs on across a close and reopen; a reading that fails still
// sends the request, with the last position read. (The provider reports
// itself inactive, so opening never rebuilds the alignment that closing drops.)
TEST_F(IdleTracking, FailedReadingCentresOnTheLastPosition)
{
    StartTracking("align=both,control=201,start=0.5/0.25");
    IdleAnswer first = Idle();
    ASSERT_EQ(first.operation, (unsigned)out_CentrePoint);
    Centre c = CentreAt(first.params);
    EXPECT_EQ(c.ra, 0.5);
    EXPECT_EQ(c.dec, 0.25);
    Close(); // drops the alignment: readings now answer 210
    Open();
    AdvanceVirtualClock(600);
    EXPECT_TRUE(Idle().untouched) << "0.6 s after the request made before the close";
    AdvanceVirtualClock(401);
    IdleAnswer second = Idle();
    ASSERT_EQ(second.operation, (unsigned)out_CentrePoint);
    EXPECT_EQ(second.params, first.params);
    c = CentreAt(second.params);
    EXPECT_EQ(c.ra, 0.5);
    EXPECT_EQ(c.dec, 0.25);
    const std::string log = LogAfterUnload();
    const std::string tail = "TCS Provider is not Celestial aligned\r\nTCS RA = 01:54:35.5 Dec = +14:19:26\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(JournalOf("TCS_SetCelestialAlignFromAlignPoints").size(), 0u);
}

// The state of tracking lives with the loaded plug-in: a reload starts from
// its first idle call again.
TEST_F(IdleTracking, ReloadStartsTheIntervalAfresh)
{
    StartTracking();
    EXPECT_TRUE(Centres());
    Terminate();
    StartTracking();
    AdvanceVirtualClock(500);
    EXPECT_TRUE(Centres()) << "first idle call of the new load";
}

using Indicator = PlugInTest;

TEST_F(Indicator, DescribesTheFieldAtTheTelescopeEveryTime)
{
    StartSession("align=both,start=0.5/0.25");
    Open();
    for (int i = 0; i < 2; ++i) {
        CanaryRecord r(IndicatorLayout());
        EXPECT_EQ(Op(op_DrawIndicator, r.data()), 0);
        ExpectIndicatorAnswer(&r);
        r.Expect(kIndCentreRA, 0.5);
        r.Expect(kIndCentreDec, 0.25);
        EXPECT_TRUE(AsExpected(r)) << "call " << i;
    }
    EXPECT_EQ(JournalOf("TCS_GetCelestialCoords").size(), 2u) << "no rate limit of its own";
    EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog() +
                                    "TCS RA = 01:54:35.5 Dec = +14:19:26\r\nTCS RA = 01:54:35.5 Dec = +14:19:26\r\n");
}

TEST_F(Indicator, FailedReadingLeavesTheHostsPosition)
{
    // Answered 0 the reading counts as done (the library wrote nothing: the
    // last position kept, zero); answered 3 or 210 it does not.
    const struct { const char *scenario; bool positionWritten; const char *log; } cases[] = {
        {"align=both,answer.TCS_GetCelestialCoords=3", false, "TCS Provider is not registered\r\nTCS RA =  Dec = \r\n"},
        {"align=both,answer.TCS_GetCelestialCoords=210", false,
         "TCS Provider is not Celestial aligned\r\nTCS RA =  Dec = \r\n"},
        {"align=both,answer.TCS_GetCelestialCoords=0", true, "TCS RA = 00:00:00.0 Dec = +00:00:00\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        StartSession(c.scenario);
        Open();
        CanaryRecord r(IndicatorLayout());
        EXPECT_EQ(Op(op_DrawIndicator, r.data()), 0);
        ExpectIndicatorAnswer(&r);
        if (c.positionWritten) {
            r.Expect(kIndCentreRA, 0.0);
            r.Expect(kIndCentreDec, 0.0);
        }
        EXPECT_TRUE(AsExpected(r));
        EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog() + c.log);
    }
}

} // namespace
