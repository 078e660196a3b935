// The INDI client: the session's connection, reading and requests.
#include "IndiClient.h"

#include "Settings.h"
#include "Trace.h"

#include <stdio.h>
#include <string.h>

IndiSession gIndi;

static void Load(void)
{
    gIndi.loaded = 1;
    gIndi.socket = kNoSocket;
    ConfigDefaults(&gIndi.config);
    char source[1100];
    int good = SettingsRead("DRAV_INDI", "DRAV-INDI.ini", kIndiSettings, kIndiSettingsCount, &gIndi.config,
                            gIndi.badKey, sizeof gIndi.badKey, source, sizeof source);
    TraceOpen(gIndi.config.log);
    Trace("configuration from %s", source);
    IndiCacheReset(&gIndi.cache, gIndi.config.device);
    AttemptReset(&gIndi.attempt, gIndi.config.host, gIndi.config.port);
    if (!good) {
        gIndi.configBad = 1;
        fprintf(stderr, "DRAV INDI: bad configuration at \"%s\"; answering as without a provider\n", gIndi.badKey);
        Trace("bad configuration at \"%s\"", gIndi.badKey);
        return;
    }
    Trace("configuration: host=%s port=%u device=%s timeout=%d connect=%s epoch=%s unpark=%s", gIndi.config.host,
          gIndi.config.port, gIndi.config.device[0] ? gIndi.config.device : "(first mount)",
          gIndi.config.timeoutMs, gIndi.config.connect ? "auto" : "never",
          gIndi.config.epochJ2000 ? "j2000" : "date", gIndi.config.unparkOnGoTo ? "goto" : "never");
}

// Closes the attempt under way, if any.
static void CloseAttempt(void)
{
    AttemptClose(&gIndi.attempt);
    if (gIndi.link == kLinkAttempting)
        gIndi.link = kLinkPaused;
}

int IndiServerOpen(void)
{
    return gIndi.link >= kLinkSilent;
}

int IndiServerHeard(void)
{
    return gIndi.link >= kLinkHeard;
}

void LibraryRelease(void)
{
    if (IndiServerOpen()) {
        NetClose(gIndi.socket);
        gIndi.link = kLinkPaused;
    }
    CloseAttempt();
    AttemptRelease(&gIndi.attempt);
    TraceClose();
}

// --- Connection ---

static void Lost(const char *why)
{
    Trace("server connection lost (%s)", why);
    NetClose(gIndi.socket);
    gIndi.socket = kNoSocket;
    gIndi.link = kLinkPaused;
    gIndi.goTo.interrupted |= gIndi.goTo.active;
    gIndi.goTo.active = 0;
    AttemptLost(&gIndi.attempt);
}

uint64_t IndiDeadline(void)
{
    return gIndi.callDeadlineMs;
}

static int TimeLeft(void)
{
    uint64_t now = MonotonicMilliseconds();
    return now < gIndi.callDeadlineMs ? (int)(gIndi.callDeadlineMs - now) : 0;
}

static int Send(const char *text)
{
    if (!IndiServerOpen())
        return 0;
    if (!NetSend(gIndi.socket, text, (int)strlen(text), TimeLeft())) {
        Lost("send failed");
        return 0;
    }
    Trace("sent %.*s", (int)strlen(text) - 1, text);
    return 1;
}

static void AnswerStream(void);
static void Escape(char *out, int size, const char *text);

void IndiDrain(void)
{
    char buffer[16384];
    long total = 0;
    while (IndiServerOpen() && total < kDrainLimitBytes) {
        int n = NetReceive(gIndi.socket, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            Lost("closed by the server");
            break;
        }
        if (gIndi.link == kLinkSilent)
            gIndi.link = kLinkHeard;
        gIndi.bytes += (unsigned)n;
        total += n;
        IndiCacheFeed(&gIndi.cache, buffer, (size_t)n);
    }
    if (total > 0) {
        gIndi.lastHeardMs = MonotonicMilliseconds();
        gIndi.lifeAsked = 0;
    }
    if (IndiServerOpen())
        AnswerStream();
}

// A link that died without a word (the computer at the mount lost its
// power, the Wi-Fi went out of range) brings no close, and a server sends
// nothing of its own accord while its mount is still. So a device that has
// been quiet is asked for its CONNECTION again, without waiting: a live
// server answers with that one definition, which a later call reads. When
// nothing at all has come within kAnswerMs of the question, the connection
// is taken as lost.
static void CheckLife(void)
{
    uint64_t now = MonotonicMilliseconds();
    if (gIndi.lifeAsked) {
        if (now - gIndi.askedMs >= kAnswerMs) {
            char why[96];
            snprintf(why, sizeof why, "nothing heard from the server for %.1f s, not even an answer",
                     (double)(now - gIndi.lastHeardMs) / 1000.0);
            Lost(why);
        }
        return;
    }
    if (gIndi.link != kLinkDeviceKnown || now - gIndi.lastHeardMs < kQuietMs)
        return;
    char device[3 * kIndiDeviceMax], request[4 * kIndiDeviceMax];
    Escape(device, sizeof device, gIndi.cache.device);
    snprintf(request, sizeof request, "<getProperties version=\"1.7\" device=\"%s\" name=\"CONNECTION\"/>\n", device);
    gIndi.lifeAsked = 1;
    gIndi.askedMs = now;
    Send(request);
}

