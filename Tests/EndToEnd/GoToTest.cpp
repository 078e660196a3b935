// The go-to and its wait: launch texts for every answer, the exact poll
// sequence, the pause between polls (never before the first), the end of a
// stalled wait, failing polls; and the slewing flag back at 0 afterwards.
// Where the host has a window, the same with the wait's box up, which goes
// however the wait ends and leaves the host's window as it found it.
#include "ExpectedText.h"
#include "HostSession.h"

#include <algorithm>

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

// The initialisation's log with the simulator or its variant lacking TCS_KillMotion.
std::string InitLog(const char *file)
{
    const bool noStop = file != nullptr && strstr(file, "no_TCS_KillMotion") != nullptr;
    return std::string(noStop ? "Could not get addresses for export function TCS_KillMotion\r\n" : "") +
           kSimulatorInitLog;
}

std::string Stalled(int at, int highest)
{
    return "GoTo stalled at " + std::to_string(at) + "% for 60 s (highest " + std::to_string(highest) +
           "%): wait abandoned\r\n";
}

TEST_F(GoTo, LaunchAnswersPollsAndPauses)
{
    const std::string launched = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n";
    // A mount that gains 1 % every 59 s never stalls: the overall limit ends
    // the wait after 300 s (poll 6000, at 5 %) and stops the motion.
    std::string creep = "progress=";
    std::string creepLog;
    for (int p = 0; p < 6; ++p) {
        creep += std::to_string(p) + "*1180/";
        creepLog += Repeated("GoTo " + std::to_string(p) + "%\r\n", p < 5 ? 1180 : 6000 - 5 * 1180 + 1);
    }
    creep += "6";
    const struct { const char *scenario; std::string log; unsigned polls, stops; const char *file = nullptr; } cases[] = {
        {"progress=0/40/100", launched + "GoTo 0%\r\nGoTo 40%\r\nGoTo 100%\r\n", 3, 0},
        {"progress=250", launched + "GoTo 250%\r\n", 1, 0},
        {"progress=99/100", launched + "GoTo 99%\r\nGoTo 100%\r\n", 2, 0},
        {"goto=2", "Goto (1.500000,0.300000)->GoTo not launched\r\n\r\n", 0, 0},
        {"goto=3", "Goto (1.500000,0.300000)->TCS Provider is not registered\r\n\r\n", 0, 0},
        {"goto=210", "Goto (1.500000,0.300000)->TCS Provider is not Celestial aligned\r\n\r\n", 0, 0},
        // Codes it does not know read as launched, yet only 1 is followed.
        {"goto=7", launched, 0, 0},
        {"goto=0", launched, 0, 0},
        {"goto=65535", launched, 0, 0},
        // A poll the library refuses ends the wait.
        {"progress=0/50/100,progressfail=50:3", launched + "GoTo 0%\r\nTCS Provider is not registered\r\n", 2, 0},
        {"progress=0/50/100,progressfail=50:210", launched + "GoTo 0%\r\nTCS Provider is not Celestial aligned\r\n", 2, 0},
        // Stalled: 60 s without a change of progress, at 50 ms a poll; also
        // when every poll is answered with a code that writes no percentage.
        {"answer.TCS_GetGoToProgress=7", launched + Repeated("GoTo 0%\r\n", 1201) + Stalled(0, 0), 1201, 0},
        {"progress=0", launched + Repeated("GoTo 0%\r\n", 1201) + Stalled(0, 0), 1201, 0},
        {"progress=0/10/40", launched + "GoTo 0%\r\nGoTo 10%\r\n" + Repeated("GoTo 40%\r\n", 1201) + Stalled(40, 40),
         1203, 0},
        // Falling back is no progress: the 60 s run from the highest answer.
        {"progress=0/40/10", launched + "GoTo 0%\r\nGoTo 40%\r\n" + Repeated("GoTo 10%\r\n", 1200) + Stalled(10, 40),
         1202, 0},
        {creep.c_str(), launched + creepLog + "GoTo not arrived after 300 s at 5%: wait abandoned, motion stopped\r\n",
         6001, 1},
        {creep.c_str(), launched + creepLog + "GoTo not arrived after 300 s at 5%: wait abandoned, motion stop refused (code 3)\r\n",
         6001, 0, "variants/DRAV_no_TCS_KillMotion.dll"},
    };
    for (const bool withBox : {false, true})
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.scenario).substr(0, 60) + (c.file ? c.file : "") + (withBox ? " with the box" : ""));
        // The box is looked at from inside the first poll.
        StartSession(std::string("align=both,") + c.scenario + (withBox ? ",reenter=TCS_GetGoToProgress" : ""),
                     c.file ? c.file : "DRAV.dll");
        Open();
        if (withBox && !OpenHostWindow())
            break; // no window here: nothing to show the box on
        WaitBoxView during;
        OnLibraryCall([this, &during](const char *) {
            if (!during.up)
                during = WaitBox();
        });
        ResetSleepCount();
        const uint64_t before = VirtualClockNow();
        Slew(1.5, 0.3);
        OnLibraryCall(nullptr);
        if (withBox) {
            EXPECT_EQ(during.up, c.polls > 0);
            if (c.polls > 0) {
                EXPECT_EQ(during.caption, "Telescope Controller");
                EXPECT_EQ(during.what, "Slewing to 05:43:46.5 +17:11:19");
                EXPECT_FALSE(during.ownerEnabled);
            }
            const WaitBoxView after = WaitBox();
            EXPECT_FALSE(after.up);
            EXPECT_TRUE(after.ownerEnabled && after.focusOnHost);
            CloseHostWindow();
        }
        const unsigned pauses = c.polls > 0 ? c.polls - 1 : 0;
        EXPECT_EQ(SleepCalls(), pauses);
        EXPECT_EQ(SleptMilliseconds(), 50u * pauses);
        EXPECT_EQ(VirtualClockNow() - before, 50u * pauses);
        EXPECT_EQ(JournalOf("TCS_GoToCelestialCoords"),
                  std::vector<std::string>{"TCS_GoToCelestialCoords(X=1.5,Y=0.29999999999999999) -> " +
                                           std::string(strncmp(c.scenario, "goto=", 5) == 0 ? c.scenario + 5 : "1")});
        EXPECT_EQ(JournalOf("TCS_GetGoToProgress").size(), c.polls);
        EXPECT_EQ(JournalOf("TCS_KillMotion").size(), c.stops);
        EXPECT_TRUE(Idle().untouched) << "the slewing flag is back at 0";
        const std::string log = LogAfterUnload(), want = InitLog(c.file) + AlignedOpenLog() + c.log;
        EXPECT_TRUE(log == want) << "log of " << log.size() << " bytes differs from the " << want.size()
                                 << " expected, from byte "
                                 << std::mismatch(log.begin(), log.end(), want.begin(), want.end()).first - log.begin()
                                 << ": ..." << log.substr(log.size() > 200 ? log.size() - 200 : 0);
    }
}

