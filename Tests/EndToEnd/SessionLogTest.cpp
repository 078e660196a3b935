// Whole host sessions against the simulator, from op_Initialize to unload:
// the complete telelog.txt byte for byte, what reached the library, the notes.
#include "ExpectedText.h"
#include "HostSession.h"

#include <math.h>

using namespace HostLayout;

namespace {

class Session : public PlugInTest {
protected:
    void ExpectIdleCentres(double ra, double dec)
    {
        IdleAnswer answer = Idle();
        ASSERT_EQ(answer.operation, (unsigned)out_CentrePoint);
        ASSERT_NE(answer.params, nullptr);
        if (centre_ != nullptr) {
            EXPECT_EQ(answer.params, centre_) << "the one centring request is reused";
        }
        centre_ = answer.params;
        Centre c = CentreAt(answer.params);
        EXPECT_EQ(c.ra, ra);
        EXPECT_EQ(c.dec, dec);
        EXPECT_EQ(c.useCustomPan, 1u);
        EXPECT_EQ(c.pan, 0u);
        EXPECT_EQ(c.adjustFOV, 0u);
        EXPECT_EQ(c.newFOV, 0.0);
    }
    const void *centre_ = nullptr;
};

// The hosts every session must serve alike: as most run; with a decimal
// comma in the C locale they set; with every floating-point exception
// unmasked and rounding down; as a Delphi program, with flags of its own.
enum class Host { Default, DecimalComma, Trapping, Delphi };
const struct { Host host; const char *name; } kHosts[] = {
    {Host::Default, "default host"},
    {Host::DecimalComma, "host with a decimal-comma locale"},
    {Host::Trapping, "host that unmasks every floating-point exception"},
    {Host::Delphi, "Delphi host with floating-point flags raised"},
};

TEST_F(Session, AlignedMountFromOpenToTerminate)
{
    for (const auto &host : kHosts) {
        SCOPED_TRACE(host.name);
        DefaultHost();
        std::string why;
        if (host.host == Host::DecimalComma) {
            ASSERT_TRUE(UseDecimalCommaLocale(&why)) << why;
        }
        if (host.host == Host::Trapping)
            HostFloat(kTrappingHost);
        if (host.host == Host::Delphi)
            HostFloat(kDelphiHost);
        StartSession("align=both,progress=0/40/100");
        centre_ = nullptr;
        ResetSleepCount();
        Open();
        Track();
        ExpectIdleCentres(0.0, 0.0);
        Slew(1.5, 0.3);
        EXPECT_TRUE(Idle().untouched) << "0.1 s after the last request";
        AdvanceVirtualClock(1001);
        ExpectIdleCentres(1.5, 0.3);
        Sync(1.0, -0.5);
        Close();
        EXPECT_TRUE(Idle().untouched) << "connection closed";
        Terminate();
        EXPECT_FALSE(LibraryStillLoaded());
        EXPECT_EQ(LogAfterUnload(), std::string(kSimulatorInitLog) + AlignedOpenLog() +
                                        "TCS RA = 00:00:00.0 Dec = +00:00:00\r\n"
                                        "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n"
                                        "GoTo 0%\r\nGoTo 40%\r\nGoTo 100%\r\n"
                                        "TCS RA = 05:43:46.5 Dec = +17:11:19\r\n" +
                                        kActiveBothLines +
                                        "Calibrate to (1.000000,-0.500000)->Calibration sucessfull\r\n"
                                        "VoidCelestialAlign-> sucessfull\r\n");
        if (host.host != Host::DecimalComma) { // the simulator's journal follows the locale
            EXPECT_EQ(Journal(), (std::vector<std::string>{
                                     "TCS_GetVersion(size=80) -> 1 text=\"Vantorel Mount Simulator 1.0\"",
                                     "TCS_GetControlStatus() -> 1 code=200",
                                     "TCS_GetAlignmentStatus() -> 1 code=212",
                                     "TCS_GetControlStatus() -> 1 code=200",
                                     "TCS_GetAlignmentStatus() -> 1 code=212",
                                     "TCS_GetCelestialCoords() -> 1 X=0 Y=0",
                                     "TCS_GoToCelestialCoords(X=1.5,Y=0.29999999999999999) -> 1",
                                     "TCS_GetGoToProgress() -> 1 percent=0",
                                     "TCS_GetGoToProgress() -> 1 percent=40",
                                     "TCS_GetGoToProgress() -> 1 percent=100",
                                     "TCS_GetCelestialCoords() -> 1 X=1.5 Y=0.29999999999999999",
                                     "TCS_GetControlStatus() -> 1 code=200",
                                     "TCS_GetAlignmentStatus() -> 1 code=212",
                                     "TCS_Calibrate(X=1,Y=-0.5) -> 1",
                                     "TCS_VoidCelestialAlign() -> 1",
                                 }));
        }
        EXPECT_EQ(NoteTexts(), std::vector<std::string>{kFineNote});
        EXPECT_EQ(SleepCalls(), 2u);
    }
}

// Angles no sky has, sent by the host and then read back from the library
// (a sync on them shifts its pointing there), with go-tos that arrive, stall
// and fail: under a host that traps every exception, nothing traps and the
// log is the one a default host gets.
TEST_F(Session, UnusableAnglesUnderATrappingHost)
{
    const struct { const char *angle; double value; const char *progress; } cases[] = {
        {"NaN", NAN, "progress=100"},
        {"infinite", INFINITY, "progress=0/40/10"},
        {"minus infinite", -INFINITY, "progress=0/50/100,progressfail=50:3"},
        {"huge", 1e300, "progress=100"},
        {"past 2^31 seconds of arc", 1e6, "progress=100"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.angle);
        std::string logs[2];
        for (bool trapping : {false, true}) {
            DefaultHost();
            if (trapping)
                HostFloat(kTrappingHost);
            StartSession(std::string("align=both,") + c.progress);
            Open();
            Track();
            Slew(c.value, -c.value);
            Sync(c.value, c.value);
            AdvanceVirtualClock(1001);
            EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
            CanaryRecord indicator(IndicatorLayout());
            EXPECT_EQ(Op(op_DrawIndicator, indicator.data()), 0);
            Close();
            Terminate();
            logs[trapping] = LogAfterUnload();
        }
        EXPECT_EQ(logs[1], logs[0]);
        EXPECT_NE(logs[0].find("Dec = --:--:--\r\n"), std::string::npos) << "a reading out of range";
    }
}

TEST_F(Session, UnalignedMountWhoseOpenBuildsTheAlignment)
{
    StartSession("progress=100");
    Open();           // no alignment point yet: the library cannot build it
    Sync(2.0, 0.1);   // unaligned: the position becomes an alignment point
    Open();           // now it can
    Configure();      // Celestial aligned only: the note without a line end
    Slew(2.5, -0.2);
    Sync(2.5, -0.2);  // aligned: a calibration
    Close();
    Terminate();
    const std::string activeUnaligned =
        "Control->TCS Provider is active\r\nAlignment-TCS Provider is not aligned\r\n";
    const std::string activeCelestial =
        "Control->TCS Provider is active\r\nAlignment-TCS Provider is Celestial aligned\r\n";
    EXPECT_EQ(LogAfterUnload(), std::string(kSimulatorInitLog) + activeUnaligned +
                                    "SetCelestialAlign->No success. code 2\r\n" + activeUnaligned +
                                    "Add Celestial Point (2.000000,0.100000)->sucessfull\r\n" + activeUnaligned +
                                    "SetCelestialAlign-> sucessfull\r\n" + activeCelestial +
                                    "Status->TCS Provider is active\r\n-TCS Provider is Celestial aligned\r\n"
                                    "-Quorvel running but it may not be aligned, try 'one-star-alignment'"
                                    "Goto (2.500000,-0.200000)->GoTo launched\r\n\r\nGoTo 100%\r\n" +
                                    activeCelestial +
                                    "Calibrate to (2.500000,-0.200000)->Calibration sucessfull\r\n"
                                    "VoidCelestialAlign-> sucessfull\r\n");
    EXPECT_EQ(JournalOf("TCS_SetCelestialAlignPoint"),
              std::vector<std::string>{"TCS_SetCelestialAlignPoint(X=2,Y=0.10000000000000001,a=1,b=221) -> 1"});
    EXPECT_EQ(JournalOf("TCS_SetCelestialAlignFromAlignPoints"),
              (std::vector<std::string>{"TCS_SetCelestialAlignFromAlignPoints() -> 2",
                                        "TCS_SetCelestialAlignFromAlignPoints() -> 1"}));
    EXPECT_EQ(JournalOf("TCS_Calibrate"), std::vector<std::string>{"TCS_Calibrate(X=2.5,Y=-0.20000000000000001) -> 1"});
    EXPECT_EQ(NoteTexts(), std::vector<std::string>{kMayNotBeAlignedNote});
}

TEST_F(Session, ProviderNotRunning)
{
    StartSession("provider=off");
    Open();
    Track();
    ExpectIdleCentres(0.0, 0.0); // the request goes out, with the position of none read yet
    CanaryRecord indicator(IndicatorLayout());
    EXPECT_EQ(Op(op_DrawIndicator, indicator.data()), 0);
    ExpectIndicatorAnswer(&indicator); // a failed reading leaves the host's position
    EXPECT_TRUE(AsExpected(indicator));
    Slew(1.5, 0.3);
    Sync(1.5, 0.3);
    Close();
    Terminate();
    const std::string notRegistered =
        "Control->TCS Provider is not registered\r\nAlignment-TCS Provider is not registered\r\n";
    const std::string noReading = "TCS Provider is not registered\r\nTCS RA =  Dec = \r\n";
    EXPECT_EQ(LogAfterUnload(), std::string(kSimulatorInitLog) + notRegistered + notRegistered +
                                    "Status->TCS Provider is not registered\r\n-TCS Provider is not registered\r\n"
                                    "-Telescope Interface Unavailable\r\n Check if Vantorel is running\r\n" +
                                    noReading + noReading +
                                    "Goto (1.500000,0.300000)->TCS Provider is not registered\r\n\r\n" +
                                    notRegistered +
                                    "Add Celestial Point (1.500000,0.300000)->TCS Provider is not registered\r\n"
                                    "VoidCelestialAlign->TCS Provider is not registered\r\n");
    EXPECT_TRUE(JournalOf("TCS_GetGoToProgress").empty());
    EXPECT_EQ(NoteTexts(), std::vector<std::string>{kUnavailableNote});
}

TEST_F(Session, ProviderInactive)
{
    StartSession("provider=inactive");
    Open();
    Slew(1.5, 0.3);
    Sync(1.5, 0.3);
    Track();
    ExpectIdleCentres(0.0, 0.0); // answered 2: a reading, of a library that wrote nothing
    Close();
    Terminate();
    const std::string inactive = "Control->TCS Provider is inactive\r\nAlignment-TCS Provider is not aligned\r\n";
    EXPECT_EQ(LogAfterUnload(), std::string(kSimulatorInitLog) + inactive + inactive +
                                    "Status->TCS Provider is inactive\r\n-TCS Provider is not aligned\r\n-" +
                                    OnDisk(kInactiveNote) +
                                    "Goto (1.500000,0.300000)->GoTo not launched\r\n\r\n" + inactive +
                                    "Add Celestial Point (1.500000,0.300000)->Not in land mode\r\n"
                                    "TCS RA = 00:00:00.0 Dec = +00:00:00\r\n"
                                    "VoidCelestialAlign->Not in land mode\r\n");
    EXPECT_EQ(NoteTexts(), std::vector<std::string>{kInactiveNote});
}

TEST_F(Session, UnknownStatusCodesRunOntoTheNextEntry)
{
    StartSession("control=202,alignment=0");
    Open();
    Close();
    Terminate();
    const std::string unknown = "Control->DRAV.dll internal errorAlignment-DRAV.dll internal error";
    EXPECT_EQ(LogAfterUnload(), std::string(kSimulatorInitLog) + unknown + unknown +
                                    "Status->DRAV.dll internal error-DRAV.dll internal error-" + OnDisk(kResetNote) +
                                    "VoidCelestialAlign-> sucessfull\r\n");
    EXPECT_EQ(NoteTexts(), std::vector<std::string>{kResetNote});
}

} // namespace
