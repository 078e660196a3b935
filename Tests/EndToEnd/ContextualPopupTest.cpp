// The host's contextual menu: the three entries appended to a real host menu
// (a Win32 popup menu on Windows), and the two choices carried out on the
// selected object's position.
#include "HostSession.h"

using namespace HostLayout;

namespace {

using ContextualPopup = PlugInTest;

TEST_F(ContextualPopup, AppendsASeparatorAndTwoEntriesAtTheEnd)
{
    StartSession("align=both");
    Open();
    const size_t calls = Journal().size();
    void *menu = CreateHostMenu();
    AppendHostMenuEntry(menu, 100, "Centre");
    AppendHostMenuEntry(menu, 101, "Show Info");
    for (int build = 1; build <= 2; ++build) {
        CanaryRecord r = BuildContextRecord(menu);
        EXPECT_EQ(Op(op_BuildContextualPopup, r.data()), 0);
        EXPECT_TRUE(AsExpected(r));
        std::vector<HostMenuEntry> entries = ReadHostMenu(menu);
        ASSERT_EQ(entries.size(), 2u + 3u * build);
        EXPECT_EQ(entries[0].text, "Centre");
        EXPECT_EQ(entries[1].text, "Show Info");
        const HostMenuEntry *added = &entries[entries.size() - 3];
        EXPECT_TRUE(added[0].separator);
        EXPECT_EQ(added[0].identifier, 0u);
        const struct { unsigned identifier; const char *text; } items[] = {
            {20000, "Slew Telescope"}, {20001, "Synch Telescope"}};
        for (int i = 0; i < 2; ++i) {
            EXPECT_FALSE(added[1 + i].separator);
            EXPECT_TRUE(added[1 + i].enabled);
            EXPECT_FALSE(added[1 + i].checked);
            EXPECT_EQ(added[1 + i].identifier, items[i].identifier);
            EXPECT_EQ(added[1 + i].text, items[i].text);
        }
    }
    DestroyHostMenu(menu);
    EXPECT_EQ(Journal().size(), calls);
}

TEST_F(ContextualPopup, ChoicesSlewOrSyncOnTheSelectedObject)
{
    const struct { int32_t command; const char *call; } cases[] = {
        {20000, "TCS_GoToCelestialCoords(X=1.5,Y=0.29999999999999999) -> 1"},
        {20001, "TCS_Calibrate(X=1.5,Y=0.29999999999999999) -> 1"},
        {0, nullptr}, {19999, nullptr}, {20002, nullptr}, {-20000, nullptr},
        {0x10000 + 20000, nullptr}, {8206, nullptr},
    };
    StartSession("align=both,progress=100");
    Open();
    for (const auto &c : cases) {
        const std::vector<std::string> before = Journal();
        CanaryRecord r = DoContextRecord(c.command, 1.5, 0.3);
        EXPECT_EQ(Op(op_DoContextualPopup, r.data()), 0);
        EXPECT_TRUE(AsExpected(r)) << "command " << c.command; // fMenuHandled included
        std::vector<std::string> after = Journal();
        std::vector<std::string> added(after.begin() + before.size(), after.end());
        if (c.call == nullptr) {
            EXPECT_TRUE(added.empty()) << "command " << c.command;
        } else {
            ASSERT_FALSE(added.empty());
            EXPECT_EQ(c.command == 20000 ? added.front() : added.back(), c.call);
        }
    }
}

} // namespace
