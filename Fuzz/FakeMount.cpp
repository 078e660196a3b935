// A control library whose every answer comes from the fuzzing harness: each
// of the 21 entry points packs its arguments into a MountCall and returns what
// the harness's handler answers. Without a handler it answers 3 (provider not
// registered), as a library without its provider would.
#include "FakeMountCall.h"

#include <dlfcn.h>
#include <string.h>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

static unsigned short Forward(MountCall *call)
{
    static MountHandler handler = (MountHandler)dlsym(RTLD_DEFAULT, FAKE_MOUNT_HANDLER);
    return handler != nullptr ? handler(call) : 3;
}

static MountCall Call(MountEntry entry)
{
    MountCall call;
    memset(&call, 0, sizeof call);
    call.entry = entry;
    return call;
}

FAKE_EXPORT unsigned short TCS_GetVersion(char *text, int size)
{
    MountCall c = Call(kGetVersion);
    c.text = text;
    c.size = size;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetControlStatus(unsigned short *code)
{
    MountCall c = Call(kGetControlStatus);
    c.out1 = code;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetAlignmentStatus(unsigned short *code)
{
    MountCall c = Call(kGetAlignmentStatus);
    c.out1 = code;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetCelestialCoords(DRAV_Coords *pos)
{
    MountCall c = Call(kGetCelestialCoords);
    c.outPos = pos;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetGoToProgress(unsigned short *percent)
{
    MountCall c = Call(kGetGoToProgress);
    c.out1 = percent;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetScopeOrientation(unsigned short *a, unsigned short *b)
{
    MountCall c = Call(kGetScopeOrientation);
    c.out1 = a;
    c.out2 = b;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetControlSettingUShort(unsigned short setting, unsigned short *value)
{
    MountCall c = Call(kGetControlSettingUShort);
    c.inA = setting;
    c.out1 = value;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GetControlSettingDouble(unsigned short setting, double *value)
{
    MountCall c = Call(kGetControlSettingDouble);
    c.inA = setting;
    c.outValue = value;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SelectTrackRate(unsigned short rate)
{
    MountCall c = Call(kSelectTrackRate);
    c.inA = rate;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetCelestialAlignPoint(DRAV_Coords pos, unsigned short a, unsigned short b)
{
    MountCall c = Call(kSetCelestialAlignPoint);
    c.inPos = pos;
    c.inA = a;
    c.inB = b;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetCelestialAlignFromAlignPoints(void)
{
    MountCall c = Call(kSetCelestialAlignFromAlignPoints);
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_VoidCelestialAlign(void)
{
    MountCall c = Call(kVoidCelestialAlign);
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_Calibrate(DRAV_Coords pos)
{
    MountCall c = Call(kCalibrate);
    c.inPos = pos;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetEpoch(double epoch)
{
    MountCall c = Call(kSetEpoch);
    c.inValue = epoch;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetRefractionCorr(unsigned short on)
{
    MountCall c = Call(kSetRefractionCorr);
    c.inA = on;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetRefractionTemperature(double celsius)
{
    MountCall c = Call(kSetRefractionTemperature);
    c.inValue = celsius;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetRefractionPressure(double pressure)
{
    MountCall c = Call(kSetRefractionPressure);
    c.inValue = pressure;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_SetParkMark(void)
{
    MountCall c = Call(kSetParkMark);
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_KillMotion(void)
{
    MountCall c = Call(kKillMotion);
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GoToCelestialCoords(DRAV_Coords pos)
{
    MountCall c = Call(kGoToCelestialCoords);
    c.inPos = pos;
    return Forward(&c);
}

FAKE_EXPORT unsigned short TCS_GoToPark(void)
{
    MountCall c = Call(kGoToPark);
    return Forward(&c);
}