// Esc while a window of the host is in front stops the go-to between two
// polls: the library is told to stop (when it can be), the wait ends and one
// line says so. A key pressed and released before the go-to, one pressed
// while another program is in front, or none at all, change nothing; on
// Windows neither does one held down since before the go-to until it is let
// go and pressed again. The wait's box stops it the same way: Stop clicked,
// Space on it, Esc in the box, the box closed (each arriving after the second
// poll, so seen after the third); never Enter, nor a key held from before.
TEST_F(GoTo, EscapeStopsTheWait)
{
    const std::string launched = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n";
    const std::string arrived = launched + "GoTo 0%\r\nGoTo 10%\r\nGoTo 20%\r\nGoTo 30%\r\nGoTo 100%\r\n";
    const std::string inTheBox = launched + "GoTo 0%\r\nGoTo 10%\r\nGoTo 20%\r\nGoTo stopped by the user at 20%\r\n";
    const uint16_t kDown = 0x8000, kPressed = 0x0001;
    enum { kNoInput = -1 };
    // The first asking is the wait's start, which forgets earlier presses.
    const struct {
        const char *what;
        std::vector<uint16_t> keys;
        bool hostInFront;
        const char *file;
        std::string log;
        unsigned polls, stops, askings;
        int boxInput = kNoInput;
        bool windowsKeys = false; // the keyboard as Windows reports it (a POSIX host says only "stop")
    } cases[] = {
        {"never pressed", {}, true, "DRAV.dll", arrived, 5, 0, 5},
        {"pressed at the second check", {0, 0, kPressed}, true, "DRAV.dll",
         launched + "GoTo 0%\r\nGoTo 10%\r\nGoTo stopped by the user at 10%\r\n", 2, 1, 3},
        {"pressed, library without a stop", {0, 0, kPressed}, true, "variants/DRAV_no_TCS_KillMotion.dll",
         launched + "GoTo 0%\r\nGoTo 10%\r\nGoTo stopped by the user at 10%\r\n", 2, 0, 3},
        {"held down from before the go-to", {kDown, kDown, kDown | kPressed}, true, "DRAV.dll", arrived, 5, 0, 5,
         kNoInput, true},
        {"held from before, let go and pressed again", {kDown, kDown, 0, kDown}, true, "DRAV.dll", inTheBox, 3, 1, 4,
         kNoInput, true},
        {"pressed and released before the go-to", {kPressed}, true, "DRAV.dll", arrived, 5, 0, 5},
        {"another program in front", {0, kDown, kDown | kPressed, kDown}, false, "DRAV.dll", arrived, 5, 0, 5},
        {"Stop clicked in the box", {}, true, "DRAV.dll", inTheBox, 3, 1, 4, kClickStop},
        {"Esc in the box", {}, true, "DRAV.dll", inTheBox, 3, 1, 4, kEscapeInBox},
        {"the box closed", {}, true, "DRAV.dll", inTheBox, 3, 1, 4, kCloseBox},
        {"Space on Stop", {}, true, "DRAV.dll", inTheBox, 3, 1, 4, kSpaceOnStop},
        {"Enter pressed in the box", {}, true, "DRAV.dll", arrived, 5, 0, 5, kEnterInBox},
        {"Enter held from before", {}, true, "DRAV.dll", arrived, 5, 0, 5, kEnterHeld},
        {"Esc held from before", {}, true, "DRAV.dll", arrived, 5, 0, 5, kEscapeHeld},
        {"Space held from before", {}, true, "DRAV.dll", arrived, 5, 0, 5, kSpaceHeld},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.windowsKeys && !kWindowsPlugIn)
            continue;
        const bool box = c.boxInput != kNoInput;
        StartSession(std::string("align=both,progress=0/10/20/30/100") + (box ? ",reenter=TCS_GetGoToProgress" : ""),
                     c.file);
        Open();
        if (box && !OpenHostWindow())
            continue; // no window here: nothing to show the box on
        unsigned polls = 0;
        OnLibraryCall([&](const char *) {
            if (++polls == 2) {
                EXPECT_TRUE(PostToWaitBox((WaitBoxInput)c.boxInput)) << "no box up";
            }
        });
        ScriptEscapeKey(c.keys, c.hostInFront);
        Slew(1.5, 0.3);
        OnLibraryCall(nullptr);
        CloseHostWindow();
        EXPECT_EQ(JournalOf("TCS_GetGoToProgress").size(), c.polls);
        EXPECT_EQ(JournalOf("TCS_KillMotion").size(), c.stops);
        EXPECT_EQ(EscapeKeyAskings(), c.askings);
        EXPECT_TRUE(Idle().untouched) << "the slewing flag is back at 0";
        EXPECT_EQ(LogAfterUnload(), InitLog(c.file) + AlignedOpenLog() + c.log);
    }
}

