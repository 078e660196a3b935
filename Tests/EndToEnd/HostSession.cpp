// The end-to-end fixture and its host records. The only platform-aware code
// of the suite: paths, the fixed library place, holding a file open.
#include "HostSession.h"

#include <algorithm>
#include <filesystem>
#include <locale.h>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace HostLayout;

const char kFixedLibraryPath[] = "c:\\Program Files\\Common Files\\System\\DRAV.dll";

// ---------------------------------------------------------------------------
// Host records
// ---------------------------------------------------------------------------

::testing::AssertionResult AsExpected(const CanaryRecord &r)
{
    const std::string differences = r.Differences();
    if (differences.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << r.layout().name << ": " << differences;
}

CanaryRecord InitializeRecord(int32_t pluginAPI)
{
    CanaryRecord r(InitializeLayout());
    r.Put<int32_t>(kInitPluginAPI, pluginAPI);
    return r;
}

CanaryRecord MenuStatusRecord(int32_t command)
{
    CanaryRecord r(MenuStatusLayout());
    r.Put<int32_t>(kMenuCommand, command);
    return r;
}

CanaryRecord TargetRecord(double ra, double dec)
{
    CanaryRecord r(TelescopeTargetLayout());
    r.Put(kTargetRA, ra);
    r.Put(kTargetDec, dec);
    return r;
}

CanaryRecord DoContextRecord(int32_t command, double ra, double dec)
{
    CanaryRecord r(DoContextLayout());
    r.Put<int32_t>(kDoContextMenuCommand, command);
    r.Put(kDoContextRA, ra);
    r.Put(kDoContextDec, dec);
    return r;
}

CanaryRecord BuildContextRecord(void *menu)
{
    CanaryRecord r(BuildContextLayout());
    r.Put(kBuildMenuHandle, menu);
    return r;
}

CanaryRecord RecordFor(unsigned code, unsigned seed) { return CanaryRecord(LayoutFor(code), seed); }

// ---------------------------------------------------------------------------
// Paths and files
// ---------------------------------------------------------------------------

// A path of the build tree (a Unix path) as this platform's calls take it:
// under Wine the Unix root is drive Z:.
std::string FromUnixPath(const std::string &unixPath)
{
#ifdef _WIN32
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
#else
    return unixPath;
#endif
}

std::string SimulatorFile(const std::string &file) { return FromUnixPath(TEST_SIMULATOR_DIR "/" + file); }
std::string JoinPath(const std::string &dir, const std::string &name) { return (fs::path(dir) / name).string(); }

bool ReadFile(const std::string &path, std::string *bytes) { return ReadWholeFile(path, bytes); }

std::vector<std::string> FilesIn(const std::string &dir)
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool WriteFile(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

uint64_t FileSizeOnDisk(const std::string &path)
{
    std::error_code error;
    uintmax_t size = fs::file_size(path, error);
    return error ? UINT64_MAX : (uint64_t)size;
}

// Where the plug-in's fixed library path lands for this test.
static std::string FixedLibraryFile(const std::string &dir)
{
#ifdef _WIN32
    (void)dir;
    return kFixedLibraryPath;
#else
    return JoinPath(dir, "drive_c/Program Files/Common Files/System/DRAV.dll");
#endif
}

std::string PlugInTest::FileAt(const std::string &windowsPath) const
{
#ifdef _WIN32
    return windowsPath;
#else
    std::string path = JoinPath(dir_, "drive_c") + windowsPath.substr(2);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
#endif
}

std::string PlugInTest::CommonFilesLibraryPath() const
{
#ifdef _WIN32
    char folder[MAX_PATH] = "";
    SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES_COMMON, NULL, SHGFP_TYPE_CURRENT, folder);
#else
    const char *folder = getenv("CommonProgramFiles");
#endif
    return std::string(folder) + "\\System\\DRAV.dll";
}

void *HoldFileExclusively(const std::string &path)
{
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    return h == INVALID_HANDLE_VALUE ? nullptr : (void *)h;
#else
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
        return nullptr;
    return (void *)(intptr_t)(fd + 1);
#endif
}

void ReleaseHeldFile(void *handle)
{
#ifdef _WIN32
    CloseHandle((HANDLE)handle);
#else
    close((int)(intptr_t)handle - 1);
#endif
}

// Drops every reference to the control library that a test left behind (a
// plug-in unloaded without op_Terminate keeps its library), so the next test
// loads the file afresh.
static void ReleaseLingeringLibrary(const std::string &file)
{
    for (int i = 0; i < 16; ++i) {
#ifdef _WIN32
        (void)file;
        HMODULE h = GetModuleHandleA(kFixedLibraryPath);
        if (h == NULL)
            return;
        FreeLibrary(h);
#else
        void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (h == nullptr)
            return;
        dlclose(h);
        dlclose(h);
#endif
    }
}

// ---------------------------------------------------------------------------
// Fixture
// ---------------------------------------------------------------------------

static unsigned long ProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

void PlugInTest::SetUp()
{
    static int counter = 0;
    fs::path dir = fs::temp_directory_path() /
                   ("telescope-e2e-" + std::to_string(ProcessId()) + "-" + std::to_string(++counter));
    fs::remove_all(dir);
    fs::create_directories(dir);
    dir_ = dir.string();
    journal_ = JoinPath(dir_, "journal.txt");
    previousDir_ = fs::current_path().string();
    fs::current_path(dir);

    SetHostEnvironment("DRAV_SIM_SCENARIO", nullptr);
    SetHostEnvironment("DRAV_SIM_JOURNAL", nullptr);
#ifndef _WIN32
    SetHostEnvironment("TELESCOPE_DRIVE_C", JoinPath(dir_, "drive_c").c_str());
    // As Windows sets it for a 32-bit program on a 64-bit system.
    SetHostEnvironment("CommonProgramFiles", "C:\\Program Files (x86)\\Common Files");
#endif
    std::error_code ignored;
    fs::remove(FixedLibraryFile(dir_), ignored);
    ClearCapturedNotes();
    UseVirtualClock(true, 10000000);
    ResetSleepCount();
    ScriptEscapeKey({}, true);
    OfferTickCount64(true);
    ClearLibraryLoads();
    Load();
}

void PlugInTest::TearDown()
{
    OnNote(nullptr);
    OnLibraryCall(nullptr);
    AtNextPause(nullptr);
    CloseHostWindow();
    Unload();
    ReleaseLingeringLibrary(FixedLibraryFile(dir_));
    CheckNoteKinds();
    DefaultHost();
    fs::current_path(previousDir_);
    std::error_code ignored;
    fs::remove(FixedLibraryFile(dir_), ignored);
    if (HasFailure())
        fprintf(stderr, "kept %s\n", dir_.c_str());
    else
        fs::remove_all(dir_, ignored);
}

void PlugInTest::InstallLibrary(const std::string &file)
{
    installedAt_ = FixedLibraryFile(dir_);
    fs::create_directories(fs::path(installedAt_).parent_path());
    fs::copy_file(SimulatorFile(file), installedAt_, fs::copy_options::overwrite_existing);
    SetHostEnvironment("DRAV_SIM_JOURNAL", journal_.c_str());
}

// Every note, whoever showed it, is the one kind of message box.
void PlugInTest::CheckNoteKinds() const
{
    for (const CapturedNote &note : CapturedNotes()) {
        EXPECT_EQ(note.caption, "Telescope Controller") << note.text;
        EXPECT_EQ(note.style, 0x1000u) << note.text;
        EXPECT_EQ(note.owner, kFocusWindow) << note.text;
    }
}

void PlugInTest::StartSession(const std::string &scenario, const std::string &file)
{
    CheckNoteKinds();
    ClearCapturedNotes();
    Unload();
    ReleaseLingeringLibrary(FixedLibraryFile(dir_));
    std::error_code ignored;
    fs::remove(journal_, ignored);
    InstallLibrary(file);
    SetScenario(scenario);
    Load();
    Initialize();
}

std::vector<std::string> PlugInTest::JournalOf(const std::string &name) const
{
    std::vector<std::string> lines;
    for (const std::string &line : Journal())
        if (line.compare(0, name.size() + 1, name + "(") == 0)
            lines.push_back(line);
    return lines;
}

void PlugInTest::SetScenario(const std::string &scenario)
{
    SetHostEnvironment("DRAV_SIM_SCENARIO", scenario.c_str());
}

void PlugInTest::Load()
{
    std::string error;
    ASSERT_TRUE(LoadPlugin(FromUnixPath(TEST_PLUGIN_PATH).c_str(), &plugin_, &error)) << error;
}

void PlugInTest::Unload() { UnloadPlugin(&plugin_); }

namespace {
struct FloatUnits {
    uint16_t x87Control, x87Status;
    uint32_t mxcsr;
};
FloatUnits ReadFloatUnits()
{
    FloatUnits u;
    __asm__ volatile("fnstcw %0" : "=m"(u.x87Control));
    __asm__ volatile("fnstsw %0" : "=m"(u.x87Status));
    __asm__ volatile("stmxcsr %0" : "=m"(u.mxcsr));
    return u;
}
void LoadFloatUnits(uint16_t x87Control, uint16_t x87Status, uint32_t mxcsr)
{
    uint32_t environment[7];
    __asm__ volatile("fnstenv %0" : "=m"(environment));
    environment[0] = (environment[0] & 0xFFFF0000u) | x87Control;
    environment[1] = (environment[1] & 0xFFFF0000u) | x87Status;
    __asm__ volatile("fldenv %0" : : "m"(environment));
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
}
} // namespace

short PlugInTest::Op(unsigned code, void *record)
{
    EXPECT_NE(plugin_.DoOperation, nullptr);
    if (plugin_.DoOperation == nullptr)
        return -1;
    if (!hostFloatOn_)
        return plugin_.DoOperation(code, record);
    const FloatUnits own = ReadFloatUnits();
    LoadFloatUnits(hostFloat_.x87Control, hostFloat_.x87Status, hostFloat_.mxcsr);
    const FloatUnits host = ReadFloatUnits(); // as the processor keeps it (reserved bits set)
    const short answer = plugin_.DoOperation(code, record);
    const FloatUnits after = ReadFloatUnits();
    // As it was, flags included: a call made from the host's own code (from
    // a loop of the plug-in's) must leave that code's state alone too.
    LoadFloatUnits(own.x87Control, own.x87Status, own.mxcsr);
    EXPECT_EQ(after.x87Control, host.x87Control) << "x87 control word after code " << code;
    EXPECT_EQ(after.x87Status & host.x87Status & 0x3F, host.x87Status & 0x3F)
        << "the host's x87 flags after code " << code;
    EXPECT_EQ(after.x87Status & ~host.x87Control & 0x3F, 0) << "unmasked x87 flags after code " << code;
    EXPECT_EQ(after.mxcsr, host.mxcsr) << "MXCSR after code " << code;
    return answer;
}

bool PlugInTest::InHostFloatState() const
{
    const FloatUnits now = ReadFloatUnits();
    const uint16_t x87 = 0x1F3F; // precision, rounding, masks
    const uint32_t sse = ~0x3Fu; // all but the flags
    return (now.x87Control & x87) == (hostFloat_.x87Control & x87) && (now.mxcsr & sse) == (hostFloat_.mxcsr & sse);
}

void PlugInTest::DefaultHost()
{
    hostFloatOn_ = false;
    setlocale(LC_ALL, "C");
}

bool PlugInTest::UseDecimalCommaLocale(std::string *why)
{
#ifdef _WIN32
    const char *name = "French";
#else
    // Generated by the build, since a machine need not have it installed.
    SetHostEnvironment("LOCPATH", TEST_LOCALE_DIR);
    const char *name = "fr_FR.UTF-8";
#endif
    if (setlocale(LC_ALL, name) == nullptr) {
        *why = std::string("no locale ") + name;
        return false;
    }
    char text[16];
    snprintf(text, sizeof text, "%.1f", 1.5);
    if (strcmp(text, "1,5") != 0) {
        *why = std::string(name) + " writes 1.5 as " + text;
        setlocale(LC_ALL, "C");
        return false;
    }
    return true;
}

void ExpectInitializeAnswer(CanaryRecord *r)
{
    r->Expect<int32_t>(kInitPluginAPI, 4);
    r->Expect<uint8_t>(kInitSuccess, 1);
    r->Expect<uint8_t>(kInitWantsMenuItem, 0);
    r->Expect<uint8_t>(kInitWantsIdleTime, 1);
    r->Expect<uint8_t>(kInitWantsWindow, 0);
    r->Expect<int32_t>(kInitLayer, 40000);
    r->Expect<uint8_t>(kInitIsTelescopeController, 1);
    r->Expect<uint8_t>(kInitWindowMenuItem, 0); // emptied: the length byte alone
    r->Expect<uint8_t>(kInitAboutMenuItem, 0);
    r->Expect<uint8_t>(kInitOptionsMenuItem, 0);
}

void ExpectIndicatorAnswer(CanaryRecord *r)
{
    r->Expect<uint8_t>(kIndDrawIndicator, 1);
    r->Expect<uint8_t>(kIndStyle, 0);
    r->Expect<uint8_t>(kIndDoneDrawing, 1);
    r->Expect(kIndVertical, 0.0174);
    r->Expect(kIndHorizontal, 0.0);
    r->Expect(kIndRollAngle, 0.0);
    r->ExpectPString(kIndString, "Vantorel");
}

void PlugInTest::Initialize()
{
    CanaryRecord r = InitializeRecord(4);
    EXPECT_EQ(Op(op_Initialize, r.data()), 0);
    ExpectInitializeAnswer(&r);
    EXPECT_TRUE(AsExpected(r));
}

void PlugInTest::Targeted(unsigned code, double ra, double dec)
{
    CanaryRecord r = TargetRecord(ra, dec);
    EXPECT_EQ(Op(code, r.data()), 0);
    EXPECT_TRUE(AsExpected(r));
}

IdleAnswer PlugInTest::Idle()
{
    CanaryRecord event(EventLayout(), 1), eventRecord(EventRecordLayout(), 2);
    event.Put<void *>(kEventRecordPointer, eventRecord.data());
    const uint8_t hostOperation = event.Get<uint8_t>(kEventOutOperation);
    const void *hostParams = event.Get<void *>(kEventOutParams);
    EXPECT_EQ(Op(op_Idle, event.data()), 0);
    IdleAnswer answer;
    answer.operation = event.Get<uint8_t>(kEventOutOperation);
    answer.params = event.Get<void *>(kEventOutParams);
    answer.untouched = answer.operation == hostOperation && answer.params == hostParams;
    // Anything else is one of the two requests the plug-in makes: centring on
    // a point it holds, or an update (during a go-to wait) without parameters.
    if (!answer.untouched) {
        const bool centring = answer.operation == out_CentrePoint && answer.params != nullptr;
        const bool update = answer.operation == out_Update && answer.params == nullptr;
        EXPECT_TRUE(centring || update) << "idle answered " << answer.operation << " with " << answer.params;
    }
    event.Expect<uint8_t>(kEventOutOperation, (uint8_t)answer.operation);
    event.Expect(kEventOutParams, answer.params);
    EXPECT_TRUE(AsExpected(event));
    EXPECT_TRUE(AsExpected(eventRecord));
    return answer;
}

PlugInTest::Centre PlugInTest::CentreAt(const void *params)
{
    const unsigned char *p = (const unsigned char *)params;
    Centre c;
    memcpy(&c.ra, p + kCentreRA, 8);
    memcpy(&c.dec, p + kCentreDec, 8);
    memcpy(&c.newFOV, p + kCentreNewFOV, 8);
    c.useCustomPan = p[kCentreUseCustomPan];
    c.pan = p[kCentrePan];
    c.adjustFOV = p[kCentreAdjustFOV];
    return c;
}

std::string PlugInTest::LogAfterUnload()
{
    Unload();
    std::string log;
    EXPECT_TRUE(ReadFile(JoinPath(dir_, "telelog.txt"), &log)) << "no telelog.txt in " << dir_;
    return log;
}

bool PlugInTest::LogExists() const { return fs::exists(JoinPath(dir_, "telelog.txt")); }

std::vector<std::string> PlugInTest::Journal() const
{
    std::string text;
    std::vector<std::string> lines;
    if (!ReadFile(journal_, &text))
        return lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> PlugInTest::NoteTexts() const
{
    std::vector<std::string> texts;
    for (const CapturedNote &note : CapturedNotes())
        texts.push_back(note.text);
    return texts;
}

bool PlugInTest::PlugInMapped() const
{
#ifdef _WIN32
    return GetModuleHandleA(FromUnixPath(TEST_PLUGIN_PATH).c_str()) != NULL;
#else
    void *h = dlopen(TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr)
        dlclose(h);
    return h != nullptr;
#endif
}

bool PlugInTest::LibraryStillLoaded() const
{
#ifdef _WIN32
    return GetModuleHandleA(kFixedLibraryPath) != NULL;
#else
    void *h = dlopen(FixedLibraryFile(dir_).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr)
        dlclose(h);
    return h != nullptr;
#endif
}

// ---------------------------------------------------------------------------
// The host's window
// ---------------------------------------------------------------------------

#ifdef _WIN32
namespace {
const UINT kRunHostCall = WM_APP + 1;
struct NamedWindow {
    std::string name;
    HWND window;
};
struct HostWindowState {
    HWND window = NULL, button = NULL;
    std::vector<NamedWindow> more; // the windows of OpenMoreHostWindows
    std::function<void()> call;
};
HostWindowState hostWindow;

// Windows should be made here: on Windows itself, and under Wine where the
// prefix's graphics driver is its null one, which needs no display.
bool WindowsExpected()
{
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr)
        return true;
    HKEY key;
    char driver[64] = "";
    DWORD size = sizeof driver - 1;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const bool read = RegQueryValueExA(key, "Graphics", NULL, NULL, (BYTE *)driver, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return read && strcmp(driver, "null") == 0;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kRunHostCall)
        return DefWindowProcA(window, message, wParam, lParam);
    std::function<void()> call = std::move(hostWindow.call);
    hostWindow.call = nullptr;
    if (call)
        call();
    return 0;
}

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM found)
{
    if (window == hostWindow.window || GetWindow(window, GW_OWNER) != hostWindow.window || !IsWindowVisible(window))
        return TRUE;
    *(HWND *)found = window;
    return FALSE;
}
} // namespace

