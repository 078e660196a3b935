// The calls of idle_probe.py's child, for a Windows DRAV.dll under Wine:
// loads the library, makes the version call and the open's control status
// call (each timed), then for SECONDS the coordinates and go-to progress
// calls every PACE seconds, as the host's idle and drawing path makes them.
//
//   idle_probe LIBRARY SECONDS PACE
//
// Throughout the version and open calls a 10 ms timer of the thread's stands
// for the host's: each tick that a wait of the library dispatches calls the
// coordinates again, as the plug-in's nested-call rule lets the host's timer
// do. The probe hands the library its dispatch hooks, as the plug-in does:
// the host's floating-point state (rounding toward zero, here) while the
// host's code runs, the probe's own (to nearest) while the library's does.
//
// Prints one line of JSON, the fields idle_probe.py reads: the longest idle
// call, the share of the time inside the library, how long after the last
// new place the first refusal (3) came and whether a new place came after
// it, and for the version and open calls the longest time between two ticks
// dispatched, the ticks, the longest nested call, the ticks that did not
// find the host's state and whether the library's code was left in it
// after a call. Exit status 2 when the library or its entry points are
// missing.
#include "DravInterface.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static double Seconds(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
}

// The x87 control word and the SSE control of the host's state and of the
// probe's own: every exception masked in both, the rounding apart.
static const unsigned short kHostX87 = 0x0F7F, kOwnX87 = 0x037F;
static const unsigned kHostMxcsr = 0x7F80, kOwnMxcsr = 0x1F80;

static void LoadFloatState(unsigned short x87, unsigned mxcsr)
{
    __asm__ volatile("fldcw %0\n\tldmxcsr %1" : : "m"(x87), "m"(mxcsr));
}

static void ReadFloatState(unsigned short *x87, unsigned *mxcsr)
{
    __asm__ volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(*x87), "=m"(*mxcsr));
}

// 1 when the units are in that state (the SSE flags aside).
static int InFloatState(unsigned short x87, unsigned mxcsr)
{
    unsigned short control;
    unsigned sse;
    ReadFloatState(&control, &sse);
    return control == x87 && (sse & ~0x3Fu) == mxcsr;
}

static void TCS_CALL BeforeHostCode(void) { LoadFloatState(kHostX87, kHostMxcsr); }
static void TCS_CALL AfterHostCode(void) { LoadFloatState(kOwnX87, kOwnMxcsr); }

// The host's timer during one call: the longest gap between the call's start,
// its ticks and its end, what the nested calls took, and the ticks that ran
// in a state not the host's.
struct Ticks {
    double last, longestGap, longestNested;
    long count, foreign;
};
static Ticks gTicks;
static TCS_GetCelestialCoords_Fn gNestedCoords;

static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    double now = Seconds();
    if (now - gTicks.last > gTicks.longestGap)
        gTicks.longestGap = now - gTicks.last;
    unsigned short x87;
    unsigned mxcsr;
    ReadFloatState(&x87, &mxcsr);
    gTicks.foreign += !InFloatState(kHostX87, kHostMxcsr);
    DRAV_Coords where;
    AfterHostCode(); // the plug-in calls the library in its own state
    gNestedCoords(&where);
    LoadFloatState(x87, mxcsr); // and puts back the state it found
    gTicks.last = Seconds();
    if (gTicks.last - now > gTicks.longestNested)
        gTicks.longestNested = gTicks.last - now;
    ++gTicks.count;
}

static void StartTicks(void)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
    }
    gTicks.longestGap = gTicks.longestNested = 0;
    gTicks.count = gTicks.foreign = 0;
    gTicks.last = Seconds();
}

