// The INDI client: configuration, connection, reading and requests.
#include "IndiClient.h"

#include <math.h>
#include <stdarg.h>
#include <string.h>

IndiSession gIndi;

// --- Trace ---

void IndiTrace(const char *format, ...)
{
    if (gIndi.trace == NULL)
        return;
    fprintf(gIndi.trace, "%10.3f ", (double)MonotonicMilliseconds() / 1000.0);
    va_list args;
    va_start(args, format);
    vfprintf(gIndi.trace, format, args);
    va_end(args);
    fputc('\n', gIndi.trace);
    fflush(gIndi.trace);
}

// --- Configuration: DRAV_INDI, else the first DRAV-INDI.ini found ---

static char gConfigText[4096];

// The first DRAV-INDI.ini of this user's, every user's and the library's
// own folder: 1 read into text (its path in path), -1 too long, 0 none.
static int ReadConfigFile(char *text, int size, char *path, int pathSize)
{
    static const char kName[] = "DRAV-INDI.ini";
    char candidate[1100];
    for (int place = 0; place < 3; ++place) {
        int known = place < 2 ? ConfigFolder(place, candidate, (int)(sizeof candidate - sizeof kName))
                              : LibraryFolder(candidate, (int)(sizeof candidate - sizeof kName));
        if (!known || (int)(strlen(candidate) + sizeof kName) > pathSize)
            continue;
        strcat(candidate, kName);
        FILE *file = fopen(candidate, "rb");
        if (file == NULL)
            continue;
        strcpy(path, candidate);
        size_t n = fread(text, 1, (size_t)size - 1, file);
        int readAll = fgetc(file) == EOF;
        fclose(file);
        text[n] = '\0';
        return readAll ? 1 : -1;
    }
    return 0;
}

static void Load(void)
{
    gIndi.loaded = 1;
    gIndi.socket = kNoSocket;
    for (int i = 0; i < kNetAddressesMax; ++i)
        gIndi.trying[i] = kNoSocket;
    ConfigDefaults(&gIndi.config);
    int good = 1;
    char path[1100] = "the defaults";
    const char *source = path;
    if (ReadEnvironment("DRAV_INDI", gConfigText, sizeof gConfigText)) {
        source = "DRAV_INDI";
        good = ParseConfig(gConfigText, ',', &gIndi.config, gIndi.badKey, sizeof gIndi.badKey);
    } else {
        int file = ReadConfigFile(gConfigText, sizeof gConfigText, path, sizeof path);
        if (file < 0) {
            good = 0;
            strcpy(gIndi.badKey, "DRAV-INDI.ini (too long)");
        } else if (file > 0) {
            good = ParseConfig(gConfigText, '\n', &gIndi.config, gIndi.badKey, sizeof gIndi.badKey);
        }
    }
    if (gIndi.config.log[0] != '\0')
        gIndi.trace = fopen(gIndi.config.log, "a");
    IndiTrace("configuration from %s", source);
    IndiCacheReset(&gIndi.cache, gIndi.config.device);
    if (!good) {
        gIndi.configBad = 1;
        fprintf(stderr, "DRAV INDI: bad configuration at \"%s\"; answering as without a provider\n", gIndi.badKey);
        IndiTrace("bad configuration at \"%s\"", gIndi.badKey);
        return;
    }
    IndiTrace("configuration: host=%s port=%u device=%s timeout=%d connect=%s epoch=%s unpark=%s", gIndi.config.host,
              gIndi.config.port, gIndi.config.device[0] ? gIndi.config.device : "(first mount)",
              gIndi.config.timeoutMs, gIndi.config.connect ? "auto" : "never",
              gIndi.config.epochJ2000 ? "j2000" : "date", gIndi.config.unparkOnGoTo ? "goto" : "never");
}

