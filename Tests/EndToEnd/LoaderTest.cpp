// Control libraries that lack exports, loaded from the fixed path: the
// loader's log lines and note, and a whole session still served, with no
// call ever reaching an entry point the library does not have. Where the
// library is looked for on a 64-bit system.
#include "ExpectedText.h"
#include "HostSession.h"

#include <filesystem>

namespace {

const char kVersion[] = "DRAV Version Vantorel Mount Simulator 1.0\r\n";
const char kNoVersion[] = "DRAV Version \r\n";
std::string Missing(const char *name)
{
    return std::string("Could not get addresses for export function ") + name + "\r\n";
}

// The parts of the session below, as a complete library logs them.
const char kIdleLog[] = "TCS RA = 00:00:00.0 Dec = +00:00:00\r\n";
const char kNoReadingLog[] = "TCS Provider is not registered\r\nTCS RA =  Dec = \r\n";
const char kSlewLog[] = "Goto (1.500000,0.300000)->GoTo launched\r\n\r\nGoTo 100%\r\n";
const std::string kSyncLog = std::string(kActiveBothLines) +
                             "Calibrate to (1.500000,0.300000)->Calibration sucessfull\r\n";
const std::string kCalibrateMissingLog = std::string(kActiveBothLines) +
                                         "Calibrate to (1.500000,0.300000)->TCS Provider is not registered\r\n";

std::string OpenLog(const std::string &statusLines, const std::string &statusTexts, const char *note)
{
    return statusLines + statusLines + "Status->" + statusTexts + "-" + OnDisk(note);
}

struct Variant {
    const char *file;
    std::vector<std::string> missing; // entry points the library lacks
    std::string loaderLog;
    bool checkedMissing;
    std::string openLog, idleLog, slewLog, syncLog;
    const char *openNote;
};

std::vector<Variant> Variants()
{
    const std::string open = AlignedOpenLog();
    const std::string controlMissing =
        "Control->TCS Provider is not registered\r\nAlignment-TCS Provider is both Celestial and Earth aligned\r\n";
    const std::string alignmentMissing =
        "Control->TCS Provider is active\r\nAlignment-TCS Provider is not registered\r\n";
    return {
        {"DRAV_no_TCS_GetVersion.dll", {"TCS_GetVersion"}, Missing("TCS_GetVersion") + kNoVersion, true,
         open, kIdleLog, kSlewLog, kSyncLog, kFineNote},
        {"DRAV_no_TCS_GetControlStatus.dll", {"TCS_GetControlStatus"}, Missing("TCS_GetControlStatus") + kVersion,
         true,
         OpenLog(controlMissing,
                 "TCS Provider is not registered\r\n-TCS Provider is both Celestial and Earth aligned\r\n",
                 kUnavailableNote),
         kIdleLog, kSlewLog, controlMissing + "Add Celestial Point (1.500000,0.300000)->sucessfull\r\n",
         kUnavailableNote},
        {"DRAV_no_TCS_GetAlignmentStatus.dll", {"TCS_GetAlignmentStatus"}, Missing("TCS_GetAlignmentStatus") + kVersion,
         true, OpenLog(alignmentMissing, "TCS Provider is active\r\n-TCS Provider is not registered\r\n",
                       kMayNotBeAlignedNote),
         kIdleLog, kSlewLog, alignmentMissing + "Add Celestial Point (1.500000,0.300000)->sucessfull\r\n",
         kMayNotBeAlignedNote},
        {"DRAV_no_TCS_GetCelestialCoords.dll", {"TCS_GetCelestialCoords"}, Missing("TCS_GetCelestialCoords") + kVersion,
         true, open, kNoReadingLog, kSlewLog, kSyncLog, kFineNote},
        {"DRAV_no_TCS_GetGoToProgress.dll", {"TCS_GetGoToProgress"}, Missing("TCS_GetGoToProgress") + kVersion, true,
         open, kIdleLog,
         "Goto (1.500000,0.300000)->GoTo launched\r\n\r\nTCS Provider is not registered\r\n", kSyncLog, kFineNote},
        {"DRAV_no_TCS_GetScopeOrientation.dll", {"TCS_GetScopeOrientation"},
         Missing("_TCS_GetScopeOrientation") + kVersion, true, open, kIdleLog, kSlewLog, kSyncLog, kFineNote},
        {"DRAV_no_TCS_Calibrate.dll", {"TCS_Calibrate"}, Missing("TCS_Calibrate") + kVersion, true, open, kIdleLog,
         kSlewLog, kCalibrateMissingLog, kFineNote},
        {"DRAV_no_TCS_KillMotion.dll", {"TCS_KillMotion"}, Missing("TCS_KillMotion") + kVersion, true, open, kIdleLog,
         kSlewLog, kSyncLog, kFineNote},
        {"DRAV_no_TCS_GoToCelestialCoords.dll", {"TCS_GoToCelestialCoords"},
         Missing("TCS_GoToCelestialCoords") + kVersion, true, open, kIdleLog,
         "Goto (1.500000,0.300000)->TCS Provider is not registered\r\n\r\n", kSyncLog, kFineNote},
        {"DRAV_no_TCS_GoToPark.dll", {"TCS_GoToPark"}, kVersion, false, open, kIdleLog, kSlewLog, kSyncLog, kFineNote},
        {"DRAV_no_TCS_SetDispatchHooks.dll", {"TCS_SetDispatchHooks"}, kVersion, false, open, kIdleLog, kSlewLog,
         kSyncLog, kFineNote},
        {"DRAV_no_several.dll", {"TCS_GetVersion", "TCS_GetCelestialCoords", "TCS_Calibrate"},
         Missing("TCS_GetVersion") + Missing("TCS_GetCelestialCoords") + Missing("TCS_Calibrate") + kNoVersion, true,
         open, kNoReadingLog, kSlewLog, kCalibrateMissingLog, kFineNote},
    };
}

using Loader = PlugInTest;

TEST_F(Loader, LibrariesLackingExportsStillServeAWholeSession)
{
    for (const Variant &v : Variants()) {
        SCOPED_TRACE(v.file);
        StartSession("align=both,progress=100", std::string("variants/") + v.file);
        Open();
        Track();
        EXPECT_EQ(Idle().operation, (unsigned)out_CentrePoint);
        Slew(1.5, 0.3);
        Sync(1.5, 0.3);
        Close();
        Terminate();
        EXPECT_FALSE(LibraryStillLoaded());
        EXPECT_EQ(LogAfterUnload(), v.loaderLog + "API plugins version 4\r\n" + v.openLog + v.idleLog + v.slewLog +
                                        v.syncLog + "VoidCelestialAlign-> sucessfull\r\n");
        std::vector<std::string> notes;
        if (v.checkedMissing)
            notes.push_back("DRAV Initialization failed.");
        notes.push_back(v.openNote);
        EXPECT_EQ(NoteTexts(), notes);
        EXPECT_FALSE(JournalOf("TCS_VoidCelestialAlign").empty()) << "the library was used";
        for (const std::string &name : v.missing)
            EXPECT_TRUE(JournalOf(name).empty()) << "the variant has " << name;
    }
}

// On 64-bit Windows a 32-bit installer puts the library under the 32-bit
// Common Files folder ("Program Files (x86)"): the fixed path comes first,
// that folder only when no file is at the fixed path, and either is loaded
// with the library's own folder searched for the DLLs it needs.
TEST_F(Loader, CommonFilesFolderOfA64BitSystem)
{
    namespace fs = std::filesystem;
    const std::string fallback = CommonFilesLibraryPath();
    if (FileAt(fallback) == FileAt(kFixedLibraryPath))
        GTEST_SKIP() << "one Common Files folder on a 32-bit system; the Windows suite runs in a 64-bit prefix";
    // The one there lacks TCS_KillMotion, so the log tells which was used.
    const std::string fallbackLog = Missing("TCS_KillMotion") + kVersion + "API plugins version 4\r\n";
    const struct {
        const char *where;
        bool atFixed, atFallback;
        std::string log;
        std::vector<std::string> notes, loads;
    } cases[] = {
        {"at the fixed path", true, false, kSimulatorInitLog, {}, {kFixedLibraryPath}},
        {"in both places", true, true, kSimulatorInitLog, {}, {kFixedLibraryPath}},
        {"in the 32-bit Common Files folder", false, true, fallbackLog, {"DRAV Initialization failed."},
         {kFixedLibraryPath, fallback}},
        {"nowhere", false, false, kNoLibraryInitLog, {"DRAV Initialization failed."}, {kFixedLibraryPath}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.where);
        Unload();
        std::error_code ignored;
        for (const std::string &place : {std::string(kFixedLibraryPath), fallback})
            fs::remove(FileAt(place), ignored);
        InstallLibrary();
        if (c.atFallback) {
            fs::create_directories(fs::path(FileAt(fallback)).parent_path());
            fs::copy_file(SimulatorFile("variants/DRAV_no_TCS_KillMotion.dll"), FileAt(fallback),
                          fs::copy_options::overwrite_existing);
        }
        if (!c.atFixed)
            fs::remove(FileAt(kFixedLibraryPath));
        ClearCapturedNotes();
        ClearLibraryLoads();
        Load();
        Initialize();
        Terminate();
        EXPECT_EQ(LogAfterUnload(), c.log);
        EXPECT_EQ(NoteTexts(), c.notes);
        fs::remove(FileAt(fallback), ignored);
        if (kWindowsPlugIn) { // the loads and their flags are seen on Windows only
            std::vector<std::string> paths;
            for (const LibraryLoad &load : LibraryLoads()) {
                paths.push_back(load.path);
                EXPECT_EQ(load.flags, 0x8u) << "LOAD_WITH_ALTERED_SEARCH_PATH for " << load.path;
            }
            EXPECT_EQ(paths, c.loads);
        }
    }
}

} // namespace
