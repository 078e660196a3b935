// The simulated mount behind the control library: its scenario (what the
// environment asked for), its state, and one function per entry point.
//
// The model never reads a clock: StepMount passes the elapsed time in, so
// tests drive a whole slew without sleeping. The exported library advances
// it by the monotonic clock before every call.
#ifndef MOUNT_MODEL_H
#define MOUNT_MODEL_H

#include "SkyMath.h"

#include <string>
#include <vector>

// The entry points and the result codes (kTcsDone and so on).
#include "DravInterface.h"

// The control library's 21 exports, in the order the plug-in resolves them.
enum Entry {
#define DRAV_SIM_ENUM(name, params) k_##name,
    TCS_ENTRY_POINTS(DRAV_SIM_ENUM)
#undef DRAV_SIM_ENUM
    kEntryCount
};
const char *EntryName(Entry e);

enum class Provider { Off, Inactive, Active };
enum class Alignment { None, Celestial, Both };

struct Sky {
    double ra; // radians, kept in [0, 2π)
    double dec; // radians
};

// Everything DRAV_SIM_SCENARIO can set; -1 means "not set" for the codes.
struct Scenario {
    Provider provider = Provider::Active;
    Alignment align = Alignment::None;
    int controlCode = -1;    // raw control status code, reported as is
    int alignmentCode = -1;  // raw alignment status code, reported as is
    bool landMode = true;
    unsigned points = 0;     // alignment points already taken at start
    double rate = 5.0;       // slew rate, degrees per second
    Sky start = {0.0, 0.0};
    std::string version = "Vantorel Mount Simulator 1.0";
    int stallPercent = -1;   // the go-to stops at this percentage
    int failPercent = -1;    // from this percentage on, progress answers failCode
    int failCode = 0;
    std::vector<unsigned short> scriptedProgress; // k-th poll reports k-th value
    int forced[kEntryCount]; // forced result code per entry point, -1 none
    unsigned latencyMs = 0;  // every call takes this long, like a round trip to the provider
    int reenterEntry = -1;   // entry point from inside which the host is called back, -1 none

    Scenario();
};

// Parses "key=value,key=value"; false with a one-line reason on any unknown
// key or bad value (then *out is left at defaults with the provider off).
bool ParseScenario(const char *text, Scenario *out, std::string *error);

struct Slew {
    bool launched = false; // a go-to was started since the library loaded
    bool active = false;   // still moving (a stalled or scripted go-to stays active)
    Sky from = {0, 0}, to = {0, 0};
    double duration = 0;   // seconds
    double elapsed = 0;    // seconds
    unsigned polls = 0;    // progress polls of this go-to
    unsigned short scripted = 0; // the last scripted percentage reported
};

struct Mount {
    Scenario scenario;
    Alignment alignment = Alignment::None;
    unsigned points = 0;
    Sky position = {0, 0}; // at rest; while slewing see MountPosition
    Slew slew;
    Sky park = {0, 0};
    unsigned short trackRate = 0, refraction = 0;
    double epoch = 2000.0, temperature = 10.0, pressure = 1013.25;
};

// What an entry point did: its result, and whether it wrote its out-arguments.
struct Answer {
    unsigned short code;
    bool wrote;
};

void ResetMount(Mount *m, const Scenario &scenario);
// Lets `seconds` of real time pass: a slew moves on, and ends on arrival.
void StepMount(Mount *m, double seconds);
// Where the mount points now (interpolated while slewing).
Sky MountPosition(const Mount &m);

Answer MountGetVersion(const Mount &m, char *text, int size);
Answer MountGetControlStatus(const Mount &m, unsigned short *code);
Answer MountGetAlignmentStatus(const Mount &m, unsigned short *code);
Answer MountGetCelestialCoords(const Mount &m, Sky *pos);
Answer MountGetGoToProgress(Mount *m, unsigned short *percent);
Answer MountGetScopeOrientation(const Mount &m, unsigned short *a, unsigned short *b);
Answer MountGetControlSettingUShort(const Mount &m, unsigned short setting, unsigned short *value);
Answer MountGetControlSettingDouble(const Mount &m, unsigned short setting, double *value);
Answer MountSelectTrackRate(Mount *m, unsigned short rate);
Answer MountSetCelestialAlignPoint(Mount *m, Sky pos, unsigned short a, unsigned short b);
Answer MountSetCelestialAlignFromAlignPoints(Mount *m);
Answer MountVoidCelestialAlign(Mount *m);
Answer MountCalibrate(Mount *m, Sky pos);
Answer MountSetEpoch(Mount *m, double epoch);
Answer MountSetRefractionCorr(Mount *m, unsigned short on);
Answer MountSetRefractionTemperature(Mount *m, double celsius);
Answer MountSetRefractionPressure(Mount *m, double pressure);
Answer MountSetParkMark(Mount *m);
Answer MountKillMotion(Mount *m);
Answer MountGoToCelestialCoords(Mount *m, Sky target);
Answer MountGoToPark(Mount *m);

#endif
