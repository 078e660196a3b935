// State shared by the two halves of the fuzzing harness: the host side
// (FuzzHost.cpp: the script of DoOperation calls and their checks) and the
// mount side (FuzzMount.cpp: the fake control library's answers).
//
// An input is split in two: its first two bytes (little-endian) give the
// length of the host's script, which follows; the rest are the mount's
// answers, consumed in the order the plug-in calls the library. The first
// answer byte says how the go-to progress goes on once the answers run out
// (bits 0-1: 0 report 100, 1-3 repeat the last 1-3 progress answers in turn).
#ifndef FUZZ_HARNESS_H
#define FUZZ_HARNESS_H

#include "FakeMountCall.h"
#include "FuzzTape.h"

#include <stdint.h>

// Reports a broken invariant and aborts, so libFuzzer keeps the input.
[[noreturn]] void FuzzFault(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- Mount side ---
// Starts an input: answers from `answers`, or defaults when `scripted` is false.
void MountStartInput(const uint8_t *answers, size_t size);
void MountUseScript(bool scripted);

struct MountRecord {
    unsigned calls = 0;              // every entry point, since the last reset
    unsigned positional = 0;         // go-to, calibration and alignment point calls
    DRAV_Coords lastPosition = {0, 0}; // in-argument of the latest of those
    unsigned goTos = 0;
    bool lastGoToLaunched = false;   // the latest go-to was answered 1
    unsigned progressPolls = 0;      // since the latest go-to
    unsigned positionReads = 0;
    bool lastReadOk = false;         // the latest position read delivered a position
    DRAV_Coords lastRead = {0, 0};   // and that position
};
extern MountRecord gMount;
void ResetMountRecord();

// Whether the go-to wait may be over after the latest poll: the go-to is
// complete, the poll failed, or the progress has not risen for a minute.
bool MountWaitMayEnd();

// Progress polls made during the current input, for the work budget.
unsigned long MountPollsThisInput();

// --- Host side, called back by the mount during a go-to wait ---
// An idle call that arrives while the plug-in waits for a go-to.
void HostIdleDuringWait();

#endif
