// The floors: the least that the work of each host call needs, measured the
// same way as the plug-in's figures so that the summary can divide them.
#include "BenchSession.h"
#include "LogLine.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string>

// An entry that does nothing, reached like DoOperation: through a pointer
// known only at run time.
extern "C" __attribute__((noinline)) short EmptyOperation(unsigned int, void *)
{
    return 0;
}
static DoOperationFn volatile emptyOperation = EmptyOperation;

static void Floor_EmptyCall(benchmark::State &state)
{
    DoOperationFn call = emptyOperation;
    unsigned char record[64] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(call(op_About, record));
}
BENCHMARK(Floor_EmptyCall);

// The clock the plug-in reads on this build: the host's PlugHost_Milliseconds,
// found by the plug-in at load and called through a pointer; on the real clock
// that is one CLOCK_MONOTONIC read.
static uint64_t (*volatile hostClock)(void) = PlugHost_Milliseconds;

static void Floor_ClockRead(benchmark::State &state)
{
    UseVirtualClock(false);
    uint64_t (*read)(void) = hostClock;
    for (auto _ : state)
        benchmark::DoNotOptimize(read());
}
BENCHMARK(Floor_ClockRead);

// The same bytes as the plug-in's position entry, by one fprintf onto a fully
// buffered stream of the same buffer size.
static void Floor_Fprintf(benchmark::State &state)
{
    LogLineFile file("floor.txt");
    for (auto _ : state) {
        fprintf(file.stream, kPositionFormat, kPositionHours, kPositionDegrees);
        file.KeepSmall(state);
    }
}
BENCHMARK(Floor_Fprintf);

// What a due idle call cannot do without: one position read from the
// simulator, called directly, and its entry written as above.
static void Floor_PositionReadAndEntry(benchmark::State &state)
{
    SetHostEnvironment("DRAV_SIM_SCENARIO", "align=both");
    void *library = dlopen(SimulatorPath(), RTLD_NOW | RTLD_LOCAL);
    struct DRAV_Coords {
        double X, Y;
    };
    typedef unsigned short (*ReadFn)(DRAV_Coords *);
    ReadFn read = library ? (ReadFn)dlsym(library, "TCS_GetCelestialCoords") : nullptr;
    if (read == nullptr) {
        state.SkipWithError("cannot load the simulator");
        return;
    }
    LogLineFile file("floor.txt");
    DRAV_Coords position;
    for (auto _ : state) {
        benchmark::DoNotOptimize(read(&position));
        fprintf(file.stream, kPositionFormat, kPositionHours, kPositionDegrees);
        file.KeepSmall(state);
    }
    dlclose(library);
}
BENCHMARK(Floor_PositionReadAndEntry);
