// op_Initialize's answer to the host and op_MenuStatus's table, without a
// control library.
#include "HostSession.h"

#include <limits.h>

using namespace HostLayout;

namespace {

using Initialization = PlugInTest;

TEST_F(Initialization, HostsBelowVersionThreeAreRefusedSilently)
{
    for (int32_t api : {2, 0, -1, INT_MIN}) {
        CanaryRecord r = InitializeRecord(api);
        EXPECT_EQ(Op(op_Initialize, r.data()), 0);
        r.Expect<uint8_t>(kInitSuccess, 0); // and nothing else, fPluginAPI included
        EXPECT_TRUE(AsExpected(r)) << "version " << api;
    }
    EXPECT_FALSE(LogExists());
    EXPECT_TRUE(CapturedNotes().empty());
}

TEST_F(Initialization, VersionThreeAndLaterAreAnsweredWithFour)
{
    for (int32_t api : {3, 7, INT_MAX}) {
        CanaryRecord r = InitializeRecord(api);
        EXPECT_EQ(Op(op_Initialize, r.data()), 0);
        ExpectInitializeAnswer(&r);
        EXPECT_TRUE(AsExpected(r)) << "version " << api;
    }
    // Each initialisation starts the log afresh: only the last one's lines.
    EXPECT_EQ(LogAfterUnload(), kNoLibraryInitLog);
    EXPECT_EQ(NoteTexts(), std::vector<std::string>(3, "DRAV Initialization failed."));
}

TEST_F(Initialization, NoLogWithoutInitialisation)
{
    Op(op_TelescopeConfigure);
    Unload();
    EXPECT_FALSE(LogExists());
}

// Menu states, command by command from 8199 to 8208: '1' enabled, '0'
// disabled, '-' fIsEnabled left as the host passed it.
struct MenuState {
    const char *after;
    const char *enabled;
    const char *checked;
};

class MenuStatus : public PlugInTest {
protected:
    void ExpectMenu(const MenuState &state)
    {
        ASSERT_EQ(strlen(state.enabled), 10u);
        ASSERT_EQ(strlen(state.checked), 10u);
        for (int32_t command = 8199; command <= 8208; ++command) {
            const int column = command - 8199;
            CanaryRecord r = MenuStatusRecord(command);
            r.Put<uint8_t>(kMenuHasCheck, 1); // fHasCheck is always written
            EXPECT_EQ(Op(op_MenuStatus, r.data()), 0);
            if (state.enabled[column] != '-')
                r.Expect<uint8_t>(kMenuIsEnabled, (uint8_t)(state.enabled[column] - '0'));
            r.Expect<uint8_t>(kMenuHasCheck, (uint8_t)(state.checked[column] - '0'));
            EXPECT_TRUE(AsExpected(r)) << "after " << state.after << ", command " << command;
        }
    }
};

TEST_F(MenuStatus, FollowsTheConnectionAndTracking)
{
    //                                   8199 .. 8208
    const MenuState closed = {"load", "-10010001-", "0000000000"};
    ExpectMenu(closed);
    Initialize();
    ExpectMenu({"initialisation", closed.enabled, closed.checked});
    Open();
    ExpectMenu({"open", "-10011111-", "0000000000"});
    Track();
    ExpectMenu({"open, track", "-10011101-", "0000001000"});
    Close();
    ExpectMenu({"open, track, close", "-10010001-", "0000001000"});
    Track(); // dropped while closed
    ExpectMenu({"a track while closed", "-10010001-", "0000001000"});
    Open();
    ExpectMenu({"reopening: tracking survived", "-10011101-", "0000001000"});
    Track();
    ExpectMenu({"track again", "-10011111-", "0000000000"});
    Open();
    ExpectMenu({"open on an open connection", "-10011111-", "0000000000"});
    Close();
    Close();
    ExpectMenu({"close on a closed connection", "-10010001-", "0000000000"});
}

} // namespace
