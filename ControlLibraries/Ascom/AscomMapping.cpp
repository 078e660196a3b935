// The 21 entry points over the ASCOM Telescope interface: each one asks the
// transport for the members it needs by name, or answers from the state
// cache that the transport's poll fills, and turns the device's answers
// into ours. Nothing here knows whether the members travel over HTTP or
// through IDispatch.
#include "AscomMapping.h"
#include "Precession.h"
#include "SkyMath.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

static const double kPi = 3.14159265358979323846;
static const char kVersion[] = "DRAV ASCOM control library 1.0";

// The epochs a device may give its coordinates in, in Julian centuries of
// TT from J2000: J2050, and B1950 (JD 2433282.4235).
static const double kJ2050 = 0.5;
static const double kB1950 = (2433282.4235 - 2451545.0) / 36525.0;

// A go-to has arrived when it ends within this of its target: drivers
// arrive within a few thousandths of a degree.
static const double kAtTargetRadians = 0.01 * kPi / 180;

// The pause between two looks at a member that a wait polls (Connecting,
// AtPark): a reply on loopback takes a millisecond, and a driver's connect
// or unpark takes seconds.
static const uint64_t kStepMs = 100;

static void Trace(const AscomTransport *t, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

static void Trace(const AscomTransport *t, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    t->trace(t->context, format, args);
    va_end(args);
}

static uint64_t Now(const AscomTransport *t)
{
    return t->monotonicMs(t->context);
}

// The end of a call's waits: the timeout from now, or now for a call that
// may not wait.
static uint64_t Deadline(const AscomMount *m, const AscomTransport *t, int mayWait)
{
    return Now(t) + (mayWait ? (uint64_t)m->options.timeoutMs : 0);
}

void AscomMountInit(AscomMount *mount, const AscomOptions *options)
{
    memset(mount, 0, sizeof *mount);
    mount->options = *options;
    mount->callerJ2000 = options->epochJ2000;
}

// --- Requests ---

unsigned short AscomReplyCode(const AscomReply *reply)
{
    if (reply->reach == kAscomNoServer)
        return kTcsNoProvider;
    if (reply->reach != kAscomReached)
        return kTcsRefused;
    if (reply->errorNumber == 0)
        return 0;
    return reply->errorNumber == 0x407 ? kTcsNoProvider : kTcsRefused;
}

static void TraceFailure(const AscomTransport *t, const char *member, const AscomReply *r)
{
    if (r->reach == kAscomNoServer)
        Trace(t, "%s: no server", member);
    else if (r->reach == kAscomTimedOut)
        Trace(t, "%s: no reply within the timeout", member);
    else if (r->reach == kAscomHttpFailed)
        Trace(t, "%s: not carried out (status %d)", member, r->status);
    else
        Trace(t, "%s refused by the device: error 0x%X %s", member, (unsigned)r->errorNumber, r->message);
}

// One request, with the answer's code (0 done, 2, 3); a failure is traced
// with the driver's message. A device that says it is not connected is
// taken as such.
static unsigned short Request(AscomMount *m, const AscomTransport *t, AscomVerb verb, const char *member,
                              const AscomParam *params, int count, uint64_t deadline, AscomReply *reply)
{
    memset(reply, 0, sizeof *reply);
    t->call(t->context, verb, member, params, count, deadline, reply);
    unsigned short code = AscomReplyCode(reply);
    if (code != 0)
        TraceFailure(t, member, reply);
    if (reply->reach == kAscomReached && reply->errorNumber == 0x407)
        m->connected = 0;
    return code;
}

static unsigned short Put(AscomMount *m, const AscomTransport *t, const char *member, const AscomParam *params,
                          int count, uint64_t deadline)
{
    AscomReply reply;
    return Request(m, t, kAscomPut, member, params, count, deadline, &reply);
}

// A property holding a number (or a bool, as 0 or 1).
static unsigned short GetNumber(AscomMount *m, const AscomTransport *t, const char *member, uint64_t deadline,
                                double *value)
{
    AscomReply r;
    unsigned short code = Request(m, t, kAscomGet, member, NULL, 0, deadline, &r);
    if (code == 0 && r.kind != kAscomBool && r.kind != kAscomInteger && r.kind != kAscomDouble) {
        Trace(t, "%s: the answer is not a number", member);
        code = kTcsRefused;
    }
    if (code == 0)
        *value = r.number;
    return code;
}

// A property read now into the state cache, under a serial of its own.
static const char *const kReadingMembers[kAscomReadingCount] = {
    "RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier",
};

static unsigned short ReadNow(AscomMount *m, const AscomTransport *t, int index, uint64_t deadline, double *value)
{
    unsigned long serial = AscomReadingStarted(&m->state);
    unsigned short code = GetNumber(m, t, kReadingMembers[index], deadline, value);
    if (code == 0)
        AscomStoreReading(&m->state, serial, kReadingMembers[index], *value);
    return code;
}

// A text property, on one line (a driver's DriverInfo may hold several).
static unsigned short GetText(AscomMount *m, const AscomTransport *t, const char *member, uint64_t deadline,
                              char *text)
{
    AscomReply r;
    unsigned short code = Request(m, t, kAscomGet, member, NULL, 0, deadline, &r);
    text[0] = '\0';
    if (code == 0 && r.kind == kAscomText) {
        memcpy(text, r.text, kAscomTextMax);
        text[kAscomTextMax - 1] = '\0';
        for (char *c = text; *c != '\0'; ++c)
            if ((unsigned char)*c < ' ')
                *c = ' ';
    }
    return code;
}

// --- Reaching the device ---

// The server is gone: what was read from it no longer tells where the
// mount is, and a go-to under way ends with the next progress poll.
static void Lost(AscomMount *m, const AscomTransport *t)
{
    if (m->wasReachable)
        Trace(t, "server gone: the readings are dropped");
    m->wasReachable = 0;
    AscomForgetReadings(&m->state);
    if (m->goTo.active) {
        m->goTo.active = 0;
        m->goTo.interrupted = 1;
    }
}

// 0 when the server is reachable and the device connected, else 3; a
// device that refused a reading as not connected (0x407) is taken as such.
static unsigned short Check(AscomMount *m, const AscomTransport *t, int reachable)
{
    if (!reachable) {
        Lost(m, t);
        return kTcsNoProvider;
    }
    m->wasReachable = 1;
    if (m->state.notConnectedSerial > m->notConnectedSeen) {
        m->notConnectedSeen = m->state.notConnectedSerial;
        if (m->connected)
            Trace(t, "the device says it is not connected (error 0x407)");
        m->connected = 0;
    }
    return m->connected ? 0 : kTcsNoProvider;
}

// The start of an idle call: the transport's refresh, never waiting.
static unsigned short Idle(AscomMount *m, const AscomTransport *t)
{
    if (m->options.configBad)
        return kTcsNoProvider;
    t->poll(t->context, m);
    return Check(m, t, t->reachable(t->context));
}

// Each capability read at connect; one the device does not answer is false.
static unsigned short ReadFlags(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    AscomCapabilities *c = &m->caps;
    const struct {
        const char *member;
        int *flag;
    } flags[] = {
        {"CanSlewAsync", &c->canSlewAsync}, {"CanSync", &c->canSync},       {"CanPark", &c->canPark},
        {"CanUnpark", &c->canUnpark},       {"CanSetPark", &c->canSetPark}, {"CanSetTracking", &c->canSetTracking},
    };
    for (const auto &f : flags) {
        double value = 0;
        unsigned short code = GetNumber(m, t, f.member, deadline, &value);
        if (code == kTcsNoProvider)
            return code;
        *f.flag = code == 0 && value != 0;
    }
    double system = 0;
    if (GetNumber(m, t, "EquatorialSystem", deadline, &system) == kTcsNoProvider)
        return kTcsNoProvider;
    c->equatorialSystem = system >= 1 && system <= 4 ? (int)system : 0;
    return 0;
}

static unsigned short ReadCapabilities(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    memset(&m->caps, 0, sizeof m->caps);
    double version = 1;
    if (GetNumber(m, t, "InterfaceVersion", deadline, &version) == kTcsNoProvider)
        return kTcsNoProvider;
    m->caps.interfaceVersion = (int)version;
    if (unsigned short code = ReadFlags(m, t, deadline))
        return code;
    AscomReply r;
    unsigned short code = Request(m, t, kAscomGet, "TrackingRates", NULL, 0, deadline, &r);
    if (code == kTcsNoProvider)
        return code;
    if (code == 0 && r.kind == kAscomList) {
        m->caps.rateCount = r.listCount < kAscomRatesMax ? r.listCount : kAscomRatesMax;
        memcpy(m->caps.rates, r.list, sizeof m->caps.rates);
    }
    if (GetText(m, t, "Name", deadline, m->name) == kTcsNoProvider ||
        GetText(m, t, "DriverInfo", deadline, m->driverInfo) == kTcsNoProvider)
        return kTcsNoProvider;
    return 0;
}

// The first state, so that the first idle call after the open answers.
// A member the driver lacks (SideOfPier) stays unknown.
static unsigned short ReadFirstState(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    for (int i = 0; i < kAscomReadingCount; ++i) {
        double value = 0;
        if (ReadNow(m, t, i, deadline, &value) == kTcsNoProvider)
            return kTcsNoProvider;
    }
    return 0;
}

// Waits while the device shows Connecting, within the deadline.
static unsigned short AwaitConnecting(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    for (;;) {
        double connecting = 0;
        unsigned short code = GetNumber(m, t, "Connecting", deadline, &connecting);
        uint64_t now = Now(t);
        if (code != 0 || !connecting || now >= deadline)
            return code;
        t->pauseUntil(t->context, now + kStepMs < deadline ? now + kStepMs : deadline);
    }
}

// Asks the device to connect: Connect() and Connecting from interface 4
// on, else Connected=True, which older drivers answer once connected (as
// do those that claim interface 4 and lack Connect).
static unsigned short AskToConnect(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    double version = 1, connecting = 0;
    if (GetNumber(m, t, "InterfaceVersion", deadline, &version) == kTcsNoProvider)
        return kTcsNoProvider;
    Trace(t, "connecting the device (interface %d)", (int)version);
    unsigned short code = kTcsRefused;
    if (version >= 4) {
        code = GetNumber(m, t, "Connecting", deadline, &connecting);
        if (code == 0 && !connecting)
            code = Put(m, t, "Connect", NULL, 0, deadline);
        if (code == 0)
            return AwaitConnecting(m, t, deadline);
    }
    if (code != kTcsRefused)
        return code;
    AscomParam on = {"Connected", kAscomBool, 1, NULL};
    return Put(m, t, "Connected", &on, 1, deadline);
}

// Connects the device, then reads its capabilities and first state, all
// by the deadline: 200 connected; 201 the server answers but the device is
// absent or refuses; 3 no server.
static unsigned short ConnectDevice(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    AscomReply r;
    m->connected = 0;
    unsigned short code = Request(m, t, kAscomGet, "Connected", NULL, 0, deadline, &r);
    if (r.reach == kAscomNoServer || r.reach == kAscomTimedOut)
        return kTcsNoProvider;
    if (code != 0)
        return kTcsInactive;
    if (r.number == 0) {
        double connected = 0;
        code = AskToConnect(m, t, deadline);
        if (code == 0)
            code = GetNumber(m, t, "Connected", deadline, &connected);
        if (code == kTcsNoProvider && !t->reachable(t->context))
            return kTcsNoProvider;
        if (code != 0 || connected == 0) {
            Trace(t, "the device did not connect");
            return kTcsInactive;
        }
    }
    if (ReadCapabilities(m, t, deadline) || ReadFirstState(m, t, deadline))
        return t->reachable(t->context) ? kTcsInactive : kTcsNoProvider;
    m->connected = 1;
    m->notConnectedSeen = m->state.notConnectedSerial;
    Trace(t, "device \"%s\" connected: interface %d, EquatorialSystem %d, %d tracking rates%s%s%s%s%s%s",
          m->name, m->caps.interfaceVersion, m->caps.equatorialSystem, m->caps.rateCount,
          m->caps.canSlewAsync ? ", slews" : "", m->caps.canSync ? ", syncs" : "", m->caps.canPark ? ", parks" : "",
          m->caps.canUnpark ? ", unparks" : "", m->caps.canSetPark ? ", sets its park" : "",
          m->caps.canSetTracking ? ", sets tracking" : "");
    return kTcsActive;
}

// The code to answer when the device cannot be reached, 0 when it is
// connected. A call that may wait reaches the server and connects the
// device, by the deadline.
static unsigned short Unreachable(AscomMount *m, const AscomTransport *t, int mayWait, uint64_t deadline)
{
    if (m->options.configBad)
        return kTcsNoProvider;
    int ready = mayWait ? t->ready(t->context, deadline) : t->reachable(t->context);
    unsigned short code = Check(m, t, ready);
    if (code != 0 && ready && mayWait && ConnectDevice(m, t, deadline) == kTcsActive)
        code = 0;
    return code;
}

// --- Frames ---

// The frame a device gives its coordinates in, as its epoch (centuries
// from J2000); one that says nothing (0) is taken as the epoch option says.
static double DeviceEpoch(const AscomMount *m, double date)
{
    switch (m->caps.equatorialSystem) {
    case 1: return date;
    case 2: return 0;
    case 3: return kJ2050;
    case 4: return kB1950;
    default: return m->options.epochJ2000 ? 0 : date;
    }
}

static double CallerEpoch(const AscomMount *m, double date)
{
    return m->callerJ2000 ? 0 : date;
}

static double DateNow(const AscomTransport *t)
{
    return JulianCenturiesFromUnix(t->unixSeconds(t->context));
}

// A place (radians) from the frame of one epoch to another's, through J2000.
static void Reframe(double from, double to, double ra, double dec, double *outRa, double *outDec)
{
    if (from != to && from != 0)
        PrecessToJ2000(from, ra, dec, &ra, &dec);
    if (from != to && to != 0)
        PrecessFromJ2000(to, ra, dec, &ra, &dec);
    *outRa = WrapRightAscension(ra);
    *outDec = dec;
}

// The mount's place from the cache, in the device's frame, radians.
static int CachedPlace(const AscomMount *m, double *ra, double *dec)
{
    const AscomReading *r = &m->state.readings[kAscomRightAscension], *d = &m->state.readings[kAscomDeclination];
    if (!r->known || !d->known)
        return 0;
    double hours = fmod(r->value, 24.0);
    if (hours < 0)
        hours += 24.0;
    double degrees = d->value > 90 ? 90 : d->value < -90 ? -90 : d->value;
    *ra = hours * kPi / 12;
    *dec = degrees * kPi / 180;
    return 1;
}

// A target of the host's as the device takes it: hours and degrees in its
// frame, for RightAscension and Declination.
static void ToDevice(const AscomMount *m, const AscomTransport *t, DRAV_Coords pos, AscomParam params[2])
{
    double date = DateNow(t), ra = 0, dec = 0;
    Reframe(CallerEpoch(m, date), DeviceEpoch(m, date), pos.X, pos.Y, &ra, &dec);
    params[0] = {"RightAscension", kAscomDouble, ra * 12 / kPi, NULL};
    params[1] = {"Declination", kAscomDouble, dec * 180 / kPi, NULL};
}

// --- Status ---

unsigned short AscomGetVersion(AscomMount *m, const AscomTransport *t, int mayWait, char *text, int size)
{
    int ready = 0;
    if (!m->options.configBad) {
        uint64_t deadline = Deadline(m, t, mayWait);
        ready = mayWait ? t->ready(t->context, deadline) : t->reachable(t->context);
        if (ready && mayWait && m->name[0] == '\0' && GetText(m, t, "Name", deadline, m->name) == 0)
            GetText(m, t, "DriverInfo", deadline, m->driverInfo);
    }
    char server[kAscomTextMax] = "", version[3 * kAscomTextMax + 64];
    t->describe(t->context, server, sizeof server);
    if (m->options.configBad)
        snprintf(version, sizeof version, "%s, bad configuration at \"%s\"", kVersion, m->options.badKey);
    else if (m->name[0] != '\0')
        snprintf(version, sizeof version, "%s, driver \"%s\"%s%s%s on %s", kVersion, m->name,
                 m->driverInfo[0] ? " (" : "", m->driverInfo, m->driverInfo[0] ? ")" : "", server);
    else
        snprintf(version, sizeof version, "%s, no mount on %s", kVersion, server);
    if (text != NULL && size > 0) {
        size_t n = strlen(version) < (size_t)size ? strlen(version) : (size_t)size - 1;
        memcpy(text, version, n);
        text[n] = '\0';
    }
    return ready ? kTcsDone : kTcsNoProvider;
}

// The device as an open finds it, connected by the deadline if it is not:
// another client may have disconnected it since. 200, 201 or 3.
static unsigned short OpenStatus(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    double connected = 0;
    if (m->connected && GetNumber(m, t, "Connected", deadline, &connected) == 0) {
        if (connected != 0)
            return kTcsActive;
        Trace(t, "the device was disconnected meanwhile");
    }
    return ConnectDevice(m, t, deadline);
}

unsigned short AscomGetControlStatus(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *code)
{
    uint64_t deadline = Deadline(m, t, mayWait);
    unsigned short answer = kTcsNoProvider;
    if (!m->options.configBad) {
        int ready = mayWait ? t->ready(t->context, deadline) : t->reachable(t->context);
        answer = Check(m, t, ready) == 0 ? kTcsActive : !ready ? kTcsNoProvider : kTcsInactive;
        if (ready && mayWait)
            answer = OpenStatus(m, t, deadline);
    }
    if (code != NULL)
        *code = answer;
    return answer == kTcsNoProvider ? kTcsNoProvider : kTcsDone;
}

// The mount keeps its own pointing model: Celestial and Earth aligned
// while it answers.
unsigned short AscomGetAlignmentStatus(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *code)
{
    unsigned short answer = Unreachable(m, t, mayWait, Deadline(m, t, mayWait)) ? kTcsNoProvider : kTcsBothAligned;
    if (code != NULL)
        *code = answer;
    return answer == kTcsNoProvider ? kTcsNoProvider : kTcsDone;
}

// Read on the host's idle path and at every repaint: never waits.
unsigned short AscomGetCelestialCoords(AscomMount *m, const AscomTransport *t, int, DRAV_Coords *pos)
{
    if (unsigned short code = Idle(m, t))
        return code;
    double ra = 0, dec = 0, date = DateNow(t);
    if (!CachedPlace(m, &ra, &dec))
        return kTcsNoProvider;
    Reframe(DeviceEpoch(m, date), CallerEpoch(m, date), ra, dec, &pos->X, &pos->Y);
    return kTcsDone;
}

// --- Progress ---

static double GoToLeft(const AscomMount *m)
{
    double ra = 0, dec = 0;
    return CachedPlace(m, &ra, &dec) ? SkyDistance(ra, dec, m->goTo.ra, m->goTo.dec) : m->goTo.launchDistance;
}

// The go-to's end, when the readings since the launch show it: 0 not yet,
// else the answer (1 with the mount at the target, 3 stopped short or a
// reading refused). Arrival needs a reading of a request started after
// the launch showing the mount not slewing, and a place read with it or
// after it. A mount not seen slewing since the launch that has not moved
// to the target is given the timeout to start: the definitions want
// Slewing as soon as the slew is taken, and some drivers show it only at
// their next poll of the mount.
static unsigned short GoToEnd(AscomMount *m, const AscomTransport *t)
{
    AscomGoTo *g = &m->goTo;
    const AscomReading *s = &m->state.readings[kAscomSlewing], *r = &m->state.readings[kAscomRightAscension],
                       *d = &m->state.readings[kAscomDeclination];
    if (m->state.motionErrorSerial > g->launchSerial) {
        Trace(t, "go-to ended: the device refused a reading (error 0x%X)", (unsigned)m->state.lastErrorNumber);
        return kTcsNoProvider;
    }
    if (!s->known || s->serial <= g->launchSerial)
        return 0;
    if (s->value != 0)
        g->seenSlewing = 1;
    if (s->value != 0 || !r->known || !d->known || r->serial < s->serial || d->serial < s->serial)
        return 0;
    double left = GoToLeft(m);
    if (left < kAtTargetRadians)
        return kTcsDone;
    if (!g->seenSlewing && Now(t) - g->launchMs < (uint64_t)m->options.timeoutMs)
        return 0;
    Trace(t, "go-to ended: the mount stopped %.4f degrees short of the target%s", left * 180 / kPi,
          g->seenSlewing ? "" : ", not seen slewing within the timeout");
    return kTcsNoProvider;
}

// Polled by the plug-in's go-to wait: 0-99 from the distance left against
// the distance at launch while the mount slews; 100 once it has ended at
// the target, or when no go-to was launched; 3 when it ended short of the
// target (stopped by another client, the hand controller, a limit), the
// device refused a reading, or the server or the device went. The plug-in
// ends its wait at once on a 3, logging the refusal; 100 is logged as the
// arrival.
unsigned short AscomGetGoToProgress(AscomMount *m, const AscomTransport *t, int, unsigned short *percent)
{
    unsigned short code = Idle(m, t);
    AscomGoTo *g = &m->goTo;
    if (g->interrupted || (code != 0 && g->active)) {
        g->interrupted = 0;
        g->active = 0;
        Trace(t, "go-to ended: the server or the device went");
        return kTcsNoProvider;
    }
    if (code != 0)
        return code;
    unsigned short end = g->active ? GoToEnd(m, t) : kTcsDone;
    if (end != 0) {
        g->active = 0;
        if (end == kTcsDone)
            *percent = 100;
        return end;
    }
    *percent = ProgressFromDistance(GoToLeft(m), g->launchDistance);
    return kTcsDone;
}

// --- Orientation and settings: from the cache ---

// a: the pier side (0 east, 1 west, and 0 when the driver does not know
// it); b: 1 while the mount is parked. 2 when the driver has no SideOfPier.
unsigned short AscomGetScopeOrientation(AscomMount *m, const AscomTransport *t, int, unsigned short *a,
                                        unsigned short *b)
{
    if (unsigned short code = Idle(m, t))
        return code;
    const AscomReading *side = &m->state.readings[kAscomSideOfPier], *park = &m->state.readings[kAscomAtPark];
    if (!side->known)
        return kTcsRefused;
    *a = side->value == 1 ? 1 : 0;
    *b = park->known && park->value != 0 ? 1 : 0;
    return kTcsDone;
}

// No vendor settings on an ASCOM mount.
unsigned short AscomGetControlSettingUShort(AscomMount *m, const AscomTransport *t, int, unsigned short setting,
                                            unsigned short *)
{
    Trace(t, "control setting %u (unsigned) asked: none", setting);
    return Idle(m, t) ? kTcsNoProvider : kTcsRefused;
}

unsigned short AscomGetControlSettingDouble(AscomMount *m, const AscomTransport *t, int, unsigned short setting,
                                            double *)
{
    Trace(t, "control setting %u (double) asked: none", setting);
    return Idle(m, t) ? kTcsNoProvider : kTcsRefused;
}

// 2000: the host's positions are J2000; any other year: of the date.
unsigned short AscomSetEpoch(AscomMount *m, const AscomTransport *t, int, double epoch)
{
    Idle(m, t);
    m->callerJ2000 = epoch == 2000.0;
    Trace(t, "epoch %.2f: positions %s", epoch, m->callerJ2000 ? "J2000" : "of the date");
    return kTcsDone;
}

// The mount's driver corrects refraction itself: recorded only.
unsigned short AscomSetRefractionCorr(AscomMount *m, const AscomTransport *t, int, unsigned short on)
{
    Idle(m, t);
    Trace(t, "refraction correction %u (recorded only)", on);
    return kTcsDone;
}

unsigned short AscomSetRefractionTemperature(AscomMount *m, const AscomTransport *t, int, double celsius)
{
    Idle(m, t);
    Trace(t, "refraction temperature %.2f C (recorded only)", celsius);
    return kTcsDone;
}

unsigned short AscomSetRefractionPressure(AscomMount *m, const AscomTransport *t, int, double pressure)
{
    Idle(m, t);
    Trace(t, "refraction pressure %.2f (recorded only)", pressure);
    return kTcsDone;
}

// Rate N is the N-th rate that TrackingRates lists, as the INDI library
// takes its device's N-th track mode.
unsigned short AscomSelectTrackRate(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short rate)
{
    uint64_t deadline = Deadline(m, t, mayWait);
    if (unsigned short code = Unreachable(m, t, mayWait, deadline))
        return code;
    if (rate >= m->caps.rateCount) {
        Trace(t, "track rate %u refused: the driver lists %d rates", rate, m->caps.rateCount);
        return kTcsRefused;
    }
    AscomParam p = {"TrackingRate", kAscomInteger, (double)m->caps.rates[rate], NULL};
    unsigned short code = Put(m, t, "TrackingRate", &p, 1, deadline);
    return code != 0 ? code : kTcsDone;
}

// --- Commands ---

// A method without parameters, where the capability allows it (NULL: always).
static unsigned short Command(AscomMount *m, const AscomTransport *t, int mayWait, const char *member,
                              const int *capability, const char *what)
{
    uint64_t deadline = Deadline(m, t, mayWait);
    if (unsigned short code = Unreachable(m, t, mayWait, deadline))
        return code;
    if (capability != NULL && !*capability) {
        Trace(t, "%s refused: the driver cannot (%s)", what, member);
        return kTcsRefused;
    }
    unsigned short code = Put(m, t, member, NULL, 0, deadline);
    return code != 0 ? code : kTcsDone;
}

unsigned short AscomKillMotion(AscomMount *m, const AscomTransport *t, int mayWait)
{
    return Command(m, t, mayWait, "AbortSlew", NULL, "stop");
}

unsigned short AscomGoToPark(AscomMount *m, const AscomTransport *t, int mayWait)
{
    return Command(m, t, mayWait, "Park", &m->caps.canPark, "park");
}

unsigned short AscomSetParkMark(AscomMount *m, const AscomTransport *t, int mayWait)
{
    return Command(m, t, mayWait, "SetPark", &m->caps.canSetPark, "park mark");
}

// Go-tos and syncs are refused while the mount does not track, by drivers
// that follow the definitions: tracking is switched on first where it can
// be, by the end given. A refusal is traced and the command goes on: the
// driver's answer to it decides.
static unsigned short TrackFirst(AscomMount *m, const AscomTransport *t, uint64_t end, const char *what)
{
    double tracking = 0;
    if (!m->caps.canSetTracking)
        return 0;
    unsigned short code = ReadNow(m, t, kAscomTracking, end, &tracking);
    if (code == kTcsNoProvider || (code == 0 && tracking != 0))
        return code;
    Trace(t, "%s: the mount does not track, switching tracking on first", what);
    AscomParam on = {"Tracking", kAscomBool, 1, NULL};
    code = Put(m, t, "Tracking", &on, 1, end);
    if (code == kTcsRefused)
        Trace(t, "%s: tracking not switched on, going on in the time left", what);
    return code == kTcsNoProvider ? code : 0;
}

// A parked mount is unparked before a go-to (unpark=goto): done once it
// no longer shows AtPark, by the deadline; 0, else the code to answer.
static unsigned short UnparkFirst(AscomMount *m, const AscomTransport *t, uint64_t deadline)
{
    double parked = 0;
    unsigned short code = ReadNow(m, t, kAscomAtPark, deadline, &parked);
    if (code != 0 || parked == 0)
        return code == kTcsNoProvider ? code : 0;
    if (!m->options.unparkOnGoTo || !m->caps.canUnpark) {
        Trace(t, "go-to refused: parked%s", m->options.unparkOnGoTo ? ", and the driver cannot unpark" : " (unpark=never)");
        return kTcsRefused;
    }
    Trace(t, "go-to: the mount is parked, unparking it first (unpark=goto)");
    if ((code = Put(m, t, "Unpark", NULL, 0, deadline)) != 0)
        return code;
    // Most drivers answer Unpark once unparked; others show AtPark until then.
    for (;;) {
        code = ReadNow(m, t, kAscomAtPark, deadline, &parked);
        uint64_t now = Now(t);
        if (code == kTcsNoProvider || (code == 0 && parked == 0))
            return code;
        if (now >= deadline) {
            Trace(t, "go-to refused: the mount did not unpark within the timeout");
            return kTcsRefused;
        }
        t->pauseUntil(t->context, now + kStepMs < deadline ? now + kStepMs : deadline);
    }
}

// The state cache shows the mount ready for a go-to: not parked, and
// tracking where it can be switched on.
static int ReadyByTheCache(const AscomMount *m)
{
    const AscomReading *parked = &m->state.readings[kAscomAtPark], *tracking = &m->state.readings[kAscomTracking];
    return parked->known && parked->value == 0 && (!m->caps.canSetTracking || (tracking->known && tracking->value != 0));
}

// A go-to: unparked and tracking first, then SlewToCoordinatesAsync with
// the target in the device's frame. Where the state cache (at most a poll
// old) shows the mount ready, the slew goes out at once, so that it reaches
// the mount without a round trip before it; a refusal as parked or not
// tracking (the cache was old) takes the checked way, once. A driver that
// cannot slew asynchronously is refused: the blocking SlewToCoordinates
// would hold the host for the whole slew.
unsigned short AscomGoToCelestialCoords(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos)
{
    uint64_t deadline = Deadline(m, t, mayWait);
    AscomGoTo *g = &m->goTo;
    g->active = 0;
    if (unsigned short code = Unreachable(m, t, mayWait, deadline))
        return code;
    if (!m->caps.canSlewAsync) {
        Trace(t, "go-to refused: the driver cannot slew asynchronously (CanSlewAsync false)");
        return kTcsRefused;
    }
    AscomParam target[2];
    ToDevice(m, t, pos, target);
    AscomReply reply;
    unsigned short code = kTcsRefused;
    if (ReadyByTheCache(m)) {
        code = Request(m, t, kAscomPut, "SlewToCoordinatesAsync", target, 2, deadline, &reply);
        if (code == kTcsRefused && reply.reach == kAscomReached &&
            (reply.errorNumber == 0x408 || reply.errorNumber == 0x40B))
            Trace(t, "go-to: refused as the mount stands now, unparking and tracking first");
        else if (code != 0)
            return code;
    }
    if (code != 0) {
        if ((code = UnparkFirst(m, t, deadline)) != 0 || (code = TrackFirst(m, t, deadline, "go-to")) != 0)
            return code;
        if ((code = Put(m, t, "SlewToCoordinatesAsync", target, 2, deadline)) != 0)
            return code;
    }
    g->ra = target[0].number * kPi / 12;
    g->dec = target[1].number * kPi / 180;
    double ra = 0, dec = 0;
    g->launchDistance = CachedPlace(m, &ra, &dec) ? SkyDistance(ra, dec, g->ra, g->dec) : 0;
    g->launchSerial = m->state.serial;
    g->launchMs = Now(t);
    g->seenSlewing = 0;
    g->interrupted = 0;
    g->active = 1;
    Trace(t, "go-to (%.6f h, %.6f deg) in the device's frame, %.4f degrees away", target[0].number,
          target[1].number, g->launchDistance * 180 / kPi);
    return kTcsDone;
}

// --- Alignment: the mount's own pointing model is never touched ---

// A sync: tracking switched on first where it is off, in half the time
// the call has left at most (the rest is the sync's, whose answer matters
// more), then SyncToCoordinates in the device's frame.
static unsigned short Sync(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos, const char *what)
{
    uint64_t deadline = Deadline(m, t, mayWait);
    if (unsigned short code = Unreachable(m, t, mayWait, deadline))
        return code;
    if (!m->caps.canSync) {
        Trace(t, "%s refused: the driver cannot sync (CanSync false)", what);
        return kTcsRefused;
    }
    uint64_t now = Now(t);
    if (unsigned short code = TrackFirst(m, t, now < deadline ? now + (deadline - now) / 2 : deadline, what))
        return code;
    AscomParam target[2];
    ToDevice(m, t, pos, target);
    Trace(t, "%s on (%.6f h, %.6f deg) in the device's frame", what, target[0].number, target[1].number);
    unsigned short code = Put(m, t, "SyncToCoordinates", target, 2, deadline);
    return code != 0 ? code : kTcsDone;
}

unsigned short AscomSetCelestialAlignPoint(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos,
                                           unsigned short, unsigned short)
{
    return Sync(m, t, mayWait, pos, "alignment point");
}

unsigned short AscomCalibrate(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos)
{
    return Sync(m, t, mayWait, pos, "calibrate");
}

unsigned short AscomSetCelestialAlignFromAlignPoints(AscomMount *m, const AscomTransport *t, int mayWait)
{
    Trace(t, "build alignment: kept as the mount has it");
    return Unreachable(m, t, mayWait, Deadline(m, t, mayWait)) ? kTcsNoProvider : kTcsDone;
}

unsigned short AscomVoidCelestialAlign(AscomMount *m, const AscomTransport *t, int mayWait)
{
    Trace(t, "void alignment: kept as the mount has it");
    return Unreachable(m, t, mayWait, Deadline(m, t, mayWait)) ? kTcsNoProvider : kTcsDone;
}
