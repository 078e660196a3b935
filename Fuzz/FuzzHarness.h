// State shared by the two halves of the fuzzing harness: the host side
// (FuzzHost.cpp: the script of DoOperation calls and their checks) and the
// mount side (FuzzMount.cpp: the fake control library's answers).
//
// An input is split in two: its first two bytes (little-endian) give the
// length of the host's script, which follows; the rest are the mount's
// answers, consumed in the order the plug-in calls the library. The first
// answer byte says how the go-to progress goes on once the answers run out
// (bits 0-1: 0 report 100, 1-3 repeat the last 1-3 progress answers in turn;
// bits 3-5, when not 0: creep instead, one percent more a poll, each poll
// taking a time picked by those bits) and whether the library calls the host
// back (bit 2: then every call first takes one byte, and from 0xE0 up it
// makes a nested host call of a served operation before answering).
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
    unsigned stops = 0;              // TCS_KillMotion calls
    bool sessionEnded = false;       // a nested terminate or initialisation
    // Position reads by the depth of host calls from the library under way
    // (see MountNesting): [0] those of the outermost call itself, [1] of a
    // call nested in one of its library calls, [2] one deeper. A call's own
    // read is the latest at its depth, whatever the calls nested in it read
    // afterwards (a deferred restart at the end of the outermost call, say).
    struct PositionRead {
        unsigned count = 0;
        bool ok = false;            // the latest delivered a position
        DRAV_Coords at = {0, 0};    // and that position
    } reads[3];
};
extern MountRecord gMount;
void ResetMountRecord();

// Whether the go-to wait may be over after the latest poll: the go-to is
// complete, the poll failed, the progress has not risen for a minute, the
// wait has lasted five minutes, or a nested call ended the session.
bool MountWaitMayEnd();
// Whether the wait has lasted its time limit; whether the mount ended it
// (arrival or a failed poll); whether the limit did, so the motion must be stopped.
bool MountWaitTimedOut();
bool MountWaitEndedByMount();
bool MountWaitEndedByLimit();

// How many host calls from inside library calls are under way: 0 while
// only the outermost call runs.
int MountNesting();
// Progress polls made during the current input, for the work budget.
unsigned long MountPollsThisInput();

// --- Host side, called back by the mount ---
// An idle call that arrives while the plug-in waits for a go-to.
void HostIdleDuringWait();
// A nested host call of any served operation (index into the served list),
// its record read from `s`, made from inside a library call; `inWait`: the
// call is a progress poll of a go-to wait. Answers whether it ended the
// session (a terminate or an initialisation).
bool HostCallFromLibrary(unsigned served, ByteStream &s, bool inWait);

#endif