bool PlugInTest::OpenHostWindow(bool disabled)
{
    CloseHostWindow();
    static ATOM windowClass = 0;
    HINSTANCE instance = GetModuleHandleA(NULL);
    if (windowClass == 0) {
        WNDCLASSA c = {};
        c.lpfnWndProc = HostWindowProc;
        c.hInstance = instance;
        c.lpszClassName = "telescope-e2e-host";
        windowClass = RegisterClassA(&c);
    }
    hostWindow.window = CreateWindowA("telescope-e2e-host", "host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, NULL, NULL,
                                      instance, NULL);
    if (hostWindow.window == NULL) {
        // No desktop (Wine without a display, unless its graphics driver is "null").
        EXPECT_FALSE(WindowsExpected()) << "no window made (error " << GetLastError() << ") where one should be";
        return false;
    }
    hostWindow.button = CreateWindowA("BUTTON", "chart", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 10, 10, 80, 24,
                                      hostWindow.window, (HMENU)1, instance, NULL);
    ShowWindow(hostWindow.window, SW_SHOW);
    SetForegroundWindow(hostWindow.window);
    SetFocus(hostWindow.button);
    if (disabled)
        EnableWindow(hostWindow.window, FALSE);
    return true;
}

void PlugInTest::CloseHostWindow()
{
    for (const NamedWindow &w : hostWindow.more)
        DestroyWindow(w.window);
    if (hostWindow.window != NULL)
        DestroyWindow(hostWindow.window);
    hostWindow = HostWindowState();
}

