// One log entry of the plug-in: its own LogEntry onto its own log stream
// (the binding's code, linked into this program), with the position entry's
// format and angle texts. The floor is Floor_Fprintf.
#include "ControlLibraryBinding.h"
#include "LogLine.h"

#include <benchmark/benchmark.h>
#include <string.h>

static void LogEntry_Position(benchmark::State &state)
{
    char hours[kAngleTextSize], degrees[kAngleTextSize];
    LoadHourStrFromRads(hours, 1.5);
    LoadDegreeStrFromRads(degrees, -0.25, 1);
    if (strcmp(hours, kPositionHours) != 0 || strcmp(degrees, kPositionDegrees) != 0) {
        state.SkipWithError("the floor's angle texts differ from the plug-in's");
        return;
    }
    if (!OpenLogFile()) {
        state.SkipWithError("cannot open telelog.txt");
        return;
    }
    long written = 0;
    for (auto _ : state) {
        LogEntry(kPositionFormat, hours, degrees);
        if (++written % kEntriesPerFile == 0) {
            state.PauseTiming();
            CloseLogFile();
            OpenLogFile();
            state.ResumeTiming();
        }
    }
    CloseLogFile();
}
BENCHMARK(LogEntry_Position);
