// The decision tables of the telescope commands, with the simulator answering
// scripted status codes: configure, open, sync, and the texts each wrapper
// gives every result code of the library.
#include "ExpectedText.h"
#include "HostSession.h"

using namespace HostLayout;

namespace {

std::string ControlText(int code)
{
    return code == 3     ? "TCS Provider is not registered\r\n"
           : code == 200 ? "TCS Provider is active\r\n"
           : code == 201 ? "TCS Provider is inactive\r\n"
                         : "DRAV.dll internal error";
}

std::string AlignmentText(int code)
{
    return code == 3     ? "TCS Provider is not registered\r\n"
           : code == 210 ? "TCS Provider is not aligned\r\n"
           : code == 211 ? "TCS Provider is Celestial aligned\r\n"
           : code == 212 ? "TCS Provider is both Celestial and Earth aligned\r\n"
                         : "DRAV.dll internal error";
}

std::string StatusScenario(int control, int alignment)
{
    return "control=" + std::to_string(control) + ",alignment=" + std::to_string(alignment);
}

std::string StatusLines(int control, int alignment)
{
    return "Control->" + ControlText(control) + "Alignment-" + AlignmentText(alignment);
}

class Connection : public PlugInTest {
protected:
    bool ConnectionOpen()
    {
        CanaryRecord r = MenuStatusRecord(8204);
        Op(op_MenuStatus, r.data());
        return r.Get<uint8_t>(kMenuIsEnabled) == 1;
    }
};

TEST_F(Connection, ConfigureExplainsEveryStatus)
{
    const struct { int control, alignment; const char *note; } cases[] = {
        {3, 212, kUnavailableNote}, {3, 3, kUnavailableNote},
        {201, 212, kInactiveNote}, {201, 210, kInactiveNote},
        {200, 210, kNotAlignedNote}, {200, 212, kFineNote},
        {200, 211, kMayNotBeAlignedNote}, {200, 0, kMayNotBeAlignedNote},
        {200, 3, kMayNotBeAlignedNote}, {200, 65535, kMayNotBeAlignedNote},
        {0, 212, kResetNote}, {2, 210, kResetNote}, {7, 211, kResetNote},
        {202, 212, kResetNote}, {210, 200, kResetNote}, {65535, 65535, kResetNote},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(StatusScenario(c.control, c.alignment));
        StartSession(StatusScenario(c.control, c.alignment));
        Configure();
        EXPECT_FALSE(ConnectionOpen());
        ASSERT_FALSE(CapturedNotes().empty());
        EXPECT_EQ(CapturedNotes().back().text, c.note);
        EXPECT_EQ(Journal(), (std::vector<std::string>{
                                 "TCS_GetVersion(size=80) -> 1 text=\"Vantorel Mount Simulator 1.0\"",
                                 "TCS_GetControlStatus() -> 1 code=" + std::to_string(c.control),
                                 "TCS_GetAlignmentStatus() -> 1 code=" + std::to_string(c.alignment)}));
        EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + StatusLines(c.control, c.alignment) + "Status->" +
                                        ControlText(c.control) + "-" + AlignmentText(c.alignment) + "-" +
                                        OnDisk(c.note));
    }
}

TEST_F(Connection, OpenBuildsTheAlignmentOrExplainsAndIsOpenEitherWay)
{
    const struct { int control, alignment; const char *note; } cases[] = {
        {200, 210, nullptr}, {200, 212, kFineNote}, {200, 211, kMayNotBeAlignedNote},
        {3, 3, kUnavailableNote}, {201, 210, kInactiveNote}, {202, 210, kResetNote},
        {200, 65535, kMayNotBeAlignedNote},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(StatusScenario(c.control, c.alignment));
        StartSession(StatusScenario(c.control, c.alignment));
        ClearCapturedNotes();
        Open();
        EXPECT_TRUE(ConnectionOpen());
        const bool builds = c.note == nullptr;
        EXPECT_EQ(JournalOf("TCS_SetCelestialAlignFromAlignPoints").size(), builds ? 1u : 0u);
        EXPECT_EQ(JournalOf("TCS_GetControlStatus").size(), builds ? 1u : 2u);
        EXPECT_EQ(JournalOf("TCS_GetAlignmentStatus").size(), builds ? 1u : 2u);
        EXPECT_EQ(NoteTexts(), builds ? std::vector<std::string>() : std::vector<std::string>{c.note});
        const std::string lines = StatusLines(c.control, c.alignment);
        EXPECT_EQ(LogAfterUnload(),
                  kSimulatorInitLog + lines +
                      (builds ? std::string("SetCelestialAlign->No success. code 2\r\n")
                              : lines + "Status->" + ControlText(c.control) + "-" + AlignmentText(c.alignment) +
                                    "-" + OnDisk(c.note)));
    }
}

