// The record through which the fake control library (FakeMount.cpp, built as
// DRAV.dll) hands every call it receives to the fuzzing harness, which decides
// the answer. The library finds the harness's handler by name in the running
// executable, so one library serves any harness that exports it.
#ifndef FAKE_MOUNT_CALL_H
#define FAKE_MOUNT_CALL_H

// The library's interface: its entry points, DRAV_Coords (the library's own
// name for its position pair: the sanitizer's check of calls through function
// pointers compares parameter types by name) and its result codes.
#include "DravInterface.h"

// The library's entry points, in the order the plug-in resolves them:
// k_TCS_GetVersion and so on (the fake defines the vendor's 21, not the
// optional dispatch hooks).
enum MountEntry {
#define FAKE_MOUNT_ENTRY(name, params) k_##name,
    TCS_ENTRY_POINTS(FAKE_MOUNT_ENTRY)
#undef FAKE_MOUNT_ENTRY
    kMountEntryCount
};

// In-arguments by value, out-arguments as the caller's pointers (null where
// the entry point has none). The handler's result is the entry point's result.
struct MountCall {
    MountEntry entry;
    char *text;              // TCS_GetVersion: the caller's buffer
    int size;                //   and its size
    unsigned short *out1;    // status code, progress, first orientation or setting value
    unsigned short *out2;    // second orientation value
    double *outValue;        // double setting
    DRAV_Coords *outPos;     // position read
    DRAV_Coords inPos;       // go-to, calibration, alignment point
    unsigned short inA, inB; // alignment point's two numbers; setting; rate; flag
    double inValue;          // epoch, temperature, pressure
};

typedef unsigned short (*MountHandler)(MountCall *call);

// Exported by the harness executable with C linkage.
#define FAKE_MOUNT_HANDLER "FuzzHarness_MountCall"

#endif