int IndiWaitUntil(int (*done)(IndiCache *cache), uint64_t deadlineMs)
{
    if (Dispatching())
        return IndiServerOpen() && done(&gIndi.cache);
    for (;;) {
        IndiDrain();
        if (!IndiServerOpen())
            return 0;
        if (done(&gIndi.cache))
            return 1;
        uint64_t now = MonotonicMilliseconds();
        if (now >= deadlineMs)
            return 0;
        NetWaitReadable(gIndi.socket, (int)(deadlineMs - now));
    }
}

// Text for an XML attribute value.
static void Escape(char *out, int size, const char *text)
{
    int n = 0;
    for (; *text != '\0' && n < size - 7; ++text) {
        const char *entity = *text == '&' ? "&amp;" : *text == '<' ? "&lt;" : *text == '"' ? "&quot;" : NULL;
        if (entity != NULL) {
            strcpy(out + n, entity);
            n += (int)strlen(entity);
        } else {
            out[n++] = *text;
        }
    }
    out[n] = '\0';
}

static int DeviceKnown(IndiCache *cache)
{
    return cache->device[0] != '\0' && !cache->replayWanted && IndiFind(cache, "CONNECTION") != NULL;
}

static int DeviceAnswers(IndiCache *cache)
{
    return IndiSwitchOn(cache, "CONNECTION", "CONNECT") && IndiFind(cache, "EQUATORIAL_EOD_COORD") != NULL;
}

int IndiDeviceConnected(void)
{
    return DeviceAnswers(&gIndi.cache);
}

int IndiDevicePlaced(IndiCache *cache)
{
    IndiProperty *coords = IndiFind(cache, "EQUATORIAL_EOD_COORD");
    return DeviceAnswers(cache) && coords->valuesKnown;
}

int IndiConnectDevice(uint64_t deadlineMs)
{
    if (!IndiSendSwitch("CONNECTION", "CONNECT"))
        return 0;
    return IndiWaitUntil(DeviceAnswers, deadlineMs);
}

// What the stream read so far calls for, sent without waiting for an
// answer, whenever it comes: a device recognised after its first
// definitions went by (its driver's description came after them, or the
// device appeared on the server later) is asked for them again; once its
// CONNECTION is known, BLOBs are refused and, with connect=auto, it is
// asked to connect.
static void AnswerStream(void)
{
    IndiCache *cache = &gIndi.cache;
    char device[3 * kIndiDeviceMax], request[4 * kIndiDeviceMax];
    if (cache->replayWanted) {
        cache->replayWanted = 0;
        Escape(device, sizeof device, cache->device);
        snprintf(request, sizeof request, "<getProperties version=\"1.7\" device=\"%s\"/>\n", device);
        if (!Send(request))
            return;
    }
    if (!DeviceKnown(cache)) {
        if (gIndi.link == kLinkDeviceKnown)
            gIndi.link = kLinkHeard;
        return;
    }
    if (gIndi.link == kLinkDeviceKnown)
        return;
    gIndi.link = kLinkDeviceKnown;
    Trace("device \"%s\"", cache->device);
    Escape(device, sizeof device, cache->device);
    snprintf(request, sizeof request, "<enableBLOB device=\"%s\">Never</enableBLOB>\n", device);
    if (Send(request) && gIndi.config.connect && !IndiSwitchOn(cache, "CONNECTION", "CONNECT"))
        IndiSendSwitch("CONNECTION", "CONNECT");
}

static void Connected(NetSocket socket)
{
    Trace("connected to %s:%u", gIndi.config.host, gIndi.config.port);
    gIndi.socket = socket;
    gIndi.link = kLinkSilent;
    gIndi.setupWaited = 0;
    gIndi.bytes = 0;
    gIndi.lastHeardMs = MonotonicMilliseconds();
    gIndi.lifeAsked = 0;
    gIndi.goTo.interrupted |= gIndi.goTo.active;
    gIndi.goTo.active = 0;
    IndiCacheForget(&gIndi.cache);
    Send("<getProperties version=\"1.7\"/>\n");
}

// Follows the attempt under way until untilMs: connected, failed, or still
// under way.
static void FollowAttempt(uint64_t untilMs)
{
    NetSocket made = AttemptFollow(&gIndi.attempt, untilMs);
    if (made != kNoSocket)
        Connected(made);
    else if (!gIndi.attempt.underWay)
        gIndi.link = kLinkPaused;
}