TEST_F(Connection, SyncCalibratesACelestialAlignedMountElseAddsAPoint)
{
    const struct { int control, alignment; bool calibrates; } cases[] = {
        {200, 212, true}, {200, 211, true}, {200, 210, false}, {201, 212, false}, {201, 211, false},
        {3, 212, false}, {3, 3, false}, {200, 0, false}, {200, 213, false}, {0, 212, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(StatusScenario(c.control, c.alignment));
        StartSession(StatusScenario(c.control, c.alignment) + ",align=both");
        Open();
        Sync(1.5, 0.3);
        EXPECT_EQ(JournalOf("TCS_Calibrate"),
                  c.calibrates ? std::vector<std::string>{"TCS_Calibrate(X=1.5,Y=0.29999999999999999) -> 1"}
                               : std::vector<std::string>());
        EXPECT_EQ(JournalOf("TCS_SetCelestialAlignPoint"),
                  c.calibrates ? std::vector<std::string>()
                               : std::vector<std::string>{
                                     "TCS_SetCelestialAlignPoint(X=1.5,Y=0.29999999999999999,a=1,b=221) -> 1"});
        const std::string log = LogAfterUnload();
        const std::string tail = StatusLines(c.control, c.alignment) +
                                 (c.calibrates ? "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n"
                                               : "Add Celestial Point (1.500000,0.300000)->sucessfull\r\n");
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    }
}

// What each alignment command logs for every result the library may give.
TEST_F(Connection, AlignmentCommandTextsForEveryResult)
{
    enum Action { kSync, kClose, kOpen };
    const struct { const char *scenario; Action action; const char *tail; } cases[] = {
        {"answer.TCS_SetCelestialAlignPoint=1", kSync, "Add Celestial Point (1.500000,0.300000)->sucessfull\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=2", kSync, "Add Celestial Point (1.500000,0.300000)->No success. code 2\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=3", kSync,
         "Add Celestial Point (1.500000,0.300000)->TCS Provider is not registered\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=213", kSync, "Add Celestial Point (1.500000,0.300000)->Not in land mode\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=210", kSync,
         "Add Celestial Point (1.500000,0.300000)->No success. code 210\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=0", kSync, "Add Celestial Point (1.500000,0.300000)->No success. code 0\r\n"},
        {"answer.TCS_SetCelestialAlignPoint=65535", kSync,
         "Add Celestial Point (1.500000,0.300000)->No success. code 65535\r\n"},
        {"align=both,answer.TCS_Calibrate=1", kSync, "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n"},
        {"align=both,answer.TCS_Calibrate=2", kSync, "Calibrate to (1.500000,0.300000)->Calibration unsucessfull\r\n"},
        {"align=both,answer.TCS_Calibrate=3", kSync,
         "Calibrate to (1.500000,0.300000)->TCS Provider is not registered\r\n"},
        {"align=both,answer.TCS_Calibrate=210", kSync,
         "Calibrate to (1.500000,0.300000)->TCS Provider is not Celestial aligned\r\n"},
        {"align=both,answer.TCS_Calibrate=213", kSync, "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n"},
        {"align=both,answer.TCS_Calibrate=7", kSync, "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n"},
        {"align=both,answer.TCS_Calibrate=65535", kSync,
         "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n"},
        {"answer.TCS_VoidCelestialAlign=1", kClose, "VoidCelestialAlign-> sucessfull\r\n"},
        {"answer.TCS_VoidCelestialAlign=2", kClose, "VoidCelestialAlign->No success. code 2\r\n"},
        {"answer.TCS_VoidCelestialAlign=3", kClose, "VoidCelestialAlign->TCS Provider is not registered\r\n"},
        {"answer.TCS_VoidCelestialAlign=213", kClose, "VoidCelestialAlign->Not in land mode\r\n"},
        {"answer.TCS_VoidCelestialAlign=65535", kClose, "VoidCelestialAlign->No success. code 65535\r\n"},
        {"answer.TCS_SetCelestialAlignFromAlignPoints=1", kOpen, "SetCelestialAlign-> sucessfull\r\n"},
        {"answer.TCS_SetCelestialAlignFromAlignPoints=0", kOpen, "SetCelestialAlign->No success. code 0\r\n"},
        {"answer.TCS_SetCelestialAlignFromAlignPoints=3", kOpen, "SetCelestialAlign->TCS Provider is not registered\r\n"},
        {"answer.TCS_SetCelestialAlignFromAlignPoints=213", kOpen, "SetCelestialAlign->Not in land mode\r\n"},
        {"answer.TCS_SetCelestialAlignFromAlignPoints=65535", kOpen,
         "SetCelestialAlign->No success. code 65535\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        StartSession(c.scenario);
        Open();
        if (c.action == kSync)
            Sync(1.5, 0.3);
        else if (c.action == kClose)
            Close();
        const std::string log = LogAfterUnload();
        const std::string tail = c.tail;
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    }
}

TEST_F(Connection, TimeAndLocationReachNeitherLibraryNorLog)
{
    StartSession("align=both");
    Open();
    const size_t calls = Journal().size();
    CanaryRecord time(TimeLayout()), location(LocationLayout());
    EXPECT_EQ(Op(op_TelescopeTime, time.data()), 0);
    EXPECT_EQ(Op(op_TelescopeLocation, location.data()), 0);
    EXPECT_TRUE(AsExpected(time));
    EXPECT_TRUE(AsExpected(location));
    EXPECT_EQ(Journal().size(), calls);
    EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog());
}

} // namespace
