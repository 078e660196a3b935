// The mount simulator's exports: the control library's 21 TCS_ entry points
// (C calling convention, undecorated names), each advancing the mount by the
// real time passed since the last call, asking the model, and journalling;
// and the plug-in's dispatch hooks taken.
//
// The scenario (DRAV_SIM_SCENARIO) and the journal's path (DRAV_SIM_JOURNAL)
// are read once, when the library is loaded. Variants lacking an export are
// built from this file with DRAV_OMIT_<name> defined.
#include "Journal.h"
#include "MountModel.h"
#include "SteadyClock.h"

#include <stdio.h>
#include <string>

#include "DravInterface.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#endif

TCS_DECLARE_EXPORTS()

static Mount gMount;
static std::string gJournalPath;
static double gLastSeconds = 0;

// --- The platform: environment ---

static std::string Environment(const char *name)
{
#ifdef _WIN32
    // The process environment block: SetEnvironmentVariableA reaches it, and
    // so does the Unix environment under Wine.
    char small[1024];
    DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
    if (n == 0)
        return std::string();
    if (n < sizeof small)
        return std::string(small, n);
    std::string big(n, '\0');
    n = GetEnvironmentVariableA(name, &big[0], n);
    big.resize(n);
    return big;
#else
    const char *value = getenv(name);
    return value ? value : "";
#endif
}

// --- Load: the scenario and the journal ---

static struct LoadScenario {
    LoadScenario()
    {
        Scenario scenario;
        std::string error, text = Environment("DRAV_SIM_SCENARIO");
        if (!ParseScenario(text.c_str(), &scenario, &error))
            fprintf(stderr, "DRAV simulator: bad DRAV_SIM_SCENARIO %s; the provider is off\n", error.c_str());
        ResetMount(&gMount, scenario);
        gJournalPath = Environment("DRAV_SIM_JOURNAL");
        gLastSeconds = SteadySeconds();
    }
} gLoadScenario;

// The mount as it is now: the call's latency spent, the elapsed time applied.
static Mount *Now()
{
    if (gMount.scenario.latencyMs > 0)
        SleepMilliseconds(gMount.scenario.latencyMs);
    double now = SteadySeconds();
    StepMount(&gMount, now - gLastSeconds);
    gLastSeconds = now;
    return &gMount;
}

// The plug-in's dispatch hooks, when it has handed them over.
static TCS_DispatchHook gBeforeHostCode, gAfterHostCode;

// With reenter=NAME, the host is called back from inside that entry point,
// as a library that pumps messages while it waits on its provider lets the
// host's timer and menus in. The host provides PlugHost_LibraryCall.
static void CallBackHost(const std::string &call)
{
    const int entry = gMount.scenario.reenterEntry;
    if (entry < 0)
        return;
    const std::string name = EntryName((Entry)entry);
    if (call.compare(0, name.size(), name) != 0 || call[name.size()] != '(')
        return;
    typedef void (*HostCallback)(const char *);
#ifdef _WIN32
    HostCallback host = (HostCallback)(void *)GetProcAddress(GetModuleHandleA(NULL), "PlugHost_LibraryCall");
#else
    HostCallback host = (HostCallback)dlsym(RTLD_DEFAULT, "PlugHost_LibraryCall");
#endif
    if (host == nullptr)
        return;
    // The host's code in the host's floating-point state, as a library's
    // dispatch runs it.
    if (gBeforeHostCode != nullptr)
        gBeforeHostCode();
    host(name.c_str());
    if (gAfterHostCode != nullptr)
        gAfterHostCode();
}

static unsigned short Record(const std::string &call, Answer a, const std::string &outs = std::string())
{
    AppendJournal(gJournalPath, JournalLine(call, a.code, a.wrote ? outs : std::string()));
    CallBackHost(call);
    return a.code;
}

static std::string Coords(const char *separator, double x, double y)
{
    return Format("X=%.17g%sY=%.17g", x, separator, y);
}

// --- Queries ---

#ifndef DRAV_OMIT_TCS_GetVersion
TCS_EXPORT unsigned short TCS_CALL TCS_GetVersion(char *text, int size)
{
    Answer a = MountGetVersion(*Now(), text, size);
    return Record(Format("TCS_GetVersion(size=%d)", size), a, a.wrote ? "text=\"" + std::string(text) + "\"" : "");
}
#endif

#ifndef DRAV_OMIT_TCS_GetControlStatus
TCS_EXPORT unsigned short TCS_CALL TCS_GetControlStatus(unsigned short *code)
{
    Answer a = MountGetControlStatus(*Now(), code);
    return Record("TCS_GetControlStatus()", a, Format("code=%u", *code));
}
#endif

#ifndef DRAV_OMIT_TCS_GetAlignmentStatus
TCS_EXPORT unsigned short TCS_CALL TCS_GetAlignmentStatus(unsigned short *code)
{
    Answer a = MountGetAlignmentStatus(*Now(), code);
    return Record("TCS_GetAlignmentStatus()", a, Format("code=%u", *code));
}
#endif

#ifndef DRAV_OMIT_TCS_GetCelestialCoords
TCS_EXPORT unsigned short TCS_CALL TCS_GetCelestialCoords(DRAV_Coords *pos)
{
    Sky sky = {0, 0};
    Answer a = MountGetCelestialCoords(*Now(), &sky);
    if (a.wrote)
        *pos = {sky.ra, sky.dec};
    return Record("TCS_GetCelestialCoords()", a, Coords(" ", sky.ra, sky.dec));
}
#endif

#ifndef DRAV_OMIT_TCS_GetGoToProgress
TCS_EXPORT unsigned short TCS_CALL TCS_GetGoToProgress(unsigned short *percent)
{
    Answer a = MountGetGoToProgress(Now(), percent);
    return Record("TCS_GetGoToProgress()", a, a.wrote ? Format("percent=%u", *percent) : "");
}
#endif

