// The control library's 21 entry points over an INDI mount: each one first
// reads what the server has sent, then answers from the device's cache, and
// sends a request where the entry point commands the mount.
#include "DravInterface.h"
#include "IndiClient.h"
#include "Precession.h"
#include "SkyMath.h"
#include "Trace.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

TCS_DECLARE_EXPORTS()

static const double kPi = 3.14159265358979323846;
static const char kCoords[] = "EQUATORIAL_EOD_COORD";
static const char kVersion[] = "DRAV INDI control library 1.0";

// The epoch of the caller's positions: J2000 or the date (TCS_SetEpoch).
static int EpochIsJ2000(void)
{
    return gIndi.config.epochJ2000;
}

static double Now(void)
{
    return JulianCenturiesFromUnix(UnixSeconds());
}

// The mount's position as it reports it: of the date, radians. None while
// the coordinates hold what the driver defined them with as it connected.
static int MountPosition(double *ra, double *dec)
{
    IndiProperty *p = IndiFind(&gIndi.cache, kCoords);
    IndiElement *r = IndiFindElement(p, "RA"), *d = IndiFindElement(p, "DEC");
    if (r == NULL || d == NULL || !p->valuesKnown)
        return 0;
    double hours = fmod(r->number, 24.0);
    if (hours < 0)
        hours += 24.0;
    double degrees = d->number > 90 ? 90 : d->number < -90 ? -90 : d->number;
    *ra = hours * kPi / 12;
    *dec = degrees * kPi / 180;
    if (*ra >= 2 * kPi)
        *ra = 0;
    return 1;
}

// A target as the mount takes it: of the date.
static void ToMount(DRAV_Coords pos, double *ra, double *dec)
{
    if (EpochIsJ2000()) {
        PrecessFromJ2000(Now(), pos.X, pos.Y, ra, dec);
    } else {
        *ra = WrapRightAscension(pos.X);
        *dec = pos.Y;
    }
}

static int SendPosition(double ra, double dec)
{
    static const char *const names[] = {"RA", "DEC"};
    double values[2] = {ra * 12 / kPi, dec * 180 / kPi};
    return IndiSendNumbers(kCoords, names, values, 2);
}

// Whether a call may wait (for the connection, the device, an answer):
// only one that follows the user's action may; the others read what has
// arrived and answer at once.
enum { kNoWait = kIndiNoWait, kMayWait = kIndiMayWait };

// The code to answer when the server or the connected device cannot be
// reached; 0 when ready with the device connected.
static unsigned short DeviceUnreachable(int mayWait)
{
    if (!IndiReady(mayWait) || !IndiDeviceConnected())
        return kTcsNoProvider;
    return 0;
}

// A command switch of the mount: On, or 2 when the device lacks it.
static unsigned short Command(const char *property, const char *element, const char *what)
{
    if (unsigned short code = DeviceUnreachable(kMayWait))
        return code;
    if (IndiFindElement(IndiFind(&gIndi.cache, property), element) == NULL) {
        Trace("%s: the device has no %s.%s", what, property, element);
        return kTcsRefused;
    }
    return IndiSendSwitch(property, element) ? kTcsDone : kTcsNoProvider;
}

// --- Status ---

