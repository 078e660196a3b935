// telelog.txt: created or emptied by each initialisation, CR LF on disk,
// written in 4096-byte blocks and completely at unload, and the faults of a
// log that cannot be opened.
#include "ExpectedText.h"
#include "HostSession.h"

#include <algorithm>
#include <filesystem>

namespace {

const char kConfigureWithoutLibraryLog[] =
    "Control->TCS Provider is not registered\r\n"
    "Alignment-TCS Provider is not registered\r\n"
    "Status->TCS Provider is not registered\r\n-TCS Provider is not registered\r\n"
    "-Telescope Interface Unavailable\r\n Check if Vantorel is running\r\n";

using LogFile = PlugInTest;

TEST_F(LogFile, EachInitialisationStartsAnEmptyLog)
{
    ASSERT_TRUE(WriteFile(JoinPath(dir_, "telelog.txt"), std::string(10000, 'x') + "\r\n"));
    Initialize();
    Configure();
    Initialize(); // the earlier stream is closed first, the file emptied again
    Configure();
    EXPECT_EQ(LogAfterUnload(), std::string(kNoLibraryInitLog) + kConfigureWithoutLibraryLog);
    Load();
    Initialize();
    EXPECT_EQ(LogAfterUnload(), kNoLibraryInitLog);
}

TEST_F(LogFile, ReachesTheDiskInBlocksOf4096AndWhollyAtUnload)
{
    const std::string path = JoinPath(dir_, "telelog.txt");
    const int kConfigures = 20; // about 5000 characters in all
    uint64_t firstBlock = 0;
    Initialize();
    const uint64_t afterInitialisation = FileSizeOnDisk(path);
    for (int i = 0; i < kConfigures; ++i) {
        Configure();
        if (firstBlock == 0)
            firstBlock = FileSizeOnDisk(path);
    }
    std::string expected = kNoLibraryInitLog;
    for (int i = 0; i < kConfigures; ++i)
        expected += kConfigureWithoutLibraryLog;
    EXPECT_EQ(LogAfterUnload(), expected);

    // Nothing reached the disk until the first 4096 characters had been
    // written; then exactly those, each line feed stored as CR LF.
    std::string written;
    for (char c : expected)
        if (c != '\r')
            written += c;
    ASSERT_GT(written.size(), 4096u);
    EXPECT_EQ(afterInitialisation, 0u);
    EXPECT_EQ(firstBlock, 4096u + std::count(written.begin(), written.begin() + 4096, '\n'));
}

TEST_F(LogFile, KeepsOtherOpenersOutWhileLoaded)
{
    const std::string path = JoinPath(dir_, "telelog.txt");
    Initialize();
    void *other = HoldFileExclusively(path);
    EXPECT_EQ(other, nullptr);
    if (other != nullptr)
        ReleaseHeldFile(other);
    Unload();
    other = HoldFileExclusively(path);
    EXPECT_NE(other, nullptr) << "still held after unload";
    if (other != nullptr)
        ReleaseHeldFile(other);
}

TEST_F(LogFile, HeldOpenElsewhere)
{
    const std::string path = JoinPath(dir_, "telelog.txt");
    const std::string theirs = "another program's text\r\n";
    ASSERT_TRUE(WriteFile(path, theirs));
    void *held = HoldFileExclusively(path);
    ASSERT_NE(held, nullptr);
    InstallLibrary();
    SetScenario("align=both");
    Initialize();
    Open();
    Configure();
    Close();
    Terminate();
    Unload();
    ReleaseHeldFile(held);
    EXPECT_EQ(NoteTexts(), (std::vector<std::string>{"LogFile opening failed.", kFineNote, kFineNote}));
    EXPECT_EQ(JournalOf("TCS_GetControlStatus").size(), 3u) << "the library is loaded and used all the same";
    std::string after;
    EXPECT_TRUE(ReadFile(path, &after));
    EXPECT_EQ(after, theirs);
}

// The current directory is one in which nobody, root included, can create a
// file: the root of /proc (Z:\\proc under Wine).
TEST_F(LogFile, UnwritableCurrentDirectory)
{
    const std::string dir = FromUnixPath("/proc");
    std::filesystem::current_path(dir);
    ASSERT_FALSE(WriteFile(JoinPath(dir, "probe"), "x")) << dir << " is writable: the test proves nothing";
    InstallLibrary();
    SetScenario("align=both");
    Initialize();
    Configure();
    Unload();
    EXPECT_EQ(NoteTexts(), (std::vector<std::string>{"LogFile opening failed.", kFineNote}));
    EXPECT_EQ(JournalOf("TCS_GetControlStatus").size(), 1u) << "the library is loaded and used all the same";
    EXPECT_FALSE(std::filesystem::exists(JoinPath(dir, "telelog.txt")));
    EXPECT_FALSE(LogExists());
}

} // namespace
