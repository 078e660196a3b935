// The plug-in's cost per host call, through the real telescope.plug and the
// mount simulator: dispatch, menu status and the three kinds of idle call.
#include "BenchSession.h"

#include <benchmark/benchmark.h>
#include <string.h>
#include <string>

static bool StartOrSkip(Session *session, benchmark::State &state, bool open, bool track)
{
    std::string error;
    if (session->Start("align=both", open, track, &error))
        return true;
    state.SkipWithError(error.c_str());
    return false;
}

// An ignored code, and a guarded one with the connection closed: neither
// reads its record.
static void DoOperation_Ignored(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, false, false))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    unsigned char record[64] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(call(op_About, record));
}
BENCHMARK(DoOperation_Ignored);

static void DoOperation_GuardedClosed(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, false, false))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    PTelescopeTarget target = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(call(op_TelescopeSlew, &target));
}
BENCHMARK(DoOperation_GuardedClosed);

static void MenuStatus(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, true, true))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    PMenuStatus menu;
    memset(&menu, 0, sizeof menu);
    menu.fMenuCommand = 8205; // track: reads both flags
    for (auto _ : state) {
        call(op_MenuStatus, &menu);
        benchmark::DoNotOptimize(menu.fHasCheck);
    }
}
BENCHMARK(MenuStatus);

static void Idle_TrackingOff(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, true, false))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    PEvent event = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(call(op_Idle, &event));
}
BENCHMARK(Idle_TrackingOff);

// Tracking on, never due, on the real clock: one clock read per call. The
// last request is put far in the future once, on the virtual clock, so no
// call of the run becomes due (which the real clock would make once a second).
static void Idle_TrackingNotDue(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, true, true))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    PEvent event = {};
    UseVirtualClock(true, PlugHost_Milliseconds() + 1000000000000ull);
    call(op_Idle, &event); // due: the last request is now in the future
    UseVirtualClock(false);
    event.fOutOperation = out_DoNothing;
    for (auto _ : state)
        benchmark::DoNotOptimize(call(op_Idle, &event));
    if (event.fOutOperation != out_DoNothing)
        state.SkipWithError("an idle call became due");
}
BENCHMARK(Idle_TrackingNotDue);

// Tracking on and due on every call (the virtual clock moves 1.001 s between
// calls): one position read through the simulator and its log entries.
static void Idle_TrackingDue(benchmark::State &state)
{
    Session session;
    if (!StartOrSkip(&session, state, true, true))
        return;
    DoOperationFn call = session.plugin.DoOperation;
    PEvent event = {};
    UseVirtualClock(true, 1000000);
    for (auto _ : state) {
        AdvanceVirtualClock(1001);
        event.fOutOperation = out_DoNothing;
        call(op_Idle, &event);
        benchmark::DoNotOptimize(event.fOutOperation);
    }
    UseVirtualClock(false);
    if (event.fOutOperation != out_CentrePoint)
        state.SkipWithError("the idle call was not due");
}
BENCHMARK(Idle_TrackingDue);