// Asked at the host's start, before the user has done anything: answered
// from the settings (and the device, once the server has shown it), with
// the connection started and not awaited, so that a server that is off or
// slow holds nobody. What it says later goes to the trace.
TCS_EXPORT unsigned short TCS_CALL TCS_GetVersion(char *text, int size)
{
    IndiReady(kIndiStartOnly);
    const char *device = gIndi.cache.device[0] != '\0' ? gIndi.cache.device : gIndi.config.device;
    char version[640];
    if (gIndi.configBad)
        snprintf(version, sizeof version, "%s, bad configuration at \"%s\"", kVersion, gIndi.badKey);
    else if (device[0] != '\0')
        snprintf(version, sizeof version, "%s, device \"%s\" on INDI server %s:%u", kVersion, device,
                 gIndi.config.host, gIndi.config.port);
    else
        snprintf(version, sizeof version, "%s, the first mount on INDI server %s:%u", kVersion, gIndi.config.host,
                 gIndi.config.port);
    if (text != NULL && size > 0) {
        size_t n = strlen(version) < (size_t)size ? strlen(version) : (size_t)size - 1;
        memcpy(text, version, n);
        text[n] = '\0';
    }
    return gIndi.configBad ? kTcsNoProvider : kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlStatus(unsigned short *code)
{
    unsigned short answer = kTcsNoProvider;
    if (IndiReady(kMayWait) && IndiServerHeard()) {
        if (!IndiDeviceConnected() && gIndi.cache.device[0] != '\0' && gIndi.config.connect)
            IndiConnectDevice(IndiDeadline());
        // A device just connected sends its place a moment after it defines
        // its coordinates: the open waits for it, so that the first
        // tracking tick centres the chart on the mount.
        if (IndiDeviceConnected() && !IndiDevicePlaced(&gIndi.cache))
            IndiWaitUntil(IndiDevicePlaced, IndiDeadline());
        answer = !IndiServerOpen() ? kTcsNoProvider : IndiDeviceConnected() ? kTcsActive : kTcsInactive;
    }
    if (code != NULL)
        *code = answer;
    return answer == kTcsNoProvider ? kTcsNoProvider : kTcsDone;
}

// The mount keeps its own pointing model: Celestial and Earth aligned
// while it answers.
TCS_EXPORT unsigned short TCS_CALL TCS_GetAlignmentStatus(unsigned short *code)
{
    unsigned short answer = DeviceUnreachable(kMayWait) ? kTcsNoProvider : kTcsBothAligned;
    if (code != NULL)
        *code = answer;
    return answer == kTcsNoProvider ? kTcsNoProvider : kTcsDone;
}

// Read on the host's idle path and at every repaint: never waits.
TCS_EXPORT unsigned short TCS_CALL TCS_GetCelestialCoords(DRAV_Coords *pos)
{
    if (unsigned short code = DeviceUnreachable(kNoWait))
        return code;
    double ra = 0, dec = 0;
    if (!MountPosition(&ra, &dec))
        return kTcsNoProvider;
    if (EpochIsJ2000())
        PrecessToJ2000(Now(), ra, dec, &ra, &dec);
    pos->X = ra;
    pos->Y = dec;
    return kTcsDone;
}

// The distance from the mount to the go-to's target, radians (0 when the
// mount's place is unknown).
static double GoToLeft(void)
{
    double ra = 0, dec = 0;
    return MountPosition(&ra, &dec) ? SkyDistance(ra, dec, gIndi.goTo.ra, gIndi.goTo.dec) : 0;
}

// Where a go-to counts as arrived without the mount having been seen Busy:
// drivers arrive within a few thousandths of a degree (EQMod 0.005).
static const double kAtTargetRadians = 0.01 * kPi / 180;

static int AtTarget(void)
{
    double ra = 0, dec = 0;
    return MountPosition(&ra, &dec) && SkyDistance(ra, dec, gIndi.goTo.ra, gIndi.goTo.dec) < kAtTargetRadians;
}

// 0-99 from the distance left against the distance at launch while the
// mount's coordinates are Busy or it has not been seen at work yet; 100 once
// they are not Busy after the server has shown the go-to Busy, or with the
// mount at the target, or when no go-to was launched; 3 when the mount has
// shown them in Alert since the launch (a refusal may be followed by Ok at
// once, before the next poll: EQMod under its horizon), or ends the go-to
// Idle (the end of a slew that was stopped: by another client, the hand
// controller or a limit), or the server connection was lost or made again
// since the launch, or the device or its coordinates went, or it has said
// nothing of the coordinates for a timeout since the launch. The plug-in
// ends its wait at once on a 3, logging the refusal; 100 would be logged as
// the arrival, and any other answer holds the host until the mount shows
// its go-to or the plug-in's 60-second stall limit.
//
// GoToFailed: the go-to's end with a 3, traced (the device or its
// coordinates went, an Alert, an Idle end, no word within the timeout); 1
// when it ended so, the go-to then no longer active.
static int GoToFailed(IndiProperty *p)
{
    IndiGoTo *g = &gIndi.goTo;
    if (p == NULL || !IndiDeviceConnected() || p->serial != g->coordsAtLaunch)
        Trace("go-to ended: the device or its coordinates went");
    else if (p->alertUpdates != g->alertsAtLaunch)
        Trace("go-to ended in Alert");
    else if (p->busyEndedAt > g->busyAtLaunch && p->busyEndState == kIndiIdle) // a Busy since the launch ended Idle
        Trace("go-to ended Idle: the mount stopped %.4f degrees short of the target", GoToLeft() * 180 / kPi);
    else if (MonotonicMilliseconds() - g->launchMs >= (uint64_t)gIndi.config.timeoutMs &&
             p->updates == g->updatesAtLaunch)
        // A server takes a new target at once and shows it; this one said
        // nothing about the coordinates since.
        Trace("go-to not taken: no word on the coordinates within the timeout");
    else
        return 0;
    g->active = 0;
    return 1;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetGoToProgress(unsigned short *percent)
{
    int ready = IndiReady(kNoWait);
    IndiGoTo *g = &gIndi.goTo;
    if (g->interrupted) {
        // The go-to was under way on a connection that is gone: whatever
        // the mount did since is unknown.
        g->interrupted = 0;
        Trace("go-to ended by the lost server connection");
        return kTcsNoProvider;
    }
    if (!ready)
        return kTcsNoProvider;
    if (!g->active) {
        *percent = 100;
        return kTcsDone;
    }
    IndiProperty *p = IndiFind(&gIndi.cache, kCoords);
    if (GoToFailed(p))
        return kTcsNoProvider;
    int seenBusy = p->busyUpdates != g->busyAtLaunch;
    if (p->state != kIndiBusy && (seenBusy || AtTarget())) {
        g->active = 0;
        *percent = 100;
        return kTcsDone;
    }
    *percent = ProgressFromDistance(GoToLeft(), g->launchDistance);
    return kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetScopeOrientation(unsigned short *a, unsigned short *b)
{
    if (unsigned short code = DeviceUnreachable(kNoWait))
        return code;
    IndiProperty *side = IndiFind(&gIndi.cache, "TELESCOPE_PIER_SIDE");
    if (side == NULL)
        return kTcsRefused;
    // a: the pier side (0 east, 1 west); b: 1 while the mount is parked.
    *a = IndiSwitchOn(&gIndi.cache, "TELESCOPE_PIER_SIDE", "PIER_WEST") ? 1 : 0;
    *b = (unsigned short)IndiSwitchOn(&gIndi.cache, "TELESCOPE_PARK", "PARK");
    return kTcsDone;
}

// No vendor settings on an INDI mount.
TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingUShort(unsigned short setting, unsigned short *)
{
    Trace("control setting %u (unsigned) asked: none", setting);
    return DeviceUnreachable(kNoWait) ? kTcsNoProvider : kTcsRefused;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GetControlSettingDouble(unsigned short setting, double *)
{
    Trace("control setting %u (double) asked: none", setting);
    return DeviceUnreachable(kNoWait) ? kTcsNoProvider : kTcsRefused;
}

// --- Settings ---

// Rates by number: the mount's track modes in the order it defines them
// (the simulator: sidereal, solar, lunar, custom).
TCS_EXPORT unsigned short TCS_CALL TCS_SelectTrackRate(unsigned short rate)
{
    if (unsigned short code = DeviceUnreachable(kMayWait))
        return code;
    IndiProperty *modes = IndiFind(&gIndi.cache, "TELESCOPE_TRACK_MODE");
    if (modes == NULL || rate >= modes->count)
        return kTcsRefused;
    char element[kXmlNameMax];
    strcpy(element, modes->elements[rate].name);
    return IndiSendSwitch("TELESCOPE_TRACK_MODE", element) ? kTcsDone : kTcsNoProvider;
}

// 2000: the caller's positions are J2000; any other year: of the date.
TCS_EXPORT unsigned short TCS_CALL TCS_SetEpoch(double epoch)
{
    IndiReady(kNoWait);
    gIndi.config.epochJ2000 = epoch == 2000.0;
    Trace("epoch %.2f: positions %s", epoch, gIndi.config.epochJ2000 ? "J2000" : "of the date");
    return kTcsDone;
}

// The mount's driver corrects refraction itself: recorded only.
TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionCorr(unsigned short on)
{
    IndiReady(kNoWait);
    Trace("refraction correction %u (recorded only)", on);
    return kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionTemperature(double celsius)
{
    IndiReady(kNoWait);
    Trace("refraction temperature %.2f C (recorded only)", celsius);
    return kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetRefractionPressure(double pressure)
{
    IndiReady(kNoWait);
    Trace("refraction pressure %.2f (recorded only)", pressure);
    return kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetParkMark(void)
{
    return Command("TELESCOPE_PARK_OPTION", "PARK_CURRENT", "park mark");
}

// --- Alignment: the mount's own pointing model is never touched ---

// The device's word on a sync: the coordinates updated since the request,
// in a state other than Busy; refused when any of those updates was Alert
// (a refusal may be followed by Ok within the same read). The wait also
// ends when the device or its coordinates go.
static int SyncAnswered(IndiCache *cache)
{
    IndiProperty *p = IndiFind(cache, kCoords);
    return p == NULL || p->serial != gIndi.syncMark.serial || !IndiDeviceConnected() ||
           (p->updates != gIndi.syncMark.updates && p->state != kIndiBusy);
}

// Some drivers take a sync only while the mount tracks (EQMod answers
// Alert otherwise), and a mount that does not track leaves the star it was
// synced on at once: tracking is switched on first when the device shows it
// off, waiting until it shows it on or refuses, for half the time the call
// has left at most: the rest is the sync's, whose answer matters more (a
// driver that never shows tracking on may still sync).
static int TrackAnswered(IndiCache *cache)
{
    IndiProperty *p = IndiFind(cache, "TELESCOPE_TRACK_STATE");
    return p == NULL || !IndiDeviceConnected() || IndiSwitchOn(cache, "TELESCOPE_TRACK_STATE", "TRACK_ON") ||
           (p->updates != gIndi.trackMark.updates && p->state == kIndiAlert);
}

static int TrackBeforeSync(const char *what)
{
    IndiProperty *track = IndiFind(&gIndi.cache, "TELESCOPE_TRACK_STATE");
    if (track == NULL || !track->writable || IndiFindElement(track, "TRACK_ON") == NULL ||
        IndiSwitchOn(&gIndi.cache, "TELESCOPE_TRACK_STATE", "TRACK_ON"))
        return 1;
    Trace("%s: the mount does not track, switching tracking on first", what);
    gIndi.trackMark.updates = track->updates;
    if (!IndiSendSwitch("TELESCOPE_TRACK_STATE", "TRACK_ON"))
        return 0;
    uint64_t now = MonotonicMilliseconds(), end = IndiDeadline();
    if (!IndiWaitUntil(TrackAnswered, now < end ? now + (end - now) / 2 : end) && IndiServerOpen())
        Trace("%s: tracking not shown on, syncing in the time left", what);
    return IndiServerOpen();
}

// Waits for the device's word on the sync just sent and answers by it.
static unsigned short SyncAnswer(const char *what)
{
    if (!IndiWaitUntil(SyncAnswered, IndiDeadline())) {
        Trace("%s: no word from the device on the coordinates within the timeout", what);
        return IndiServerOpen() ? kTcsRefused : kTcsNoProvider;
    }
    IndiProperty *coords = IndiFind(&gIndi.cache, kCoords);
    if (coords == NULL || coords->serial != gIndi.syncMark.serial || !IndiDeviceConnected()) {
        Trace("%s: the device went before it answered", what);
        return kTcsNoProvider;
    }
    if (coords->alertUpdates != gIndi.syncMark.alertUpdates) {
        Trace("%s refused by the device", what);
        return kTcsRefused;
    }
    return kTcsDone;
}

// Sync: ON_COORD_SET to SYNC, the position, then the mode it had back; done
// once the device has answered on the coordinates, within the timeout.
static unsigned short Sync(DRAV_Coords pos, const char *what)
{
    if (unsigned short code = DeviceUnreachable(kMayWait))
        return code;
    IndiProperty *mode = IndiFind(&gIndi.cache, "ON_COORD_SET");
    if (IndiFindElement(mode, "SYNC") == NULL || IndiFind(&gIndi.cache, kCoords) == NULL) {
        Trace("%s: the device cannot sync", what);
        return kTcsRefused;
    }
    char previous[kXmlNameMax] = "TRACK";
    for (int i = 0; i < mode->count; ++i)
        if (mode->elements[i].on && strcmp(mode->elements[i].name, "SYNC") != 0)
            strcpy(previous, mode->elements[i].name);
    double ra = 0, dec = 0;
    ToMount(pos, &ra, &dec);
    if (!TrackBeforeSync(what))
        return kTcsNoProvider;
    // The wait may have brought the deletion of the coordinates, or of the
    // whole device (a driver losing its mount, another client disconnecting
    // it, a driver restarted).
    IndiProperty *coords = IndiFind(&gIndi.cache, kCoords);
    if (coords == NULL || !IndiDeviceConnected()) {
        Trace("%s: the device went while tracking was switched on", what);
        return kTcsNoProvider;
    }
    Trace("%s on (%.6f, %.6f) of the date", what, ra, dec);
    gIndi.syncMark.updates = coords->updates;
    gIndi.syncMark.alertUpdates = coords->alertUpdates;
    gIndi.syncMark.serial = coords->serial;
    if (!IndiSendSwitch("ON_COORD_SET", "SYNC") || !SendPosition(ra, dec) ||
        !IndiSendSwitch("ON_COORD_SET", previous))
        return kTcsNoProvider;
    return SyncAnswer(what);
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignPoint(DRAV_Coords pos, unsigned short, unsigned short)
{
    return Sync(pos, "alignment point");
}

TCS_EXPORT unsigned short TCS_CALL TCS_SetCelestialAlignFromAlignPoints(void)
{
    Trace("build alignment: kept as the mount has it");
    return DeviceUnreachable(kMayWait) ? kTcsNoProvider : kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_VoidCelestialAlign(void)
{
    Trace("void alignment: kept as the mount has it");
    return DeviceUnreachable(kMayWait) ? kTcsNoProvider : kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_Calibrate(DRAV_Coords pos)
{
    return Sync(pos, "calibrate");
}

// --- Motion ---

TCS_EXPORT unsigned short TCS_CALL TCS_KillMotion(void)
{
    return Command("TELESCOPE_ABORT_MOTION", "ABORT", "stop");
}

// A parked mount (unpark=goto) is unparked before a go-to: done once the
// device shows its park switch unparked and not Busy, refused when it
// answers Alert or the call's timeout passes; 0, else the code to answer.
// (Definitions still on their way may show the switch as it was.)
static int UnparkAnswered(IndiCache *cache)
{
    IndiProperty *p = IndiFind(cache, "TELESCOPE_PARK");
    return p == NULL || !IndiDeviceConnected() ||
           (!IndiSwitchOn(cache, "TELESCOPE_PARK", "PARK") && p->state != kIndiBusy) ||
           (p->updates != gIndi.unparkMark.updates && p->state == kIndiAlert);
}

static unsigned short Unpark(void)
{
    IndiProperty *park = IndiFind(&gIndi.cache, "TELESCOPE_PARK");
    if (!gIndi.config.unparkOnGoTo || IndiFindElement(park, "UNPARK") == NULL) {
        Trace("go-to refused: parked%s", gIndi.config.unparkOnGoTo ? ", and the device cannot unpark" : " (unpark=never)");
        return kTcsRefused;
    }
    Trace("go-to: the mount is parked, unparking it first (unpark=goto)");
    gIndi.unparkMark.updates = park->updates;
    if (!IndiSendSwitch("TELESCOPE_PARK", "UNPARK"))
        return kTcsNoProvider;
    IndiWaitUntil(UnparkAnswered, IndiDeadline());
    if (!IndiServerOpen() || !IndiDeviceConnected())
        return kTcsNoProvider;
    park = IndiFind(&gIndi.cache, "TELESCOPE_PARK");
    if (park == NULL || IndiSwitchOn(&gIndi.cache, "TELESCOPE_PARK", "PARK") || park->state == kIndiAlert) {
        Trace("go-to refused: the mount did not unpark within the timeout");
        return kTcsRefused;
    }
    Trace("unparked");
    return 0;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToCelestialCoords(DRAV_Coords pos)
{
    if (unsigned short code = DeviceUnreachable(kMayWait))
        return code;
    IndiProperty *coords = IndiFind(&gIndi.cache, kCoords);
    if (coords == NULL || !coords->writable) {
        Trace("go-to refused: no coordinates to set");
        return kTcsRefused;
    }
    if (IndiSwitchOn(&gIndi.cache, "TELESCOPE_PARK", "PARK"))
        if (unsigned short code = Unpark())
            return code;
    double ra = 0, dec = 0, nowRa = 0, nowDec = 0;
    ToMount(pos, &ra, &dec);
    IndiGoTo *g = &gIndi.goTo;
    g->ra = ra;
    g->dec = dec;
    g->launchDistance = MountPosition(&nowRa, &nowDec) ? SkyDistance(nowRa, nowDec, ra, dec) : 0;
    IndiProperty *mode = IndiFind(&gIndi.cache, "ON_COORD_SET");
    if (IndiFindElement(mode, "TRACK") != NULL && !IndiSwitchOn(&gIndi.cache, "ON_COORD_SET", "TRACK") &&
        !IndiSendSwitch("ON_COORD_SET", "TRACK"))
        return kTcsNoProvider;
    if (!SendPosition(ra, dec))
        return kTcsNoProvider;
    // Arrival needs evidence from the coordinates: looked up again, since
    // unparking waited on the stream.
    coords = IndiFind(&gIndi.cache, kCoords);
    if (coords == NULL)
        return kTcsNoProvider;
    g->busyAtLaunch = coords->busyUpdates;
    g->updatesAtLaunch = coords->updates;
    g->alertsAtLaunch = coords->alertUpdates;
    g->coordsAtLaunch = coords->serial;
    g->launchMs = MonotonicMilliseconds();
    g->interrupted = 0;
    g->active = 1;
    Trace("go-to (%.6f, %.6f) of the date, %.4f degrees away", ra, dec, g->launchDistance * 180 / kPi);
    return kTcsDone;
}

TCS_EXPORT unsigned short TCS_CALL TCS_GoToPark(void)
{
    return Command("TELESCOPE_PARK", "PARK", "park");
}