// Both ways to a go-to, the host's slew and the contextual menu's, pass the
// coordinates through untouched: every bit reaches the library.
TEST_F(GoTo, CoordinatesReachTheLibraryBitForBit)
{
    // The longest entry the log can hold: two numbers of 300 digits and more.
    const double kMax = 1.7976931348623157e308;
    char longest[800];
    snprintf(longest, sizeof longest, "(%f,%f)", -kMax, kMax);
    const struct { double ra, dec; const char *journal; std::string log; } cases[] = {
        {1.2345678901234567, -0.98765432109876539, "X=1.2345678901234567,Y=-0.98765432109876539",
         "(1.234568,-0.987654)"},
        {0.1, -0.0, "X=0.10000000000000001,Y=-0", "(0.100000,-0.000000)"},
        {6.2831853071795862, 1.5707963267948966, "X=6.2831853071795862,Y=1.5707963267948966",
         "(6.283185,1.570796)"},
        {4.9406564584124654e-324, -2.2250738585072014e-308, "X=4.9406564584124654e-324,Y=-2.2250738585072014e-308",
         "(0.000000,-0.000000)"},
        {-kMax, kMax, "X=-1.7976931348623157e+308,Y=1.7976931348623157e+308", longest},
    };
    for (const auto &c : cases) {
        for (bool fromMenu : {false, true}) {
            SCOPED_TRACE(std::string(c.journal) + (fromMenu ? " from the menu" : " from the host's slew"));
            StartSession("align=both,progress=100");
            Open();
            if (fromMenu) {
                CanaryRecord context = DoContextRecord(20000, c.ra, c.dec);
                EXPECT_EQ(Op(op_DoContextualPopup, context.data()), 0);
                EXPECT_TRUE(AsExpected(context));
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

// The host's own state outlasts the box: a quit request taken by the box's
// loop (the wait ends there, the mount goes on) is made again once it is
// over; every enabled top-level window of the thread is disabled while the
// box is up (up to the wait's bound of 32; the rest stay usable) and exactly
// those are enabled again, one destroyed meanwhile skipped. A host that
// terminates and releases the plug-in from inside the wait (its close
// handler) returns into loaded code, and the plug-in is unloaded, its log
// complete, once the call is over; otherwise it stays loaded as it was.
TEST_F(GoTo, TheBoxLeavesTheHostAsItFoundIt)
{
    const std::string launched = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\n";
    const std::string arrived = launched + "GoTo 0%\r\nGoTo 50%\r\nGoTo 100%\r\n";
    enum { kOneWindow = -1 };
    const struct {
        const char *what;
        bool disabled;
        int quit; // posted between the first two polls; -1 none
        std::string log;
        unsigned polls;
        int moreWindows = kOneWindow; // OpenMoreHostWindows(this), "gone" destroyed meanwhile
        size_t enabledDuring = 0;     // windows of the test left enabled under the box
        bool unloads = false;
    } cases[] = {
        {"the host quits during the wait", false, 7, launched + "GoTo 0%\r\n", 1},
        {"its window disabled already", true, -1, arrived, 3},
        {"several windows, one destroyed meanwhile", false, -1, arrived, 3, 0, 0},
        // 45 windows enabled, 32 of them disabled.
        {"more windows than the wait keeps", false, -1, arrived, 3, 40, 13},
        {"the host terminates and releases the plug-in", false, -1, launched + "GoTo 0%\r\n", 1, 0, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        StartSession("align=both,progress=0/50/100");
        Open();
        if (!OpenHostWindow(c.disabled))
            GTEST_SKIP() << "no window can be made here";
        if (c.moreWindows != kOneWindow)
            OpenMoreHostWindows((unsigned)c.moreWindows);
        const std::string before = HostWindowStates();
        WaitBoxView during;
        std::string statesDuring;
        BetweenPolls([&] {
            during = WaitBox();
            statesDuring = HostWindowStates();
            if (c.quit >= 0)
                PostHostQuit(c.quit);
            if (c.moreWindows != kOneWindow)
                DestroyHostWindow("gone");
            if (c.unloads) { // as a host's close handler does
                Terminate();
                Unload();
            }
        });
        Slew(1.5, 0.3);
        EXPECT_TRUE(during.up);
        EXPECT_EQ((size_t)std::count(statesDuring.begin(), statesDuring.end(), '+'), c.enabledDuring) << statesDuring;
        std::string expectedAfter = before;
        if (c.moreWindows != kOneWindow)
            expectedAfter.erase(expectedAfter.find(" gone+"), 6);
        EXPECT_EQ(HostWindowStates(), expectedAfter);
        const WaitBoxView after = WaitBox();
        EXPECT_FALSE(after.up);
        EXPECT_EQ(after.ownerEnabled, !c.disabled);
        EXPECT_EQ(TakeHostQuit(), c.quit);
        EXPECT_EQ(PlugInMapped(), !c.unloads);
        EXPECT_EQ(JournalOf("TCS_GetGoToProgress").size(), c.polls);
        EXPECT_EQ(JournalOf("TCS_KillMotion").size(), 0u);
        CloseHostWindow();
        EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog() + c.log);
        EXPECT_FALSE(PlugInMapped()) << "the plug-in outlived the host's release";
    }
}

} // namespace
