// The go-to wait on the real clock over a slew that the simulator makes last
// a given time: CPU time and log bytes per second of slew. The floor polls
// the same library back to back, writing the plug-in's progress entry (with
// its CR LF) for every poll, as a wait without pauses would.
#include "BenchSession.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string>

namespace {

const double kTargetDeclination = 0.5; // radians from the simulator's start at (0, 0)

// The simulator's slew rate that makes the slew last `seconds`.
std::string ScenarioFor(double seconds)
{
    const double degrees = kTargetDeclination * 180.0 / 3.14159265358979323846;
    char text[96];
    snprintf(text, sizeof text, "align=both,rate=%.17g", degrees / seconds);
    return text;
}

void Report(benchmark::State &state, double cpu, double wall, double logBytes, double polls)
{
    state.SetIterationTime(wall);
    state.counters["slew_s"] = wall;
    state.counters["cpu_pct_of_core"] = 100.0 * cpu / wall;
    state.counters["log_B_per_s"] = logBytes / wall;
    state.counters["polls_per_s"] = polls / wall;
}

size_t Count(const std::string &text, const char *what, size_t from)
{
    size_t n = 0;
    for (size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

void GoToWait(benchmark::State &state, double seconds)
{
    for (auto _ : state) {
        Session session;
        std::string error;
        if (!session.Start(ScenarioFor(seconds).c_str(), true, false, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        PTelescopeTarget target = {};
        target.fDeclination = kTargetDeclination;
        const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
        session.Do(op_TelescopeSlew, &target);
        const double cpu = CpuSeconds() - cpu0, wall = WallSeconds() - wall0;
        session.Stop(); // the log is on disk once the plug-in is unloaded
        const std::string log = ReadLog();
        const size_t start = log.find("Goto (");
        if (start == std::string::npos || log.find("GoTo 100%", start) == std::string::npos) {
            state.SkipWithError("the go-to did not run to 100%");
            return;
        }
        Report(state, cpu, wall, (double)(log.size() - start), (double)Count(log, "GoTo ", start));
    }
}

void GoToBackToBack(benchmark::State &state, double seconds)
{
    struct DRAV_Coords {
        double X, Y;
    };
    typedef unsigned short (*GoToFn)(DRAV_Coords);
    typedef unsigned short (*ProgressFn)(unsigned short *);
    for (auto _ : state) {
        SetHostEnvironment("DRAV_SIM_SCENARIO", ScenarioFor(seconds).c_str());
        void *library = dlopen(SimulatorPath(), RTLD_NOW | RTLD_LOCAL);
        GoToFn goTo = library ? (GoToFn)dlsym(library, "TCS_GoToCelestialCoords") : nullptr;
        ProgressFn progress = library ? (ProgressFn)dlsym(library, "TCS_GetGoToProgress") : nullptr;
        if (goTo == nullptr || progress == nullptr) {
            state.SkipWithError("cannot load the simulator");
            return;
        }
        FILE *log = fopen("/dev/null", "w");
        static char buffer[4096];
        setvbuf(log, buffer, _IOFBF, sizeof buffer);
        const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
        double bytes = 0, polls = 0;
        if (goTo(DRAV_Coords{0.0, kTargetDeclination}) == 1) {
            for (unsigned short p = 0; p < 100; ++polls) {
                progress(&p);
                bytes += fprintf(log, "GoTo %d%%\r\n", p);
            }
        }
        const double cpu = CpuSeconds() - cpu0, wall = WallSeconds() - wall0;
        fclose(log);
        dlclose(library);
        if (polls == 0) {
            state.SkipWithError("the simulator did not launch the go-to");
            return;
        }
        Report(state, cpu, wall, bytes, polls);
    }
}
