// The mount model driven by hand: slews in stepped time, the alignment state
// machine, who may do what, and the scenario text.
#include "MountModel.h"

#include <gtest/gtest.h>

#include <math.h>

namespace {

const double kPi = 3.14159265358979323846;
const double kDeg = kPi / 180.0;

Mount MountWith(const char *scenarioText)
{
    Scenario sc;
    std::string error;
    EXPECT_TRUE(ParseScenario(scenarioText, &sc, &error)) << error;
    Mount m;
    ResetMount(&m, sc);
    return m;
}

unsigned short Poll(Mount *m)
{
    unsigned short percent = 0xBEEF;
    Answer a = MountGetGoToProgress(m, &percent);
    EXPECT_EQ(a.code, kTcsDone);
    return percent;
}

Sky Where(const Mount &m)
{
    Sky pos = {-1, -1};
    Answer a = MountGetCelestialCoords(m, &pos);
    EXPECT_EQ(a.code, kTcsDone);
    return pos;
}

// --- Slews in time ---

TEST(Slew, ProgressAndPositionFollowElapsedTime)
{
    // 20 degrees at 10 degrees a second: two seconds.
    Mount m = MountWith("align=celestial,rate=10");
    ASSERT_EQ(MountGoToCelestialCoords(&m, {0.0, 20 * kDeg}).code, kTcsDone);
    const struct { double step; unsigned short percent; double dec; } steps[] = {
        {0.0, 0, 0.0}, {0.5, 25, 5.0}, {0.5, 50, 10.0}, {0.98, 99, 19.8}, {0.03, 100, 20.0},
    };
    for (const auto &s : steps) {
        StepMount(&m, s.step);
        Sky pos = Where(m);
        EXPECT_EQ(Poll(&m), s.percent) << "after a further " << s.step << " s";
        EXPECT_NEAR(pos.dec / kDeg, s.dec, 1e-9);
        EXPECT_EQ(pos.ra, 0.0);
    }
    // Arrived: the target exactly, and progress stays 100.
    EXPECT_EQ(Where(m).dec, 20 * kDeg);
    StepMount(&m, 10);
    EXPECT_EQ(Poll(&m), 100);
}

TEST(Slew, DurationIsGreatCircleDistanceOverRate)
{
    // 90 degrees along the equator at the default 5 degrees a second: 18 s.
    Mount m = MountWith("align=celestial");
    MountGoToCelestialCoords(&m, {kPi / 2, 0.0});
    StepMount(&m, 17.9);
    EXPECT_EQ(Poll(&m), 99);
    StepMount(&m, 0.1);
    EXPECT_EQ(Poll(&m), 100);
    EXPECT_EQ(Where(m).ra, kPi / 2);
    // From the pole every right ascension is the same distance: 90 degrees.
    m = MountWith("align=celestial,rate=90,start=0/1.5707963267948966");
    MountGoToCelestialCoords(&m, {3.0, 0.0});
    StepMount(&m, 0.999);
    EXPECT_EQ(Poll(&m), 99);
}

TEST(Slew, RightAscensionTakesTheShortWayAndWraps)
{
    // From 350 to 10 degrees through 0, not back across 180.
    Mount m = MountWith("align=celestial,rate=10,start=6.1086523819801535/0");
    MountGoToCelestialCoords(&m, {10 * kDeg, 0.0});
    StepMount(&m, 0.5); // 5 of 20 degrees
    EXPECT_NEAR(Where(m).ra / kDeg, 355.0, 1e-9);
    StepMount(&m, 1.0); // 15 of 20: past 0
    EXPECT_NEAR(Where(m).ra / kDeg, 5.0, 1e-9);
    // Targets outside [0, 2π) arrive wrapped.
    MountGoToCelestialCoords(&m, {-0.5, 0.0});
    StepMount(&m, 100);
    EXPECT_NEAR(Where(m).ra, 2 * kPi - 0.5, 1e-12);
    EXPECT_NEAR(Where(MountWith("align=celestial,start=7/0")).ra, 7 - 2 * kPi, 1e-12);
}

TEST(Slew, ANewGoToStartsFromWhereTheMountIs)
{
    Mount m = MountWith("align=celestial,rate=10");
    MountGoToCelestialCoords(&m, {0.0, 20 * kDeg});
    StepMount(&m, 1.0); // at 10 degrees
    MountGoToCelestialCoords(&m, {0.0, 0.0});
    EXPECT_EQ(Poll(&m), 0);
    StepMount(&m, 0.5);
    EXPECT_NEAR(Where(m).dec / kDeg, 5.0, 1e-9);
    StepMount(&m, 0.6);
    EXPECT_EQ(Poll(&m), 100);
    EXPECT_EQ(MountKillMotion(&m).code, kTcsDone);
}

TEST(Slew, KillStopsWhereTheMountIs)
{
    Mount m = MountWith("align=celestial,rate=10");
    MountGoToCelestialCoords(&m, {0.0, 20 * kDeg});
    StepMount(&m, 0.5);
    MountKillMotion(&m);
    StepMount(&m, 5);
    EXPECT_NEAR(Where(m).dec / kDeg, 5.0, 1e-9);
    EXPECT_EQ(Poll(&m), 100);
}

// --- Faults of the go-to ---

TEST(SlewFaults, StallHoldsProgressAndPosition)
{
    Mount m = MountWith("align=celestial,rate=10,stall=40");
    MountGoToCelestialCoords(&m, {0.0, 20 * kDeg});
    StepMount(&m, 0.5);
    EXPECT_EQ(Poll(&m), 25);
    StepMount(&m, 1000);
    EXPECT_EQ(Poll(&m), 40);
    EXPECT_NEAR(Where(m).dec / kDeg, 8.0, 1e-9);
}

TEST(SlewFaults, ProgressFailsFromTheGivenPercentOn)
{
    Mount m = MountWith("align=celestial,rate=10,progressfail=50:3");
    MountGoToCelestialCoords(&m, {0.0, 20 * kDeg});
    StepMount(&m, 0.8);
    EXPECT_EQ(Poll(&m), 40);
    StepMount(&m, 0.4);
    unsigned short percent = 7;
    Answer a = MountGetGoToProgress(&m, &percent);
    EXPECT_EQ(a.code, 3);
    EXPECT_FALSE(a.wrote);
    EXPECT_EQ(percent, 7);
    StepMount(&m, 10); // arrived, and still failing
    EXPECT_EQ(MountGetGoToProgress(&m, &percent).code, 3);
}

TEST(SlewFaults, ScriptedProgressCountsPollsOfEachGoTo)
{
    Mount m = MountWith("align=celestial,progress=0/40/100");
    for (double target = 1.0; target < 3.0; target += 1.0) {
        MountGoToCelestialCoords(&m, {target, 0.0});
        EXPECT_EQ(Poll(&m), 0);
        EXPECT_EQ(Poll(&m), 40);
        EXPECT_NEAR(Where(m).ra, target - 0.6, 1e-12); // 40 % of the way from the last target
        EXPECT_EQ(Poll(&m), 100);
        EXPECT_EQ(Where(m).ra, target);
        EXPECT_EQ(Poll(&m), 100);
    }
    // A script that never reaches 100 repeats its last value; one beyond 100 arrives.
    m = MountWith("align=celestial,progress=250");
    MountGoToCelestialCoords(&m, {0.0, 0.0});
    EXPECT_EQ(Poll(&m), 250);
    m = MountWith("align=celestial,progress=10/20");
    MountGoToCelestialCoords(&m, {1.0, 0.0});
    Poll(&m);
    Poll(&m);
    EXPECT_EQ(Poll(&m), 20);
}

// --- Alignment ---

TEST(Alignment, PointsThenAlignmentThenVoid)
{
    Mount m = MountWith("");
    unsigned short code = 0;
    Sky pos = {9, 9};
    // Not aligned: coordinates, go-to, progress and calibrate answer 210.
    EXPECT_EQ(MountGetCelestialCoords(m, &pos).code, kTcsNotAligned);
    EXPECT_EQ(pos.ra, 9);
    EXPECT_EQ(MountGoToCelestialCoords(&m, {1, 0}).code, kTcsNotAligned);
    EXPECT_EQ(MountGetGoToProgress(&m, &code).code, kTcsNotAligned);
    EXPECT_EQ(MountCalibrate(&m, {1, 0}).code, kTcsNotAligned);
    // No point yet: refused with 2.
    EXPECT_EQ(MountSetCelestialAlignFromAlignPoints(&m).code, kTcsRefused);
    MountGetAlignmentStatus(m, &code);
    EXPECT_EQ(code, kTcsNotAligned);
    // One point: the mount now points there and can be aligned.
    EXPECT_EQ(MountSetCelestialAlignPoint(&m, {1.5, 0.3}, 1, 221).code, kTcsDone);
    EXPECT_EQ(MountSetCelestialAlignFromAlignPoints(&m).code, kTcsDone);
    MountGetAlignmentStatus(m, &code);
    EXPECT_EQ(code, kTcsCelestialAligned);
    EXPECT_EQ(Where(m).ra, 1.5);
    EXPECT_EQ(Where(m).dec, 0.3);
    // Void drops the alignment but keeps the points.
    EXPECT_EQ(MountVoidCelestialAlign(&m).code, kTcsDone);
    MountGetAlignmentStatus(m, &code);
    EXPECT_EQ(code, kTcsNotAligned);
    EXPECT_EQ(MountSetCelestialAlignFromAlignPoints(&m).code, kTcsDone);
}

TEST(Alignment, StartingStates)
{
    const struct { const char *scenario; unsigned short status, afterBuild; } cases[] = {
        {"align=none", kTcsNotAligned, kTcsNotAligned},
        {"align=none,points=1", kTcsNotAligned, kTcsCelestialAligned},
        {"align=celestial", kTcsCelestialAligned, kTcsCelestialAligned},
        {"align=both", kTcsBothAligned, kTcsBothAligned},
    };
    for (const auto &c : cases) {
        Mount m = MountWith(c.scenario);
        unsigned short code = 0;
        MountGetAlignmentStatus(m, &code);
        EXPECT_EQ(code, c.status) << c.scenario;
        EXPECT_EQ(MountSetCelestialAlignFromAlignPoints(&m).code, c.afterBuild == kTcsNotAligned ? kTcsRefused : kTcsDone);
        MountGetAlignmentStatus(m, &code);
        EXPECT_EQ(code, c.afterBuild) << c.scenario;
    }
}

TEST(Alignment, CalibrateShiftsThePointingModel)
{
    Mount m = MountWith("align=celestial,start=1/0.2,rate=10");
    EXPECT_EQ(MountCalibrate(&m, {1.1, 0.25}).code, kTcsDone);
    EXPECT_EQ(Where(m).ra, 1.1);
    EXPECT_EQ(Where(m).dec, 0.25);
    // Calibrating during a go-to shifts its target by the same amount.
    MountGoToCelestialCoords(&m, {1.1, 0.25 + 20 * kDeg});
    StepMount(&m, 1.0);
    MountCalibrate(&m, {2.0, 0.0});
    StepMount(&m, 5.0);
    EXPECT_NEAR(Where(m).ra, 2.0, 1e-12);
    EXPECT_NEAR(Where(m).dec, 10 * kDeg, 1e-12);
}

// --- Provider states, land mode and forced answers ---

TEST(Provider, WhoAnswersWhat)
{
    const struct {
        const char *scenario;
        unsigned short control, alignment, coords, gotoCode, alignPoint, epoch;
    } cases[] = {
        {"align=celestial", 200, 211, 1, 1, 1, 1},
        {"provider=off,align=celestial", 3, 3, 3, 3, 3, 3},
        {"provider=inactive,align=celestial", 201, 211, 2, 2, 213, 1},
        {"landmode=0,align=celestial", 200, 211, 1, 1, 213, 1},
        {"control=202,alignment=0,align=celestial", 202, 0, 1, 1, 1, 1},
        {"align=celestial,goto=7", 200, 211, 1, 7, 1, 1},
        {"align=celestial,answer.TCS_GetCelestialCoords=3,answer.TCS_SetEpoch=65535", 200, 211, 3, 1, 1, 65535},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        Mount m = MountWith(c.scenario);
        unsigned short code = 0;
        Sky pos;
        EXPECT_EQ(MountGetControlStatus(m, &code).code, c.control == 3 ? 3 : 1);
        EXPECT_EQ(code, c.control);
        MountGetAlignmentStatus(m, &code);
        EXPECT_EQ(code, c.alignment);
        Answer a = MountGetCelestialCoords(m, &pos);
        EXPECT_EQ(a.code, c.coords);
        EXPECT_EQ(a.wrote, c.coords == 1);
        EXPECT_EQ(MountGoToCelestialCoords(&m, {0.0, 0.1}).code, c.gotoCode);
        EXPECT_EQ(MountSetCelestialAlignPoint(&m, {0, 0}, 1, 221).code, c.alignPoint);
        EXPECT_EQ(MountSetEpoch(&m, 1950).code, c.epoch);
    }
}

TEST(Provider, ForcedRefusalHasNoEffectAndForcedSuccessWritesNothingRefused)
{
    Mount m = MountWith("align=celestial,answer.TCS_Calibrate=213,answer.TCS_GoToCelestialCoords=1");
    EXPECT_EQ(MountCalibrate(&m, {2, 0}).code, 213);
    EXPECT_EQ(Where(m).ra, 0.0);
    MountVoidCelestialAlign(&m);
    EXPECT_EQ(MountGoToCelestialCoords(&m, {2, 0}).code, kTcsDone); // refused with 210, answered 1
    EXPECT_FALSE(m.slew.active);
}

TEST(Provider, VersionTextIsTruncatedToTheBuffer)
{
    Mount m = MountWith("provider=off,version=Mount 2.5b");
    char text[8] = "xxxxxxx";
    Answer a = MountGetVersion(m, text, sizeof text);
    EXPECT_EQ(a.code, kTcsNoProvider);
    EXPECT_STREQ(text, "Mount 2");
    char untouched[4] = "abc";
    EXPECT_FALSE(MountGetVersion(m, untouched, 0).wrote);
    EXPECT_STREQ(untouched, "abc");
}

// --- Scenario text ---

TEST(Scenario, EveryKeyIsRead)
{
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(" provider=inactive , align=both,control=0,alignment=65535,landmode=0,points=2,"
                              "rate=2.5,start=1.25/-0.5,version=Sim 2,stall=99,progressfail=100:210,"
                              "progress=0/40*3/250,latency=20,answer.TCS_GoToPark=9,goto=3,reenter=TCS_GetGoToProgress,",
                              &sc, &error))
        << error;
    EXPECT_EQ(sc.provider, Provider::Inactive);
    EXPECT_EQ(sc.align, Alignment::Both);
    EXPECT_EQ(sc.controlCode, 0);
    EXPECT_EQ(sc.alignmentCode, 65535);
    EXPECT_FALSE(sc.landMode);
    EXPECT_EQ(sc.points, 2u);
    EXPECT_EQ(sc.rate, 2.5);
    EXPECT_EQ(sc.start.ra, 1.25);
    EXPECT_EQ(sc.start.dec, -0.5);
    EXPECT_EQ(sc.version, "Sim 2");
    EXPECT_EQ(sc.stallPercent, 99);
    EXPECT_EQ(sc.failPercent, 100);
    EXPECT_EQ(sc.failCode, 210);
    EXPECT_EQ(sc.scriptedProgress, (std::vector<unsigned short>{0, 40, 40, 40, 250}));
    EXPECT_EQ(sc.reenterEntry, k_TCS_GetGoToProgress);
    EXPECT_EQ(sc.latencyMs, 20u);
    EXPECT_EQ(sc.forced[k_TCS_GoToPark], 9);
    EXPECT_EQ(sc.forced[k_TCS_GoToCelestialCoords], 3);
    EXPECT_EQ(sc.forced[k_TCS_Calibrate], -1);
}

