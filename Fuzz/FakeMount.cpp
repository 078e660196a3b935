// A control library whose every answer comes from the fuzzing harness: each
// of the 21 entry points packs its arguments into a MountCall and returns what
// the harness's handler answers. Without a handler it answers kTcsNoProvider,
// as a library without its provider would.
#include "FakeMountCall.h"

#include <dlfcn.h>
#include <string.h>

TCS_DECLARE_EXPORTS()

static unsigned short Forward(MountCall *call)
{
    static MountHandler handler = (MountHandler)dlsym(RTLD_DEFAULT, FAKE_MOUNT_HANDLER);
    return handler != nullptr ? handler(call) : kTcsNoProvider;
}

static MountCall Call(MountEntry entry)
{
    MountCall call;
    memset(&call, 0, sizeof call);
    call.entry = entry;
    return call;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetVersion(char *text, int size)
{
    MountCall c = Call(k_TCS_GetVersion);
    c.text = text;
    c.size = size;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlStatus(unsigned short *code)
{
    MountCall c = Call(k_TCS_GetControlStatus);
    c.out1 = code;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetAlignmentStatus(unsigned short *code)
{
    MountCall c = Call(k_TCS_GetAlignmentStatus);
    c.out1 = code;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetCelestialCoords(DRAV_Coords *pos)
{
    MountCall c = Call(k_TCS_GetCelestialCoords);
    c.outPos = pos;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetGoToProgress(unsigned short *percent)
{
    MountCall c = Call(k_TCS_GetGoToProgress);
    c.out1 = percent;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetScopeOrientation(unsigned short *a, unsigned short *b)
{
    MountCall c = Call(k_TCS_GetScopeOrientation);
    c.out1 = a;
    c.out2 = b;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingUShort(unsigned short setting, unsigned short *value)
{
    MountCall c = Call(k_TCS_GetControlSettingUShort);
    c.inA = setting;
    c.out1 = value;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingDouble(unsigned short setting, double *value)
{
    MountCall c = Call(k_TCS_GetControlSettingDouble);
    c.inA = setting;
    c.outValue = value;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SelectTrackRate(unsigned short rate)
{
    MountCall c = Call(k_TCS_SelectTrackRate);
    c.inA = rate;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignPoint(DRAV_Coords pos, unsigned short a, unsigned short b)
{
    MountCall c = Call(k_TCS_SetCelestialAlignPoint);
    c.inPos = pos;
    c.inA = a;
    c.inB = b;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignFromAlignPoints(void)
{
    MountCall c = Call(k_TCS_SetCelestialAlignFromAlignPoints);
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_VoidCelestialAlign(void)
{
    MountCall c = Call(k_TCS_VoidCelestialAlign);
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_Calibrate(DRAV_Coords pos)
{
    MountCall c = Call(k_TCS_Calibrate);
    c.inPos = pos;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetEpoch(double epoch)
{
    MountCall c = Call(k_TCS_SetEpoch);
    c.inValue = epoch;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionCorr(unsigned short on)
{
    MountCall c = Call(k_TCS_SetRefractionCorr);
    c.inA = on;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionTemperature(double celsius)
{
    MountCall c = Call(k_TCS_SetRefractionTemperature);
    c.inValue = celsius;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionPressure(double pressure)
{
    MountCall c = Call(k_TCS_SetRefractionPressure);
    c.inValue = pressure;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetParkMark(void)
{
    MountCall c = Call(k_TCS_SetParkMark);
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_KillMotion(void)
{
    MountCall c = Call(k_TCS_KillMotion);
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToCelestialCoords(DRAV_Coords pos)
{
    MountCall c = Call(k_TCS_GoToCelestialCoords);
    c.inPos = pos;
    return Forward(&c);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToPark(void)
{
    MountCall c = Call(k_TCS_GoToPark);
    return Forward(&c);
}
