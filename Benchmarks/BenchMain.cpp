// Runs the benchmarks and closes with a summary: each figure of the plug-in
// next to its floor from the same run, as a ratio, with its goal. Timings are
// reported, never judged: the exit code says only whether everything ran.
//
//   --slew_seconds=S   length of the simulated slew of the go-to wait (10);
//                      its back-to-back floor runs over min(S, 1) seconds,
//                      since it keeps a core busy for all of it.
#include "BenchSession.h"

#include <benchmark/benchmark.h>
#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

void GoToWait(benchmark::State &state, double seconds);
void GoToBackToBack(benchmark::State &state, double seconds);

namespace {

struct Result {
    double nsPerCall = 0;
    double wallNs = 0; // real (or manual) time per call
    bool median = false; // from the median of repetitions, not a single run
    std::map<std::string, double> counters;
};
std::map<std::string, Result> results;
std::vector<std::string> failures;

// Keeps each benchmark's CPU time per call, the median one when repeated.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred) {
                failures.push_back(run.run_name.function_name + ": " + run.error_message);
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median)
                continue;
            Result &r = results[run.run_name.function_name];
            if (r.median && !median)
                continue;
            r.median = median;
            r.nsPerCall = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            r.wallNs = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            for (const auto &counter : run.counters)
                r.counters[counter.first] = counter.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

struct Comparison {
    const char *figure;
    const char *floor;
    double goal; // the ratio to stay within; 0: no goal, shown for information
};

const Comparison kComparisons[] = {
    {"DoOperation_Ignored", "Floor_EmptyCall", 1.5},
    {"DoOperation_GuardedClosed", "Floor_EmptyCall", 1.5},
    {"MenuStatus", "Floor_EmptyCall", 0},
    {"Idle_TrackingOff", "Floor_EmptyCall", 0},
    {"Idle_TrackingNotDue", "Floor_ClockRead", 1.3},
    {"Idle_TrackingDue", "Floor_PositionReadAndEntry", 0},
    {"LogEntry_Position", "Floor_Fprintf", 1.2},
    {"Indi_CoordsRead", "Floor_ReceiveNothing", 2.0},
    {"Indi_ParseStream", "Floor_ExpatParseStream", 2.0},
    {"Ascom_ParseReplies", "Floor_RapidJsonParseReplies", 2.0},
    {"Ascom_CoordsRead", "Floor_ReceiveNothing", 2.0},
    {"Ascom_CoordsReadBackToBack", "Floor_ReceiveNothing", 0},
    {"Ascom_CoordsReadFreshReply", "Floor_ReceiveNothing", 0},
};

const char *Verdict(bool met) { return met ? "goal met" : "goal missed"; }