void PlugInTest::OpenMoreHostWindows(unsigned plain)
{
    HINSTANCE instance = GetModuleHandleA(NULL);
    auto open = [instance](const char *name, DWORD style, HWND owner) {
        HWND w = CreateWindowA("telescope-e2e-host", name, style, 0, 0, 200, 100, owner, NULL, instance, NULL);
        EXPECT_NE(w, (HWND)NULL) << name;
        hostWindow.more.push_back({name, w});
        return w;
    };
    HWND application = open("application", WS_POPUP, NULL); // never shown
    open("form", WS_OVERLAPPEDWINDOW | WS_VISIBLE, application);
    open("other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, NULL);
    open("off", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_DISABLED, NULL);
    open("gone", WS_OVERLAPPEDWINDOW | WS_VISIBLE, NULL);
    for (unsigned i = 1; i <= plain; ++i)
        open(("w" + std::to_string(i)).c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, NULL);
    SetForegroundWindow(hostWindow.window);
    SetFocus(hostWindow.button);
}

void PlugInTest::DestroyHostWindow(const char *name)
{
    auto w = std::find_if(hostWindow.more.begin(), hostWindow.more.end(),
                          [name](const NamedWindow &n) { return n.name == name; });
    ASSERT_NE(w, hostWindow.more.end()) << name;
    DestroyWindow(w->window);
    hostWindow.more.erase(w);
}

std::string PlugInTest::HostWindowStates() const
{
    std::string states;
    if (hostWindow.window != NULL)
        states = std::string("host") + (IsWindowEnabled(hostWindow.window) ? "+" : "-");
    for (const NamedWindow &w : hostWindow.more)
        states += " " + w.name + (IsWindowEnabled(w.window) ? "+" : "-");
    return states;
}

void PlugInTest::BetweenPolls(std::function<void()> call)
{
    if (hostWindow.window == NULL) {
        AtNextPause(std::move(call));
        return;
    }
    hostWindow.call = std::move(call);
    PostMessageA(hostWindow.window, kRunHostCall, 0, 0);
}

WaitBoxView PlugInTest::WaitBox() const
{
    WaitBoxView view;
    if (hostWindow.window == NULL)
        return view;
    HWND box = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindOwnedBox, (LPARAM)&box);
    char text[256] = "";
    if (box != NULL) {
        view.up = true;
        GetWindowTextA(box, text, sizeof text);
        view.caption = text;
        GetDlgItemTextA(box, 100, text, sizeof text);
        view.what = text;
    }
    view.ownerEnabled = IsWindowEnabled(hostWindow.window) != FALSE;
    view.focusOnHost = GetFocus() == hostWindow.button;
    return view;
}