#ifndef DRAV_OMIT_TCS_GetScopeOrientation
TCS_EXPORT unsigned short TCS_CALL TCS_GetScopeOrientation(unsigned short *a, unsigned short *b)
{
    Answer r = MountGetScopeOrientation(*Now(), a, b);
    return Record("TCS_GetScopeOrientation()", r, r.wrote ? Format("a=%u b=%u", *a, *b) : "");
}
#endif

#ifndef DRAV_OMIT_TCS_GetControlSettingUShort
TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingUShort(unsigned short setting, unsigned short *value)
{
    Answer a = MountGetControlSettingUShort(*Now(), setting, value);
    return Record(Format("TCS_GetControlSettingUShort(setting=%u)", setting), a,
                  a.wrote ? Format("value=%u", *value) : "");
}
#endif

#ifndef DRAV_OMIT_TCS_GetControlSettingDouble
TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingDouble(unsigned short setting, double *value)
{
    Answer a = MountGetControlSettingDouble(*Now(), setting, value);
    return Record(Format("TCS_GetControlSettingDouble(setting=%u)", setting), a,
                  a.wrote ? Format("value=%.17g", *value) : "");
}
#endif

// --- Settings ---

#ifndef DRAV_OMIT_TCS_SelectTrackRate
TCS_EXPORT unsigned short TCS_CALL TCS_SelectTrackRate(unsigned short rate)
{
    return Record(Format("TCS_SelectTrackRate(rate=%u)", rate), MountSelectTrackRate(Now(), rate));
}
#endif

#ifndef DRAV_OMIT_TCS_SetEpoch
TCS_EXPORT unsigned short TCS_CALL TCS_SetEpoch(double epoch)
{
    return Record(Format("TCS_SetEpoch(epoch=%.17g)", epoch), MountSetEpoch(Now(), epoch));
}
#endif

#ifndef DRAV_OMIT_TCS_SetRefractionCorr
TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionCorr(unsigned short on)
{
    return Record(Format("TCS_SetRefractionCorr(on=%u)", on), MountSetRefractionCorr(Now(), on));
}
#endif

#ifndef DRAV_OMIT_TCS_SetRefractionTemperature
TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionTemperature(double celsius)
{
    return Record(Format("TCS_SetRefractionTemperature(celsius=%.17g)", celsius),
                  MountSetRefractionTemperature(Now(), celsius));
}
#endif

#ifndef DRAV_OMIT_TCS_SetRefractionPressure
TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionPressure(double pressure)
{
    return Record(Format("TCS_SetRefractionPressure(pressure=%.17g)", pressure),
                  MountSetRefractionPressure(Now(), pressure));
}
#endif

#ifndef DRAV_OMIT_TCS_SetParkMark
TCS_EXPORT unsigned short TCS_CALL TCS_SetParkMark(void)
{
    return Record("TCS_SetParkMark()", MountSetParkMark(Now()));
}
#endif

// --- Alignment ---

#ifndef DRAV_OMIT_TCS_SetCelestialAlignPoint
TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignPoint(DRAV_Coords pos, unsigned short a, unsigned short b)
{
    Answer r = MountSetCelestialAlignPoint(Now(), {pos.X, pos.Y}, a, b);
    return Record("TCS_SetCelestialAlignPoint(" + Coords(",", pos.X, pos.Y) + Format(",a=%u,b=%u)", a, b), r);
}
#endif

#ifndef DRAV_OMIT_TCS_SetCelestialAlignFromAlignPoints
TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignFromAlignPoints(void)
{
    return Record("TCS_SetCelestialAlignFromAlignPoints()", MountSetCelestialAlignFromAlignPoints(Now()));
}
#endif

#ifndef DRAV_OMIT_TCS_VoidCelestialAlign
TCS_EXPORT unsigned short TCS_CALL TCS_VoidCelestialAlign(void)
{
    return Record("TCS_VoidCelestialAlign()", MountVoidCelestialAlign(Now()));
}
#endif

#ifndef DRAV_OMIT_TCS_Calibrate
TCS_EXPORT unsigned short TCS_CALL TCS_Calibrate(DRAV_Coords pos)
{
    return Record("TCS_Calibrate(" + Coords(",", pos.X, pos.Y) + ")", MountCalibrate(Now(), {pos.X, pos.Y}));
}
#endif

// --- Motion ---

#ifndef DRAV_OMIT_TCS_KillMotion
TCS_EXPORT unsigned short TCS_CALL TCS_KillMotion(void)
{
    return Record("TCS_KillMotion()", MountKillMotion(Now()));
}
#endif

#ifndef DRAV_OMIT_TCS_GoToCelestialCoords
TCS_EXPORT unsigned short TCS_CALL TCS_GoToCelestialCoords(DRAV_Coords pos)
{
    return Record("TCS_GoToCelestialCoords(" + Coords(",", pos.X, pos.Y) + ")",
                  MountGoToCelestialCoords(Now(), {pos.X, pos.Y}));
}
#endif

#ifndef DRAV_OMIT_TCS_GoToPark
TCS_EXPORT unsigned short TCS_CALL TCS_GoToPark(void)
{
    return Record("TCS_GoToPark()", MountGoToPark(Now()));
}
#endif

// Not a call to the mount: not in the journal.
#ifndef DRAV_OMIT_TCS_SetDispatchHooks
TCS_EXPORT unsigned short TCS_CALL TCS_SetDispatchHooks(TCS_DispatchHook before, TCS_DispatchHook after)
{
    gBeforeHostCode = before;
    gAfterHostCode = after;
    return kTcsDone;
}
#endif