static void EndTicks(char *json, int size, const char *name)
{
    double now = Seconds();
    if (now - gTicks.last > gTicks.longestGap)
        gTicks.longestGap = now - gTicks.last;
    snprintf(json, (size_t)size,
             "\"%s_gap_s\": %.6f, \"%s_ticks\": %ld, \"%s_nested_s\": %.6f, \"%s_foreign_ticks\": %ld", name,
             gTicks.longestGap, name, gTicks.count, name, gTicks.longestNested, name, gTicks.foreign);
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: idle_probe LIBRARY SECONDS PACE\n");
        return 2;
    }
    const double seconds = atof(argv[2]), pace = atof(argv[3]);
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL)
        return 2;
    TCS_GetVersion_Fn getVersion = (TCS_GetVersion_Fn)(void *)GetProcAddress(library, "TCS_GetVersion");
    TCS_GetControlStatus_Fn getStatus = (TCS_GetControlStatus_Fn)(void *)GetProcAddress(library, "TCS_GetControlStatus");
    TCS_GetCelestialCoords_Fn getCoords = (TCS_GetCelestialCoords_Fn)(void *)GetProcAddress(library, "TCS_GetCelestialCoords");
    TCS_GetGoToProgress_Fn getProgress = (TCS_GetGoToProgress_Fn)(void *)GetProcAddress(library, "TCS_GetGoToProgress");
    if (getVersion == NULL || getStatus == NULL || getCoords == NULL || getProgress == NULL)
        return 2;

    TCS_SetDispatchHooks_Fn setHooks =
        (TCS_SetDispatchHooks_Fn)(void *)GetProcAddress(library, "TCS_SetDispatchHooks");
    if (setHooks != NULL) // without, every tick is outside the host's state
        setHooks(BeforeHostCode, AfterHostCode);
    LoadFloatState(kOwnX87, kOwnMxcsr);

    gNestedCoords = getCoords;
    UINT_PTR timer = SetTimer(NULL, 0, 10, Tick);
    char text[80], versionTicks[192], openTicks[192];
    StartTicks();
    double t = Seconds();
    getVersion(text, sizeof text);
    const double versionSeconds = Seconds() - t;
    int leftInHostState = !InFloatState(kOwnX87, kOwnMxcsr);
    EndTicks(versionTicks, sizeof versionTicks, "version");
    unsigned short status = 0;
    StartTicks();
    t = Seconds();
    getStatus(&status);
    const double openSeconds = Seconds() - t;
    leftInHostState |= !InFloatState(kOwnX87, kOwnMxcsr);
    EndTicks(openTicks, sizeof openTicks, "open");
    KillTimer(NULL, timer);

    DRAV_Coords where = {0, 0}, last = {0, 0};
    unsigned short percent = 0;
    double longest = 0, inside = 0, lastNew = -1, refusedAfter = -1;
    long calls = 0;
    int recovered = 0;
    const double begin = Seconds();
    double tick = begin;
    while (Seconds() - begin < seconds) {
        t = Seconds();
        int code = getCoords(&where);
        double took[2] = {Seconds() - t, 0};
        if (code == 1 && (lastNew < 0 || where.X != last.X || where.Y != last.Y)) {
            last = where;
            lastNew = t;
            recovered = refusedAfter >= 0;
        } else if (code == 3 && lastNew >= 0 && refusedAfter < 0) {
            refusedAfter = t - lastNew;
        }
        t = Seconds();
        getProgress(&percent);
        took[1] = Seconds() - t;
        for (double each : took) {
            longest = each > longest ? each : longest;
            inside += each;
            ++calls;
        }
        tick = tick + pace > Seconds() ? tick + pace : Seconds();
        double until = tick < begin + seconds ? tick : begin + seconds, left = until - Seconds();
        if (left > 0)
            Sleep((DWORD)(left * 1000));
    }
    char refused[32] = "null";
    if (refusedAfter >= 0)
        snprintf(refused, sizeof refused, "%.6f", refusedAfter);
    printf("{\"version_s\": %.6f, \"open_s\": %.6f, \"longest_s\": %.6f, \"share\": %.6f, \"calls\": %ld, "
           "\"refused_after_s\": %s, \"recovered\": %s, \"answered\": %s, \"left_in_host_state\": %s, %s, %s}\n",
           versionSeconds, openSeconds, longest, inside / (Seconds() - begin), calls, refused,
           recovered ? "true" : "false", lastNew >= 0 ? "true" : "false", leftInHostState ? "true" : "false",
           versionTicks, openTicks);
    fflush(stdout);
    FreeLibrary(library);
    return 0;
}
