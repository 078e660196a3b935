// The ASCOM control library's 21 entry points over Alpaca: each calls the
// mapping's function of the same name with the Alpaca transport. The calls
// that follow the user's action may wait (within the timeout); those of the
// host's idle and drawing paths never do.
#include "AlpacaTransport.h"
#include "DravInterface.h"

TCS_DECLARE_EXPORTS()

static AscomMount *M(void)
{
    AlpacaLoad();
    return &gAlpaca.mount;
}

static const AscomTransport *T = &kAlpacaTransport;

// Asked at the host's start, before the user has done anything: answered
// from the settings (the server and device named, or discovering), with
// the discovery or the connection started and not awaited.
TCS_EXPORT unsigned short TCS_CALL TCS_GetVersion(char *text, int size)
{
    AlpacaStart();
    return AscomGetVersion(M(), T, kAscomNoWait, text, size);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlStatus(unsigned short *code)
{
    return AscomGetControlStatus(M(), T, kAscomMayWait, code);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetAlignmentStatus(unsigned short *code)
{
    return AscomGetAlignmentStatus(M(), T, kAscomMayWait, code);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetCelestialCoords(DRAV_Coords *pos)
{
    return AscomGetCelestialCoords(M(), T, kAscomNoWait, pos);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetGoToProgress(unsigned short *percent)
{
    return AscomGetGoToProgress(M(), T, kAscomNoWait, percent);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetScopeOrientation(unsigned short *a, unsigned short *b)
{
    return AscomGetScopeOrientation(M(), T, kAscomNoWait, a, b);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingUShort(unsigned short setting, unsigned short *value)
{
    return AscomGetControlSettingUShort(M(), T, kAscomNoWait, setting, value);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingDouble(unsigned short setting, double *value)
{
    return AscomGetControlSettingDouble(M(), T, kAscomNoWait, setting, value);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SelectTrackRate(unsigned short rate)
{
    return AscomSelectTrackRate(M(), T, kAscomMayWait, rate);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignPoint(DRAV_Coords pos, unsigned short a, unsigned short b)
{
    return AscomSetCelestialAlignPoint(M(), T, kAscomMayWait, pos, a, b);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignFromAlignPoints(void)
{
    return AscomSetCelestialAlignFromAlignPoints(M(), T, kAscomMayWait);
}

TCS_EXPORT unsigned short TCS_CALL TCS_VoidCelestialAlign(void)
{
    return AscomVoidCelestialAlign(M(), T, kAscomMayWait);
}

TCS_EXPORT unsigned short TCS_CALL TCS_Calibrate(DRAV_Coords pos)
{
    return AscomCalibrate(M(), T, kAscomMayWait, pos);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetEpoch(double epoch)
{
    return AscomSetEpoch(M(), T, kAscomNoWait, epoch);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionCorr(unsigned short on)
{
    return AscomSetRefractionCorr(M(), T, kAscomNoWait, on);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionTemperature(double celsius)
{
    return AscomSetRefractionTemperature(M(), T, kAscomNoWait, celsius);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionPressure(double pressure)
{
    return AscomSetRefractionPressure(M(), T, kAscomNoWait, pressure);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetParkMark(void)
{
    return AscomSetParkMark(M(), T, kAscomMayWait);
}

TCS_EXPORT unsigned short TCS_CALL TCS_KillMotion(void)
{
    return AscomKillMotion(M(), T, kAscomMayWait);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToCelestialCoords(DRAV_Coords pos)
{
    return AscomGoToCelestialCoords(M(), T, kAscomMayWait, pos);
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToPark(void)
{
    return AscomGoToPark(M(), T, kAscomMayWait);
}
