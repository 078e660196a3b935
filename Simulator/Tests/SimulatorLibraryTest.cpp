// The built control library, loaded as the plug-in loads it: the scenario
// and journal from the environment, the journal's exact lines, a go-to in
// real time, and the variants that lack exports.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <chrono>
#include <string>
#include <thread>

#include "DravInterface.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

typedef DRAV_Coords Coords;
// Calls through pointers of the very type of the exports.
typedef TCS_GetVersion_Fn GetVersionFn;
typedef TCS_GetControlStatus_Fn GetCodeFn;
typedef TCS_GetCelestialCoords_Fn GetCoordsFn;
typedef TCS_GoToCelestialCoords_Fn CoordsFn;
typedef TCS_SetCelestialAlignPoint_Fn AlignPointFn;
typedef TCS_KillMotion_Fn VoidFn;

std::string LibraryPath(const std::string &file)
{
    std::string path = std::string(SIMULATOR_OUTPUT_DIR) + "/" + file;
#ifdef _WIN32
    path = "Z:" + path; // the Unix root under Wine
#endif
    return path;
}

void SetEnv(const char *name, const char *value)
{
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
    _putenv((std::string(name) + "=" + value).c_str());
#else
    setenv(name, value, 1);
#endif
}

struct Library {
    void *handle = nullptr;
    explicit Library(const std::string &file)
    {
#ifdef _WIN32
        handle = (void *)LoadLibraryA(LibraryPath(file).c_str());
#else
        handle = dlopen(LibraryPath(file).c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~Library()
    {
#ifdef _WIN32
        if (handle) FreeLibrary((HMODULE)handle);
#else
        if (handle) dlclose(handle);
#endif
    }
    template <class Fn> Fn Get(const char *name) const
    {
#ifdef _WIN32
        return (Fn)(void *)GetProcAddress((HMODULE)handle, name);
#else
        return (Fn)dlsym(handle, name);
#endif
    }
};

std::string ReadFile(const std::string &path)
{
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

class SimulatorLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        journal_ = std::string("drav_journal_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        remove(journal_.c_str());
        SetEnv("DRAV_SIM_JOURNAL", journal_.c_str());
    }
    void TearDown() override { remove(journal_.c_str()); }
    std::string journal_;
};

TEST_F(SimulatorLibrary, JournalHoldsEachCallWithArgumentsAndAnswer)
{
    SetEnv("DRAV_SIM_SCENARIO", "start=1.5/-0.25,progress=40/100,points=0");
    {
        Library lib("DRAV.dll");
        ASSERT_NE(lib.handle, nullptr);
        char text[80];
        unsigned short code = 0;
        Coords pos = {0, 0};
        lib.Get<GetVersionFn>("TCS_GetVersion")(text, 80);
        lib.Get<GetCodeFn>("TCS_GetControlStatus")(&code);
        lib.Get<GetCodeFn>("TCS_GetAlignmentStatus")(&code);
        lib.Get<GetCoordsFn>("TCS_GetCelestialCoords")(&pos);
        EXPECT_EQ(lib.Get<VoidFn>("TCS_SetCelestialAlignFromAlignPoints")(), 2);
        lib.Get<AlignPointFn>("TCS_SetCelestialAlignPoint")({1.5, -0.25}, 1, 221);
        lib.Get<VoidFn>("TCS_SetCelestialAlignFromAlignPoints")();
        lib.Get<GetCoordsFn>("TCS_GetCelestialCoords")(&pos);
        EXPECT_EQ(lib.Get<CoordsFn>("TCS_GoToCelestialCoords")({1.5, 0.3}), 1);
        lib.Get<GetCodeFn>("TCS_GetGoToProgress")(&code);
        lib.Get<GetCodeFn>("TCS_GetGoToProgress")(&code);
        lib.Get<GetCoordsFn>("TCS_GetCelestialCoords")(&pos);
        lib.Get<CoordsFn>("TCS_Calibrate")({2.0, 0.5});
        lib.Get<VoidFn>("TCS_VoidCelestialAlign")();
        EXPECT_EQ(pos.X, 1.5);
        EXPECT_EQ(pos.Y, 0.3);
    }
    EXPECT_EQ(ReadFile(journal_),
              "TCS_GetVersion(size=80) -> 1 text=\"Vantorel Mount Simulator 1.0\"\n"
              "TCS_GetControlStatus() -> 1 code=200\n"
              "TCS_GetAlignmentStatus() -> 1 code=210\n"
              "TCS_GetCelestialCoords() -> 210\n"
              "TCS_SetCelestialAlignFromAlignPoints() -> 2\n"
              "TCS_SetCelestialAlignPoint(X=1.5,Y=-0.25,a=1,b=221) -> 1\n"
              "TCS_SetCelestialAlignFromAlignPoints() -> 1\n"
              "TCS_GetCelestialCoords() -> 1 X=1.5 Y=-0.25\n"
              "TCS_GoToCelestialCoords(X=1.5,Y=0.29999999999999999) -> 1\n"
              "TCS_GetGoToProgress() -> 1 percent=40\n"
              "TCS_GetGoToProgress() -> 1 percent=100\n"
              "TCS_GetCelestialCoords() -> 1 X=1.5 Y=0.29999999999999999\n"
              "TCS_Calibrate(X=2,Y=0.5) -> 1\n"
              "TCS_VoidCelestialAlign() -> 1\n");
}

TEST_F(SimulatorLibrary, EachLoadReadsTheScenarioAfresh)
{
    const struct { const char *scenario; unsigned short answer, code; } cases[] = {
        {"provider=inactive", 1, 201},
        {"provider=off", 3, 3},
        {"rate=fast", 3, 3}, // a bad scenario: the provider is off
        {"", 1, 200},
    };
    std::string expected;
    for (const auto &c : cases) {
        SetEnv("DRAV_SIM_SCENARIO", c.scenario);
        Library lib("DRAV.dll");
        ASSERT_NE(lib.handle, nullptr);
        unsigned short code = 0;
        EXPECT_EQ(lib.Get<GetCodeFn>("TCS_GetControlStatus")(&code), c.answer) << c.scenario;
        EXPECT_EQ(code, c.code) << c.scenario;
        expected += "TCS_GetControlStatus() -> " + std::to_string(c.answer) + " code=" + std::to_string(c.code) + "\n";
    }
    EXPECT_EQ(ReadFile(journal_), expected);
}

#ifdef _WIN32
// A load followed by an unload gives back every thread-local slot it took:
// the next free slot is the same before and after many of them.
TEST_F(SimulatorLibrary, LoadsAndUnloadsTakeNoThreadSlot)
{
    const auto nextFreeSlot = [] {
        const DWORD slot = TlsAlloc();
        TlsFree(slot);
        return slot;
    };
    const DWORD before = nextFreeSlot();
    for (int i = 0; i < 20; ++i) {
        Library lib("DRAV.dll");
        ASSERT_NE(lib.handle, nullptr);
        char text[80];
        EXPECT_EQ(lib.Get<GetVersionFn>("TCS_GetVersion")(text, 80), 1);
    }
    EXPECT_EQ(nextFreeSlot(), before);
}
#endif

TEST_F(SimulatorLibrary, GoToRunsInRealTime)
{
    // 3 degrees at 10 degrees a second: 0.3 s.
    SetEnv("DRAV_SIM_SCENARIO", "align=celestial,rate=10");
    Library lib("DRAV.dll");
    ASSERT_NE(lib.handle, nullptr);
    auto progress = lib.Get<GetCodeFn>("TCS_GetGoToProgress");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(lib.Get<CoordsFn>("TCS_GoToCelestialCoords")({0.0, 3 * 3.14159265358979323846 / 180}), 1);
    unsigned short percent = 0;
    int between = 0;
    while (progress(&percent) == 1 && percent < 100) {
        between += percent > 0;
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(percent, 100);
    EXPECT_GE(took, 0.3);
    EXPECT_GT(between, 0) << "no progress between 0 and 100 seen";
}

TEST(SimulatorVariants, EachLacksExactlyItsExports)
{
    const char *all[] = {
        "TCS_GetVersion", "TCS_GetControlStatus", "TCS_GetAlignmentStatus", "TCS_GetCelestialCoords",
        "TCS_GetGoToProgress", "TCS_GetScopeOrientation", "TCS_GetControlSettingUShort",
        "TCS_GetControlSettingDouble", "TCS_SelectTrackRate", "TCS_SetCelestialAlignPoint",
        "TCS_SetCelestialAlignFromAlignPoints", "TCS_VoidCelestialAlign", "TCS_Calibrate", "TCS_SetEpoch",
        "TCS_SetRefractionCorr", "TCS_SetRefractionTemperature", "TCS_SetRefractionPressure",
        "TCS_SetParkMark", "TCS_KillMotion", "TCS_GoToCelestialCoords", "TCS_GoToPark", "TCS_SetDispatchHooks",
    };
    const struct { const char *file; std::string missing; } variants[] = {
        {"DRAV.dll", ""},
        {"variants/DRAV_no_TCS_GetVersion.dll", " TCS_GetVersion "},
        {"variants/DRAV_no_TCS_GetControlStatus.dll", " TCS_GetControlStatus "},
        {"variants/DRAV_no_TCS_GetAlignmentStatus.dll", " TCS_GetAlignmentStatus "},
        {"variants/DRAV_no_TCS_GetCelestialCoords.dll", " TCS_GetCelestialCoords "},
        {"variants/DRAV_no_TCS_GetGoToProgress.dll", " TCS_GetGoToProgress "},
        {"variants/DRAV_no_TCS_GetScopeOrientation.dll", " TCS_GetScopeOrientation "},
        {"variants/DRAV_no_TCS_Calibrate.dll", " TCS_Calibrate "},
        {"variants/DRAV_no_TCS_KillMotion.dll", " TCS_KillMotion "},
        {"variants/DRAV_no_TCS_GoToCelestialCoords.dll", " TCS_GoToCelestialCoords "},
        {"variants/DRAV_no_TCS_GoToPark.dll", " TCS_GoToPark "},
        {"variants/DRAV_no_TCS_SetDispatchHooks.dll", " TCS_SetDispatchHooks "},
        {"variants/DRAV_no_several.dll", " TCS_GetVersion TCS_GetCelestialCoords TCS_Calibrate "},
    };
    for (const auto &v : variants) {
        Library lib(v.file);
        ASSERT_NE(lib.handle, nullptr) << v.file;
        for (const char *name : all) {
            bool expectMissing = v.missing.find(std::string(" ") + name + " ") != std::string::npos;
            EXPECT_EQ(lib.Get<void *>(name) == nullptr, expectMissing) << v.file << " " << name;
        }
    }
}

} // namespace