// The first call that may wait on a new connection waits for the device
// to be known and, with connect=auto, connected and placed: the first
// position read after it is then the mount's.
static void AwaitDevice(void)
{
    gIndi.setupWaited = 1;
    IndiWaitUntil(DeviceKnown, gIndi.callDeadlineMs);
    if (!IndiServerOpen())
        return;
    if (!DeviceKnown(&gIndi.cache))
        Trace(IndiServerHeard() ? "no mount on the server" : "the server sent nothing");
    else if ((gIndi.config.connect || DeviceAnswers(&gIndi.cache)) &&
             !IndiWaitUntil(IndiDevicePlaced, gIndi.callDeadlineMs) && IndiServerOpen())
        Trace(DeviceAnswers(&gIndi.cache) ? "the device has not sent its position yet"
                                              : "the device is not connected");
}

// With no connection and no attempt under way: a new attempt, spaced from
// the end of the last one (or the loss of its connection). 1 when an
// attempt is under way.
static int BeginAttempt(int mayWait, int lookUp)
{
    if (!AttemptMayBegin(&gIndi.attempt, gIndi.link == kLinkNone, mayWait))
        return 0;
    if (!AttemptStart(&gIndi.attempt, gIndi.config.timeoutMs, lookUp, TimeLeft())) {
        if (gIndi.link == kLinkNone && gIndi.attempt.lastEndMs != 0)
            gIndi.link = kLinkPaused;
        return 0;
    }
    gIndi.link = kLinkAttempting;
    return 1;
}

// Follows the attempt under way for the present call: a call that may
// wait gives it its own deadline at least. 1 when it connected.
static int AttemptForCall(int mayWait)
{
    if (mayWait)
        AttemptAwait(&gIndi.attempt, gIndi.callDeadlineMs);
    FollowAttempt(gIndi.callDeadlineMs);
    if (!IndiServerOpen())
        return 0;
    IndiDrain();
    return 1;
}

int IndiReady(int call)
{
    if (!gIndi.loaded)
        Load();
    if (Dispatching())
        return !gIndi.configBad && IndiServerOpen(); // the wait under way is left as it stands
    const int mayWait = call == kIndiMayWait;
    gIndi.callDeadlineMs = MonotonicMilliseconds() + (mayWait ? (uint64_t)gIndi.config.timeoutMs : 0);
    if (gIndi.configBad)
        return 0;
    if (IndiServerOpen()) {
        IndiDrain();
        if (IndiServerOpen())
            CheckLife();
    }
    if ((gIndi.link == kLinkNone || gIndi.link == kLinkPaused) && !BeginAttempt(mayWait, call != kIndiNoWait))
        return 0;
    if (gIndi.link == kLinkAttempting && !AttemptForCall(mayWait))
        return 0;
    if (mayWait && IndiServerOpen() && !gIndi.setupWaited)
        AwaitDevice();
    return IndiServerOpen();
}

// --- Requests ---

int IndiSendSwitch(const char *property, const char *element)
{
    IndiProperty *p = IndiFind(&gIndi.cache, property);
    char device[3 * kIndiDeviceMax], name[3 * kXmlNameMax], request[2048];
    Escape(device, sizeof device, gIndi.cache.device);
    Escape(name, sizeof name, property);
    int n = snprintf(request, sizeof request, "<newSwitchVector device=\"%s\" name=\"%s\">", device, name);
    // The one element On and, for a known property, the others Off.
    for (int i = -1; p != NULL && i < p->count; ++i) {
        const char *each = i < 0 ? element : p->elements[i].name;
        if (i >= 0 && strcmp(each, element) == 0)
            continue;
        Escape(name, sizeof name, each);
        n += snprintf(request + n, sizeof request - (size_t)n, "<oneSwitch name=\"%s\">%s</oneSwitch>", name,
                      i < 0 ? "On" : "Off");
        if (n >= (int)sizeof request - 200)
            break;
    }
    if (p == NULL) {
        Escape(name, sizeof name, element);
        n += snprintf(request + n, sizeof request - (size_t)n, "<oneSwitch name=\"%s\">On</oneSwitch>", name);
    }
    snprintf(request + n, sizeof request - (size_t)n, "</newSwitchVector>\n");
    return Send(request);
}

int IndiSendNumbers(const char *property, const char *const *elements, const double *values, int count)
{
    char device[3 * kIndiDeviceMax], name[3 * kXmlNameMax], number[40], request[1024];
    Escape(device, sizeof device, gIndi.cache.device);
    Escape(name, sizeof name, property);
    int n = snprintf(request, sizeof request, "<newNumberVector device=\"%s\" name=\"%s\">", device, name);
    for (int i = 0; i < count && n < (int)sizeof request - 200; ++i) {
        Escape(name, sizeof name, elements[i]);
        FormatFixed(number, sizeof number, values[i], 9);
        n += snprintf(request + n, sizeof request - (size_t)n, "<oneNumber name=\"%s\">%s</oneNumber>", name, number);
    }
    snprintf(request + n, sizeof request - (size_t)n, "</newNumberVector>\n");
    return Send(request);
}
