#include "BenchSession.h"

#include <filesystem>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

static std::string scratch;

static void RemoveScratch()
{
    std::error_code ignored;
    if (!scratch.empty())
        fs::remove_all(scratch, ignored); // the simulator is linked in, not copied
}

void SetUpScratch()
{
    char pattern[] = "/tmp/telescope-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    scratch = pattern;
    atexit(RemoveScratch);
    const fs::path system = fs::path(scratch) / "Program Files" / "Common Files" / "System";
    fs::create_directories(system);
    fs::create_symlink(SimulatorPath(), system / "DRAV.dll");
    if (chdir(scratch.c_str()) != 0) {
        perror("chdir");
        exit(1);
    }
    SetHostEnvironment("TELESCOPE_DRIVE_C", scratch.c_str());
    SetHostEnvironment("DRAV_SIM_JOURNAL", nullptr); // no journal: it would be timed too
}

const std::string &ScratchFolder() { return scratch; }

const char *SimulatorPath() { return SIMULATOR_LIBRARY; }

bool Session::Start(const char *scenario, bool open, bool track, std::string *error)
{
    SetHostEnvironment("DRAV_SIM_SCENARIO", scenario);
    if (!LoadPlugin(TELESCOPE_PLUG_PATH, &plugin, error))
        return false;
    PInitialize init;
    memset(&init, 0, sizeof init);
    init.fPluginAPI = 4;
    Do(op_Initialize, &init);
    if (open)
        Do(op_TelescopeOpen, nullptr);
    if (track)
        Do(op_TelescopeTrack, nullptr);
    for (const CapturedNote &note : CapturedNotes()) {
        if (note.text.find("failed.") != std::string::npos) { // the two initialisation failures
            *error = "initialisation: " + note.text;
            Stop();
            return false;
        }
    }
    return true;
}

void Session::Stop()
{
    if (plugin.module == nullptr)
        return;
    Do(op_Terminate, nullptr); // releases the simulator, so the next session reads its scenario afresh
    UnloadPlugin(&plugin);
    ClearCapturedNotes();
}

std::string ReadLog()
{
    std::string bytes;
    ReadWholeFile(scratch + "/telelog.txt", &bytes);
    return bytes;
}

double CpuSeconds()
{
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double WallSeconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