TEST(Scenario, BadItemsAreNamedAndTurnTheProviderOff)
{
    const char *bad[] = {
        "provider=on", "align=yes", "control=-1", "control=65536", "alignment=2x", "landmode=2",
        "rate=0", "rate=-1", "rate=fast", "rate=1e999", "start=1.5", "start=a/0", "start=1/2/3",
        "stall=100", "stall=", "progressfail=50", "progressfail=50:x", "progressfail=101:3",
        "progress=", "progress=10//20", "progress=1/x", "progress=5*0", "progress=5*", "progress=*3",
        "progress=1*60000/2*40001", "reenter=TCS_Nothing", "reenter=", "answer.TCS_Nothing=1", "answer.TCS_Calibrate=one",
        "goto=", "latency=10001", "points=-1", "speed=5", "rate", "align=none,bogus=1",
    };
    for (const char *text : bad) {
        Scenario sc;
        std::string error;
        EXPECT_FALSE(ParseScenario(text, &sc, &error)) << text;
        EXPECT_EQ(sc.provider, Provider::Off) << text;
        EXPECT_NE(error.find('"'), std::string::npos) << text << ": " << error;
    }
    Scenario sc;
    std::string error;
    ParseScenario("align=none,rate=fast", &sc, &error);
    EXPECT_EQ(error, "\"rate=fast\": expected degrees per second above 0");
}

} // namespace
