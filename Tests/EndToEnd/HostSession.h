// What every end-to-end test stands on: host records filled with canary
// bytes, and a fixture that gives each test a freshly loaded telescope.plug,
// its own current directory (where telelog.txt lands), a control library (or
// none) at the fixed path, the simulator's journal, and captured notes.
#ifndef HOST_SESSION_H
#define HOST_SESSION_H

#include "CanaryRecord.h"
#include "HostLayout.h"
#include "PluginLoader.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

// Every byte of a host record, guards included, as the test expects it:
// what the host put there and what the plug-in should write.
::testing::AssertionResult AsExpected(const CanaryRecord &r);

// Fresh records of each kind.
CanaryRecord InitializeRecord(int32_t pluginAPI);
CanaryRecord MenuStatusRecord(int32_t command);
CanaryRecord TargetRecord(double ra, double dec);
CanaryRecord DoContextRecord(int32_t command, double ra, double dec);
CanaryRecord BuildContextRecord(void *menu);
// The plug-in's answer to an accepted op_Initialize, on top of what the host put there.
void ExpectInitializeAnswer(CanaryRecord *r);
// The fields op_DrawIndicator always writes (the position only when it is read).
void ExpectIndicatorAnswer(CanaryRecord *r);
// A record of the kind the operation carries (the largest kind for codes the plug-in does not serve).
CanaryRecord RecordFor(unsigned code, unsigned seed = 0);

// What an op_Idle answered, read from the host's PEvent.
struct IdleAnswer {
    bool untouched;      // fOutOperation and fOutParams as the host passed them
    unsigned operation;  // fOutOperation
    const void *params;  // fOutParams
};

// The log of an initialisation that finds no control library: the loader's
// line has no line end, so the next entry continues it.
constexpr const char kNoLibraryInitLog[] =
    "Could not open c:\\Program Files\\Common Files\\System\\DRAV.dll: exiting now"
    "API plugins version 4\r\n";

// The fixed Windows path, as the plug-in asks for it.
extern const char kFixedLibraryPath[];

// The floating-point state a host runs with (the x87 control and status
// words, the SSE control and status register), put in place around each call.
struct HostFloatState {
    uint16_t x87Control, x87Status;
    uint32_t mxcsr;
};
// Every exception unmasked on both units, rounding down, an inexact flag
// already raised in SSE: a host the plug-in must neither trap nor follow.
constexpr HostFloatState kTrappingHost = {0x0740, 0x0000, 0x2020};
// A Delphi program's state (invalid, division and overflow unmasked on both
// units) with flags of its own raised (underflow in x87, invalid in SSE).
constexpr HostFloatState kDelphiHost = {0x1332, 0x0010, 0x1901};

// The go-to wait's progress box as the host sees it (Windows).
struct WaitBoxView {
    bool up = false;           // a shown window owned by the host's window
    std::string caption, what; // its caption and its first line
    bool ownerEnabled = false; // the host's window
    bool focusOnHost = false;  // the keyboard focus on the host window's button
};

// What the user does in the box, as its messages arrive in the queue: a
// press is a key's first down and its up; a key held from before the box
// arrives as auto-repeats (down already) and then its up.
enum WaitBoxInput {
    kClickStop, kEscapeInBox, kCloseBox, kSpaceOnStop, kEnterInBox,
    kEnterHeld, kEscapeHeld, kSpaceHeld,
};

class PlugInTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the simulator ("DRAV.dll") or one of its variants at the fixed path.
    void InstallLibrary(const std::string &file = "DRAV.dll");
    // The library's place under the Common Files folder as the system names
    // it, as the plug-in asks for it; the fixed path on a 32-bit system, and
    // on 64-bit Windows (and natively) the one under "Program Files (x86)".
    std::string CommonFilesLibraryPath() const;
    // The file that a Windows path of the fixed drive stands for in this test.
    std::string FileAt(const std::string &windowsPath) const;
    void SetScenario(const std::string &scenario);
    void Load();
    void Unload();
    // A fresh plug-in (and library, journal and notes) initialised against
    // the simulator or a variant in the given scenario.
    void StartSession(const std::string &scenario, const std::string &file = "DRAV.dll");
    // The journal's lines whose entry point is `name`.
    std::vector<std::string> JournalOf(const std::string &name) const;
    short Op(unsigned code, void *record = nullptr);
    // From now on every call runs under this host state, and must leave the
    // control words and the SSE flags as they were, and in x87 the host's
    // flags and none that its control word unmasks.
    void HostFloat(const HostFloatState &state) { hostFloat_ = state; hostFloatOn_ = true; }
    // Sets a C locale with a decimal comma in this process; false with the
    // reason when this machine has none.
    bool UseDecimalCommaLocale(std::string *why);
    // Back to the C locale and the default floating-point state (as at SetUp).
    void DefaultHost();
    // Whether the processor's control words are the host's now (for the
    // host's own code that the plug-in lets run, say).
    bool InHostFloatState() const;

    // Host steps, each checking the host's bytes and the answer 0.
    void Initialize();
    void Open() { EXPECT_EQ(Op(op_TelescopeOpen), 0); }
    void Close() { EXPECT_EQ(Op(op_TelescopeClose), 0); }
    void Configure() { EXPECT_EQ(Op(op_TelescopeConfigure), 0); }
    void Track() { EXPECT_EQ(Op(op_TelescopeTrack), 0); }
    void Terminate() { EXPECT_EQ(Op(op_Terminate), 0); }
    void Slew(double ra, double dec) { Targeted(op_TelescopeSlew, ra, dec); }
    void Sync(double ra, double dec) { Targeted(op_TelescopeSync, ra, dec); }
    void Targeted(unsigned code, double ra, double dec);
    IdleAnswer Idle();
    // The centring request an op_Idle pointed at: RA, Dec and the three flags.
    struct Centre { double ra, dec; unsigned useCustomPan, pan, adjustFOV; double newFOV; };
    static Centre CentreAt(const void *params);

    // A window of the host on the test's thread, in front, with the focus on
    // a button of its own (and disabled if asked), as a windowed host has it
    // when the user starts a go-to. False where no window can be made (on
    // POSIX, and under Wine without a display or its null graphics driver);
    // a failure where one should be (on Windows, and under Wine given the
    // null graphics driver, as tools/wine-run.sh gives the suite's prefix).
    bool OpenHostWindow(bool disabled = false);
    void CloseHostWindow();
    // More top-level windows of the host on the test's thread: a hidden
    // application window owning a form (as a Delphi program has them),
    // another window, one disabled already ("off"), one to destroy ("gone"),
    // and `plain` more. After OpenHostWindow.
    void OpenMoreHostWindows(unsigned plain);
    void DestroyHostWindow(const char *name);
    // Each window the test opened and still has, in order: its name and "+"
    // when it is enabled, "-" when not.
    std::string HostWindowStates() const;
    // Runs `call` once from the host's code between the first two polls of
    // the next go-to: from a message that the wait's loop dispatches to the
    // host's window where there is one, otherwise from the wait's pause.
    void BetweenPolls(std::function<void()> call);
    WaitBoxView WaitBox() const;
    // Posts the input to the box that is up; false when none is.
    bool PostToWaitBox(WaitBoxInput input);
    // The host's quit request (WM_QUIT) posted now; the one in the queue taken
    // out, its code, or -1 when there is none.
    void PostHostQuit(int code);
    int TakeHostQuit();

    // Unloads the plug-in and returns telelog.txt, byte for byte.
    std::string LogAfterUnload();
    bool LogExists() const;
    std::vector<std::string> Journal() const;
    std::vector<std::string> NoteTexts() const;
    // Whether the control library is still mapped into this process.
    bool LibraryStillLoaded() const;
    // Whether the plug-in's file is still mapped into this process.
    bool PlugInMapped() const;

    std::string dir_;      // this test's own current directory
    std::string journal_;  // the simulator's journal
    LoadedPlugin plugin_;

private:
    void CheckNoteKinds() const;
    HostFloatState hostFloat_ = {};
    bool hostFloatOn_ = false;
    std::string previousDir_;
    std::string installedAt_;
};

// Whether the plug-in under test is the Windows one (under Wine).
#ifdef _WIN32
constexpr bool kWindowsPlugIn = true;
#else
constexpr bool kWindowsPlugIn = false;
#endif

// A Unix path (of the build tree, say) in the form this platform's file calls
// take: under Wine the Unix root is drive Z:.
std::string FromUnixPath(const std::string &unixPath);
std::string SimulatorFile(const std::string &file);
std::vector<std::string> FilesIn(const std::string &dir); // names, sorted
std::string JoinPath(const std::string &dir, const std::string &name);
bool ReadFile(const std::string &path, std::string *bytes);
bool WriteFile(const std::string &path, const std::string &bytes);
uint64_t FileSizeOnDisk(const std::string &path);

// Opens a file the way another program holding it would: no one else may open it meanwhile.
void *HoldFileExclusively(const std::string &path);
void ReleaseHeldFile(void *handle);

#endif
