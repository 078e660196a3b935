// The plug-in's life as hosts may drive it: initialised twice, called after
// op_Terminate, closed twice, unloaded and loaded again in one process.
#include "ExpectedText.h"
#include "HostSession.h"

using namespace HostLayout;

namespace {

using LifeCycle = PlugInTest;

TEST_F(LifeCycle, RepeatedInitialisationReleasesTheFirstBinding)
{
    StartSession("align=both");
    Open();
    Initialize();
    EXPECT_EQ(JournalOf("TCS_GetVersion").size(), 2u);
    Terminate();
    EXPECT_FALSE(LibraryStillLoaded()) << "the first binding still holds the library";
    EXPECT_EQ(NoteTexts(), std::vector<std::string>{kFineNote}) << "no note about the log";
    EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog) << "the second initialisation's log alone";
}

TEST_F(LifeCycle, AfterTerminateEveryCallIsAnsweredAsIfNoProviderWereRegistered)
{
    StartSession("align=both,progress=100");
    Open();
    Track();
    Terminate();
    EXPECT_FALSE(LibraryStillLoaded());
    const size_t calls = Journal().size();
    ClearCapturedNotes();
    EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
    Slew(1.5, 0.3);
    Sync(1.5, 0.3);
    Configure();
    Close();
    // And every other code, with upper bits, still answers 0 without a call.
    void *menu = CreateHostMenu();
    for (unsigned code = 1; code < 256; ++code) {
        CanaryRecord r = RecordFor(code, code);
        if (code == op_BuildContextualPopup)
            r.Put(kBuildMenuHandle, menu);
        EXPECT_EQ(Op(code | 0xABCD00u, r.data()), 0) << "code " << code;
    }
    DestroyHostMenu(menu);
    EXPECT_EQ(Journal().size(), calls) << "a call reached the released library";
    EXPECT_EQ(NoteTexts()[0], kUnavailableNote);
    const std::string notRegistered =
        "Control->TCS Provider is not registered\r\nAlignment-TCS Provider is not registered\r\n";
    const std::string expected =
        kSimulatorInitLog + AlignedOpenLog() + "TCS Provider is not registered\r\nTCS RA =  Dec = \r\n" +
        "Goto (1.500000,0.300000)->TCS Provider is not registered\r\n\r\n" + notRegistered +
        "Add Celestial Point (1.500000,0.300000)->TCS Provider is not registered\r\n" + notRegistered +
        "Status->TCS Provider is not registered\r\n-TCS Provider is not registered\r\n-" + OnDisk(kUnavailableNote) +
        "VoidCelestialAlign->TCS Provider is not registered\r\n";
    const std::string log = LogAfterUnload();
    EXPECT_EQ(log.substr(0, expected.size()), expected);
}

TEST_F(LifeCycle, CloseTwiceDropsTheAlignmentTwice)
{
    StartSession("align=both");
    Open();
    Close();
    Close();
    EXPECT_EQ(JournalOf("TCS_VoidCelestialAlign").size(), 2u);
    CanaryRecord r = MenuStatusRecord(8204);
    Op(op_MenuStatus, r.data());
    EXPECT_EQ(r.Get<uint8_t>(kMenuIsEnabled), 0);
    EXPECT_EQ(LogAfterUnload(), kSimulatorInitLog + AlignedOpenLog() + "VoidCelestialAlign-> sucessfull\r\n" +
                                    "VoidCelestialAlign-> sucessfull\r\n");
}

TEST_F(LifeCycle, UnloadAndReloadStartFromZeroWithTheLogCompleteEachTime)
{
    StartSession("align=both,start=0.5/0.25");
    Open();
    Track();
    EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
    Terminate();
    const std::string firstLog = kSimulatorInitLog + AlignedOpenLog() + "TCS RA = 01:54:35.5 Dec = +14:19:26\r\n";
    EXPECT_EQ(LogAfterUnload(), firstLog);

    Load();
    CanaryRecord track = MenuStatusRecord(8205);
    Op(op_MenuStatus, track.data());
    EXPECT_EQ(track.Get<uint8_t>(kMenuIsEnabled), 0) << "connection closed again";
    EXPECT_EQ(track.Get<uint8_t>(kMenuHasCheck), 0) << "tracking off again";
    EXPECT_TRUE(Idle().untouched);
    Initialize();
    Open();
    EXPECT_TRUE(Idle().untouched) << "tracking off again";
    Track();
    EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint) << "at once: the interval starts afresh";
    Terminate();
    EXPECT_EQ(LogAfterUnload(), firstLog);
    EXPECT_EQ(JournalOf("TCS_GetVersion").size(), 2u);
}

} // namespace
