// The session language: angles in both notations, commands and their
// arguments, and script errors that name their line.
#include "HostScript.h"

#include <gtest/gtest.h>

#include <math.h>

namespace {

const double kPi = 3.14159265358979323846;

TEST(Angles, GoodRightAscensionsAndDeclinations)
{
    const struct { const char *text; bool ra; double radians; } cases[] = {
        {"1.5", true, 1.5},
        {"-0.25", false, -0.25},
        {"06:00:00", true, kPi / 2},
        {"12:00", true, kPi},
        {"05:55:10.31", true, (5 + 55 / 60.0 + 10.31 / 3600) * kPi / 12},
        {"23:59:59.99", true, (23 + 59 / 60.0 + 59.99 / 3600) * kPi / 12},
        {"+07:24:25.4", false, (7 + 24 / 60.0 + 25.4 / 3600) * kPi / 180},
        {"-16:42:58", false, -(16 + 42 / 60.0 + 58 / 3600.0) * kPi / 180},
        {"-00:30:00", false, -0.5 * kPi / 180},
        {"90:00:00", false, kPi / 2},
        {"-90:00", false, -kPi / 2},
    };
    for (const auto &c : cases) {
        double radians = 99;
        std::string error;
        bool ok = c.ra ? ParseRightAscension(c.text, &radians, &error) : ParseDeclination(c.text, &radians, &error);
        EXPECT_TRUE(ok) << c.text << ": " << error;
        EXPECT_NEAR(radians, c.radians, 1e-15) << c.text;
    }
}

TEST(Angles, BadAnglesAreRejectedWithTheText)
{
    const struct { const char *text; bool ra; } cases[] = {
        {"24:00:00", true}, {"-01:00:00", true}, {"+01:00:00", true}, {"12:60:00", true}, {"12:00:60", true},
        {"12:", true}, {"12:00:", true}, {"1:2:3:4", true}, {"ab", true}, {"1.5rad", true}, {"", true},
        {"12:3a:00", true}, {"inf", true}, {"nan", true},
        {"90:00:01", false}, {"-91:00", false}, {"1.6", false}, {"-1.58", false}, {"45:00:-1", false},
        {"10:00:00x", false}, {"+-10:00", false},
    };
    for (const auto &c : cases) {
        double radians = 99;
        std::string error;
        bool ok = c.ra ? ParseRightAscension(c.text, &radians, &error) : ParseDeclination(c.text, &radians, &error);
        EXPECT_FALSE(ok) << c.text;
        EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
    }
}

TEST(Angles, FormattedForTheTranscript)
{
    EXPECT_EQ(FormatRightAscension(kPi / 2), "06:00:00.00");
    EXPECT_EQ(FormatRightAscension(-kPi / 12), "23:00:00.00");
    EXPECT_EQ(FormatRightAscension(2 * kPi - 1e-9), "00:00:00.00"); // rounds up and wraps
    EXPECT_EQ(FormatDeclination(-(16 + 42 / 60.0 + 58 / 3600.0) * kPi / 180), "-16:42:58.0");
    EXPECT_EQ(FormatDeclination(-1e-12), "+00:00:00.0");
    EXPECT_EQ(FormatDeclination((7 + 59 / 60.0 + 59.96 / 3600) * kPi / 180), "+08:00:00.0");
}

TEST(Commands, ArgumentsAndDefaults)
{
    const struct { const char *line; CommandKind kind; long number; double seconds, ra, dec; const char *name; } cases[] = {
        {"init", CommandKind::Init, 4, 0, 0, 0, ""},
        {"init 2", CommandKind::Init, 2, 0, 0, 0, ""},
        {"  menu   8205 ", CommandKind::Menu, 8205, 0, 0, 0, ""},
        {"menu", CommandKind::Menu, -1, 0, 0, 0, ""},
        {"idle", CommandKind::Idle, 1, 0, 0, 0, ""},
        {"idle 7 3", CommandKind::Idle, 7, 3, 0, 0, ""},
        {"slew 1.5 0.3", CommandKind::Slew, 0, 0, 1.5, 0.3, ""},
        {"sync 12:00:00 -90:00:00", CommandKind::Sync, 0, 0, kPi, -kPi / 2, ""},
        {"popup Alpha Orionis", CommandKind::Popup, 0, 0, 0, 0, "Alpha Orionis"},
        {"choose 20001 1 -1 Some Star", CommandKind::Choose, 20001, 0, 1, -1, "Some Star"},
        {"choose 7 1 -1", CommandKind::Choose, 7, 0, 1, -1, ""},
        {"echo Now the slew", CommandKind::Echo, 0, 0, 0, 0, "Now the slew"},
        {"terminate", CommandKind::Terminate, 0, 0, 0, 0, ""},
    };
    for (const auto &c : cases) {
        Command cmd;
        bool isCommand = false;
        std::string error;
        ASSERT_TRUE(ParseCommand(c.line, &cmd, &isCommand, &error)) << c.line << ": " << error;
        EXPECT_TRUE(isCommand);
        EXPECT_EQ(cmd.kind, c.kind) << c.line;
        EXPECT_EQ(cmd.number, c.number) << c.line;
        EXPECT_EQ(cmd.seconds, c.seconds) << c.line;
        EXPECT_NEAR(cmd.ra, c.ra, 1e-15) << c.line;
        EXPECT_NEAR(cmd.dec, c.dec, 1e-15) << c.line;
        EXPECT_EQ(cmd.name, c.name) << c.line;
    }
}

TEST(Commands, BadLinesSayWhy)
{
    const struct { const char *line, *why; } cases[] = {
        {"slewto 1 2", "unknown command \"slewto\""},
        {"open now", "open takes no arguments"},
        {"init four", "init takes"},
        {"idle 0", "idle takes"},
        {"idle 3 -1", "idle takes"},
        {"slew 1.5", "slew needs RA DEC"},
        {"slew 1.5 0.3 7", "slew takes RA DEC only"},
        {"sync 25:00:00 0", "bad right ascension \"25:00:00\""},
        {"choose 20000 1.5 2.0", "bad declination \"2.0\""},
        {"choose Slew 1 1", "choose needs the menu command's identifier"},
    };
    for (const auto &c : cases) {
        Command cmd;
        bool isCommand;
        std::string error;
        EXPECT_FALSE(ParseCommand(c.line, &cmd, &isCommand, &error)) << c.line;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.line << " gave: " << error;
    }
}

TEST(Script, CommentsAndBlankLinesSkippedErrorsNumbered)
{
    std::vector<Command> commands;
    std::string error;
    ASSERT_TRUE(ParseScript("# a session\r\n\ninit\r\n   # indented comment\nopen\n", &commands, &error)) << error;
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].line, 3);
    EXPECT_EQ(commands[1].line, 5);
    EXPECT_EQ(commands[1].kind, CommandKind::Open);

    commands.clear();
    EXPECT_FALSE(ParseScript("init\nopen\n\nslew 1 91:00:00\nclose\n", &commands, &error));
    EXPECT_EQ(error.compare(0, 8, "line 4: "), 0) << error;
}

} // namespace
