// The position entry that the log-entry figures write, and a plain fully
// buffered file for the floors that write the same bytes.
#ifndef LOG_LINE_H
#define LOG_LINE_H

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string>

// "TCS RA = %s Dec = %s\n" with the angle texts of (1.5, -0.25) radians.
const char kPositionFormat[] = "TCS RA = %s Dec = %s\n";
const char kPositionHours[] = "05:43:46.5";
const char kPositionDegrees[] = "-14:19:26";

// Entries written between two truncations of a benchmark's file, so that a
// long run does not fill the disk; the truncation is not timed.
const long kEntriesPerFile = 65536;

struct LogLineFile {
    std::string name;
    FILE *stream = nullptr;
    char buffer[4096];
    long written = 0;

    explicit LogLineFile(const char *fileName) : name(fileName) { Open(); }
    ~LogLineFile() { fclose(stream); }
    void Open()
    {
        stream = fopen(name.c_str(), "w");
        setvbuf(stream, buffer, _IOFBF, sizeof buffer); // as the plug-in's log
    }
    void KeepSmall(benchmark::State &state)
    {
        if (++written % kEntriesPerFile != 0)
            return;
        state.PauseTiming();
        fclose(stream);
        Open();
        state.ResumeTiming();
    }
};

#endif