bool PlugInTest::PostToWaitBox(WaitBoxInput input)
{
    HWND box = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindOwnedBox, (LPARAM)&box);
    if (box == NULL)
        return false;
    HWND stop = GetDlgItem(box, IDCANCEL);
    switch (input) {
    case kClickStop: return PostMessageA(stop, BM_CLICK, 0, 0) != FALSE;
    case kEscapeInBox: return PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1) != FALSE;
    case kCloseBox: return PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
    default: break;
    }
    // A key, posted to the focus as the keyboard sends it: bit 30 of a key
    // down when the key was down already (an auto-repeat), 30 and 31 on its up.
    const UINT key = input == kSpaceOnStop || input == kSpaceHeld ? VK_SPACE
                     : input == kEscapeHeld                       ? VK_ESCAPE
                                                                  : VK_RETURN;
    const bool held = input == kEnterHeld || input == kEscapeHeld || input == kSpaceHeld;
    HWND focus = GetFocus();
    return PostMessageA(focus, WM_KEYDOWN, key, held ? 0x40000001 : 1) &&
           PostMessageA(focus, WM_KEYUP, key, (LPARAM)0xC0000001u);
}

void PlugInTest::PostHostQuit(int code) { PostQuitMessage(code); }

int PlugInTest::TakeHostQuit()
{
    MSG message;
    return PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) ? (int)message.wParam : -1;
}
#else
bool PlugInTest::OpenHostWindow(bool) { return false; }
void PlugInTest::CloseHostWindow() {}
void PlugInTest::OpenMoreHostWindows(unsigned) {}
void PlugInTest::DestroyHostWindow(const char *) {}
std::string PlugInTest::HostWindowStates() const { return ""; }

void PlugInTest::BetweenPolls(std::function<void()> call) { AtNextPause(std::move(call)); }

WaitBoxView PlugInTest::WaitBox() const { return WaitBoxView(); }
bool PlugInTest::PostToWaitBox(WaitBoxInput) { return false; }
void PlugInTest::PostHostQuit(int) {}
int PlugInTest::TakeHostQuit() { return -1; }
#endif