void PrintSummary()
{
    printf("\nSummary: each figure against its floor, both measured in this run (CPU time per call)\n");
    printf("  %-26s %10s   %-27s %10s %8s   %s\n", "figure", "ns/call", "floor", "ns/call", "ratio", "goal");
    for (const Comparison &c : kComparisons) {
        if (!results.count(c.figure) || !results.count(c.floor))
            continue;
        const double figure = results[c.figure].nsPerCall, floor = results[c.floor].nsPerCall;
        const double ratio = figure / floor;
        char goal[48] = "-";
        if (c.goal > 0)
            snprintf(goal, sizeof goal, "<= %.1fx, %s", c.goal, Verdict(ratio <= c.goal));
        printf("  %-26s %10.1f   %-27s %10.1f %7.2fx   %s\n", c.figure, figure, c.floor, floor, ratio, goal);
    }
    if (results.count("GoToWait") && results.count("GoToBackToBack")) {
        std::map<std::string, double> &wait = results["GoToWait"].counters;
        std::map<std::string, double> &b2b = results["GoToBackToBack"].counters;
        printf("  go-to wait over a %.1f s slew, per second of slew (back-to-back floor over %.1f s):\n",
               wait["slew_s"], b2b["slew_s"]);
        printf("    CPU   %9.3f %% of a core   back-to-back %9.3f %%   ratio %.5f   goal < 1 %%, %s\n",
               wait["cpu_pct_of_core"], b2b["cpu_pct_of_core"],
               wait["cpu_pct_of_core"] / b2b["cpu_pct_of_core"], Verdict(wait["cpu_pct_of_core"] < 1.0));
        printf("    log   %9.0f B/s          back-to-back %9.0f B/s ratio %.5f   goal < 1024 B/s, %s\n",
               wait["log_B_per_s"], b2b["log_B_per_s"], wait["log_B_per_s"] / b2b["log_B_per_s"],
               Verdict(wait["log_B_per_s"] < 1024.0));
        printf("    polls %9.1f per s         back-to-back %9.0f per s\n", wait["polls_per_s"],
               b2b["polls_per_s"]);
    }
    if (results.count("Indi_GoToReachesServer") && results.count("Floor_PingPong")) {
        // Wall time: a loopback trip is mostly waiting.
        const double goTo = results["Indi_GoToReachesServer"].wallNs, pingPong = results["Floor_PingPong"].wallNs;
        printf("  %-26s %10.1f   %-27s %10.1f %7.2fx   <= 1.0x (wall), %s\n", "Indi_GoToReachesServer", goTo,
               "Floor_PingPong", pingPong, goTo / pingPong, Verdict(goTo <= pingPong));
    }
    if (results.count("Indi_ArrivalPoll")) {
        std::map<std::string, double> &arrival = results["Indi_ArrivalPoll"].counters;
        const double polls = arrival["polls_after_ok"];
        printf("  INDI go-to arrival: %.2f polls after the server's Ok reached the library (%.2f after its send),"
               " that poll %.1f ns (wall)   goal 1 poll, %s\n",
               polls, arrival["polls_after_send"], results["Indi_ArrivalPoll"].wallNs, Verdict(polls <= 1.0));
    }
    if (results.count("Ascom_GoToReachesServer") && results.count("Floor_HttpPutRoundTrip")) {
        // Wall time, as for INDI.
        std::map<std::string, double> &goToCounters = results["Ascom_GoToReachesServer"].counters;
        const double goTo = results["Ascom_GoToReachesServer"].wallNs, put = results["Floor_HttpPutRoundTrip"].wallNs;
        printf("  %-26s %10.1f   %-27s %10.1f %7.2fx   <= 1.0x (wall), %s\n", "Ascom_GoToReachesServer", goTo,
               "Floor_HttpPutRoundTrip", put, goTo / put, Verdict(goTo <= put));
        printf("    before its PUT %.0f requests, the first at the server after %.1f us; the call returned after %.1f us\n",
               goToCounters["requests_before_put"], goToCounters["first_request_us"], goToCounters["call_us"]);
    }
    if (results.count("Ascom_ArrivalPoll")) {
        std::map<std::string, double> &arrival = results["Ascom_ArrivalPoll"].counters;
        const double polls = arrival["polls_after_end"];
        printf("  ASCOM go-to arrival: %.2f polls after the slew ended on the server (%.2f after the first reply"
               " showing it), that poll %.1f ns (wall)   goal 1 poll, %s\n",
               polls, arrival["polls_after_reply"], results["Ascom_ArrivalPoll"].wallNs, Verdict(polls <= 1.0));
    }
    if (results.count("Ascom_Discovery")) {
        std::map<std::string, double> &discovery = results["Ascom_Discovery"].counters;
        const double known = results["Ascom_Discovery"].wallNs / 1e9;
        printf("  ASCOM discovery: the device known %.3f s after the version call (its servers asked at %.3f s,"
               " the open returned at %.3f s)   goal <= 1.1 s, %s\n",
               known, discovery["asked_s"], discovery["open_returned_s"], Verdict(known <= 1.1));
    }
    for (const std::string &failure : failures)
        printf("  did not run: %s\n", failure.c_str());
}

// Takes --slew_seconds=S out of the arguments.
double TakeSlewSeconds(int *argc, char **argv)
{
    double seconds = 10.0;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (strncmp(argv[i], "--slew_seconds=", 15) == 0)
            seconds = atof(argv[i] + 15);
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return seconds > 0 ? seconds : 10.0;
}

} // namespace

int main(int argc, char **argv)
{
    const double slewSeconds = TakeSlewSeconds(&argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    SetUpScratch();
    benchmark::RegisterBenchmark("GoToWait", GoToWait, slewSeconds)
        ->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("GoToBackToBack", GoToBackToBack, slewSeconds < 1.0 ? slewSeconds : 1.0)
        ->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary();
    benchmark::Shutdown();
    return failures.empty() ? 0 : 1;
}