static void CloseAttempt(void)
{
    for (int i = 0; i < gIndi.addressCount; ++i)
        if (gIndi.trying[i] != kNoSocket)
            NetClose(gIndi.trying[i]);
    for (int i = 0; i < kNetAddressesMax; ++i)
        gIndi.trying[i] = kNoSocket;
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

void IndiUnload(void)
{
    if (IndiServerOpen()) {
        NetClose(gIndi.socket);
        gIndi.link = kLinkPaused;
    }
    CloseAttempt();
    NetResolveEnd();
    gIndi.lookupPending = 0;
    if (gIndi.trace != NULL)
        fclose(gIndi.trace);
    gIndi.trace = NULL;
}

// --- Connection ---

static void Lost(const char *why)
{
    IndiTrace("server connection lost (%s)", why);
    NetClose(gIndi.socket);
    gIndi.socket = kNoSocket;
    gIndi.link = kLinkPaused;
    gIndi.goTo.interrupted |= gIndi.goTo.active;
    gIndi.goTo.active = 0;
    gIndi.attemptAwaited = 0;
    gIndi.lastAttemptEndMs = MonotonicMilliseconds();
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
    IndiTrace("sent %.*s", (int)strlen(text) - 1, text);
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
    IndiTrace("device \"%s\"", cache->device);
    Escape(device, sizeof device, cache->device);
    snprintf(request, sizeof request, "<enableBLOB device=\"%s\">Never</enableBLOB>\n", device);
    if (Send(request) && gIndi.config.connect && !IndiSwitchOn(cache, "CONNECTION", "CONNECT"))
        IndiSendSwitch("CONNECTION", "CONNECT");
}

static void Connected(NetSocket socket)
{
    IndiTrace("connected to %s:%u", gIndi.config.host, gIndi.config.port);
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

static void AttemptFailed(const char *why)
{
    IndiTrace("no server at %s:%u (%s)", gIndi.config.host, gIndi.config.port, why);
    CloseAttempt();
    gIndi.lastAttemptEndMs = MonotonicMilliseconds();
}

// Starts connecting to every address of the server at once. A name's
// lookup is started only by a call that may wait, which waits for it no
// longer than its own deadline; any later call reads its answer. Until it
// comes, the addresses of the last lookup are tried, if any.
static int StartAttempt(int mayWait)
{
    NetAddress found[kNetAddressesMax];
    int count = -1;
    if (mayWait || gIndi.lookupPending) {
        count = NetResolve(gIndi.config.host, gIndi.config.port, mayWait ? TimeLeft() : 0, found, kNetAddressesMax);
        if (count < 0 && !gIndi.lookupPending)
            IndiTrace("looking up %s", gIndi.config.host);
        else if (count >= 0 && gIndi.lookupPending)
            IndiTrace("%s looked up: %d address%s", gIndi.config.host, count, count == 1 ? "" : "es");
        gIndi.lookupPending = count < 0;
    }
    if (count < 0 && gIndi.addressCount == 0)
        return 0;
    gIndi.link = kLinkAttempting;
    gIndi.attemptAwaited = mayWait; // a lookup that found nothing counts as awaited
    gIndi.attemptDeadlineMs = MonotonicMilliseconds() + (uint64_t)gIndi.config.timeoutMs;
    if (count >= 0) {
        memcpy(gIndi.addresses, found, sizeof found);
        gIndi.addressCount = count;
    }
    int started = 0;
    for (int i = 0; i < gIndi.addressCount; ++i) {
        gIndi.trying[i] = NetConnectStart(&gIndi.addresses[i]);
        gIndi.tryStates[i] = gIndi.trying[i] == kNoSocket ? -1 : 0;
        started += gIndi.trying[i] != kNoSocket;
    }
    if (started == 0) {
        AttemptFailed(gIndi.addressCount == 0 ? "no address" : "refused");
        return 0;
    }
    return 1;
}

// Follows the attempt under way until untilMs: connected, failed (every
// address refused, or none answered within the timeout), or still under way.
static void FollowAttempt(uint64_t untilMs)
{
    for (;;) {
        uint64_t now = MonotonicMilliseconds();
        uint64_t end = untilMs < gIndi.attemptDeadlineMs ? untilMs : gIndi.attemptDeadlineMs;
        NetConnectPoll(gIndi.trying, gIndi.tryStates, gIndi.addressCount, now < end ? (int)(end - now) : 0);
        int pending = 0;
        for (int i = 0; i < gIndi.addressCount; ++i) {
            if (gIndi.tryStates[i] == 1) {
                NetSocket made = gIndi.trying[i];
                gIndi.trying[i] = kNoSocket;
                CloseAttempt();
                Connected(made);
                return;
            }
            if (gIndi.tryStates[i] < 0 && gIndi.trying[i] != kNoSocket) {
                NetClose(gIndi.trying[i]);
                gIndi.trying[i] = kNoSocket;
            }
            pending += gIndi.tryStates[i] == 0;
        }
        now = MonotonicMilliseconds();
        if (pending == 0 || now >= gIndi.attemptDeadlineMs) {
            AttemptFailed(pending == 0 ? "refused" : "no answer within the timeout");
            return;
        }
        if (now >= untilMs)
            return;
    }
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
        IndiTrace(IndiServerHeard() ? "no mount on the server" : "the server sent nothing");
    else if ((gIndi.config.connect || DeviceAnswers(&gIndi.cache)) &&
             !IndiWaitUntil(IndiDevicePlaced, gIndi.callDeadlineMs) && IndiServerOpen())
        IndiTrace(DeviceAnswers(&gIndi.cache) ? "the device has not sent its position yet"
                                              : "the device is not connected");
}

// With no connection and no attempt under way: a new attempt, spaced from
// the end of the last one (or the loss of its connection); a call that may
// wait tries at once unless such a call already waited for that one. 1
// when an attempt is under way.
static int BeginAttempt(int mayWait)
{
    uint64_t now = MonotonicMilliseconds();
    if (gIndi.link == kLinkPaused && now - gIndi.lastAttemptEndMs < kReconnectPauseMs &&
        (!mayWait || gIndi.attemptAwaited))
        return 0;
    return StartAttempt(mayWait);
}

// Follows the attempt under way for the present call: a call that may
// wait gives it its own deadline at least. 1 when it connected.
static int AttemptForCall(int mayWait)
{
    if (mayWait) {
        gIndi.attemptAwaited = 1;
        if (gIndi.attemptDeadlineMs < gIndi.callDeadlineMs)
            gIndi.attemptDeadlineMs = gIndi.callDeadlineMs;
    }
    FollowAttempt(gIndi.callDeadlineMs);
    if (!IndiServerOpen())
        return 0;
    IndiDrain();
    return 1;
}

int IndiReady(int mayWait)
{
    if (!gIndi.loaded)
        Load();
    gIndi.callDeadlineMs = MonotonicMilliseconds() + (mayWait ? (uint64_t)gIndi.config.timeoutMs : 0);
    if (gIndi.configBad)
        return 0;
    if (IndiServerOpen()) {
        IndiDrain();
        if (IndiServerOpen())
            CheckLife();
    }
    if ((gIndi.link == kLinkNone || gIndi.link == kLinkPaused) && !BeginAttempt(mayWait))
        return 0;
    if (gIndi.link == kLinkAttempting && !AttemptForCall(mayWait))
        return 0;
    if (mayWait && IndiServerOpen() && !gIndi.setupWaited)
        AwaitDevice();
    return IndiServerOpen();
}

// --- Requests ---

void FormatFixed(char *buffer, int size, double value, int decimals)
{
    if (!isfinite(value))
        value = 0;
    double scale = pow(10.0, decimals);
    double scaled = floor(fabs(value) * scale + 0.5);
    if (scaled > 9e15)
        scaled = 9e15;
    unsigned long long whole = (unsigned long long)scaled;
    unsigned long long unit = (unsigned long long)scale;
    char digits[32];
    int n = 0;
    unsigned long long fraction = whole % unit;
    for (int i = 0; i < decimals; ++i, fraction /= 10)
        digits[n++] = (char)('0' + fraction % 10);
    if (decimals > 0)
        digits[n++] = '.';
    unsigned long long integer = whole / unit;
    do {
        digits[n++] = (char)('0' + integer % 10);
        integer /= 10;
    } while (integer > 0);
    if (value < 0 && whole != 0)
        digits[n++] = '-';
    int out = 0;
    while (n > 0 && out < size - 1)
        buffer[out++] = digits[--n];
    buffer[out] = '\0';
}

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
