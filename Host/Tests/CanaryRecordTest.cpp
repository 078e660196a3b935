// The host's checks: every byte the plug-in must leave alone is watched,
// and only the fields it may write are allowed to change.
#include "CanaryRecord.h"
#include "HostLayout.h"

#include <gtest/gtest.h>

using namespace HostLayout;

namespace {

// Writes into the record as a faulty plug-in would.
void Poke(CanaryRecord *r, long offset, unsigned char value) { ((unsigned char *)r->data())[offset] = value; }
// Writes a field as the plug-in would.
template <class T> void Write(CanaryRecord *r, size_t offset, T value) { memcpy((char *)r->data() + offset, &value, sizeof value); }

bool Mentions(const std::vector<std::string> &faults, const std::string &what)
{
    for (const std::string &f : faults)
        if (f.find(what) != std::string::npos)
            return true;
    return false;
}

TEST(Canary, EveryByteStartsAsCanaryAboveTheBooleans)
{
    CanaryRecord a(InitializeLayout(), 1), b(InitializeLayout(), 2);
    const unsigned char *pa = (const unsigned char *)a.data(), *pb = (const unsigned char *)b.data();
    int differ = 0;
    for (size_t i = 0; i < kInitializeSize; ++i) {
        EXPECT_GE(pa[i], 0x80) << i;
        differ += pa[i] != pb[i];
    }
    EXPECT_GT(differ, 700); // another seed, another pattern
    EXPECT_TRUE(a.Check().empty());
}

TEST(Canary, WritesThePluginMayMakeAreAccepted)
{
    CanaryRecord r(InitializeLayout(), 3);
    r.Put<int32_t>(kInitPluginAPI, 3);
    r.Seal();
    Write<int32_t>(&r, kInitPluginAPI, 4);
    Write<unsigned char>(&r, kInitSuccess, 1);
    Write<int32_t>(&r, kInitLayer, 40000);
    Write<unsigned char>(&r, kInitAboutMenuItem, 0);
    EXPECT_TRUE(r.Check().empty());
    // Refused, it may answer fSuccess alone.
    const std::vector<std::string> refused = r.Check(false);
    EXPECT_EQ(refused.size(), 3u);
    EXPECT_FALSE(Mentions(refused, "fSuccess"));
    EXPECT_TRUE(Mentions(refused, "fLayer (beyond what the plug-in may write)"));
    EXPECT_EQ(r.Show("fPluginAPI"), "fPluginAPI=4");
    EXPECT_EQ(r.Show("fAboutMenuItem"), "fAboutMenuItem=\"\"");
    EXPECT_NE(r.Show("fWindowID").find("(as passed)"), std::string::npos);
}

TEST(Canary, HostFieldsPaddingAndGuardsAreWatched)
{
    const struct { const RecordLayout &layout; long offset; const char *fault; } cases[] = {
        {InitializeLayout(), kInitWindowID + 2, "fWindowID (host's) changed at offset 14"},
        {InitializeLayout(), 9, "padding changed at offset 9"},
        {InitializeLayout(), 801, "padding changed at offset 801"},
        {InitializeLayout(), kInitAboutMenuItem + 1, "fAboutMenuItem (beyond what the plug-in may write)"},
        {MenuStatusLayout(), kMenuText + 3, "fMenuText (host's)"},
        {IndicatorLayout(), kIndRed, "fRed (host's)"},
        {IndicatorLayout(), 3, "padding"},
        {DoContextLayout(), kDoContextMenuHandled, "fMenuHandled (host's)"},
        {DoContextLayout(), kDoContextObject + kSelObjectName + 5, "fObjectName (host's)"},
        {TelescopeTargetLayout(), 50, "(host's tail)"},
        {NoRecordLayout(), 0, "padding changed at offset 0"},
        {MenuStatusLayout(), -1, "bytes before the record"},
        {MenuStatusLayout(), kMenuStatusSize, "bytes after the record"},
    };
    for (const auto &c : cases) {
        CanaryRecord r(c.layout, 4);
        r.Seal();
        Poke(&r, c.offset, 0x00);
        std::vector<std::string> faults = r.Check();
        EXPECT_EQ(faults.size(), 1u) << c.layout.name << " @" << c.offset;
        EXPECT_TRUE(Mentions(faults, c.fault)) << c.layout.name << " @" << c.offset << ": "
                                               << (faults.empty() ? "no fault" : faults[0]);
    }
}

TEST(Canary, AssignedTextMayCarryItsZeroByteButNoMore)
{
    const size_t at = kIndString;
    CanaryRecord r(IndicatorLayout(), 5);
    r.Seal();
    r.PutPString(at, "Vantorel");
    Poke(&r, at + 9, 0); // the zero after the text
    EXPECT_TRUE(r.Check().empty());
    Poke(&r, at + 10, 0);
    EXPECT_TRUE(Mentions(r.Check(), "fString (beyond what the plug-in may write) changed at offset 72"));
}

TEST(Canary, BooleansMustBeZeroOrOne)
{
    CanaryRecord r(MenuStatusLayout(), 6);
    r.Seal();
    Poke(&r, kMenuHasCheck, 2);
    EXPECT_TRUE(Mentions(r.Check(), "fHasCheck = 2, not a boolean"));
}

} // namespace
