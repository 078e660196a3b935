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

// --- Configuration: DRAV_INDI, else DRAV-INDI.ini beside the library ---

static char gConfigText[4096];

static int ReadConfigFile(char *text, int size)
{
    char path[1100];
    if (!LibraryFolder(path, (int)sizeof path - 16))
        return 0;
    strcat(path, "DRAV-INDI.ini");
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return 0;
    size_t n = fread(text, 1, (size_t)size - 1, file);
    int whole = fgetc(file) == EOF;
    fclose(file);
    text[n] = '\0';
    return whole ? 1 : -1;
}

static void Load(void)
{
    gIndi.loaded = 1;
    gIndi.socket = kNoSocket;
    ConfigDefaults(&gIndi.config);
    int good = 1;
    if (ReadEnvironment("DRAV_INDI", gConfigText, sizeof gConfigText)) {
        good = ParseConfig(gConfigText, ',', &gIndi.config, gIndi.badKey, sizeof gIndi.badKey);
    } else {
        int file = ReadConfigFile(gConfigText, sizeof gConfigText);
        if (file < 0) {
            good = 0;
            strcpy(gIndi.badKey, "DRAV-INDI.ini (too long)");
        } else if (file > 0) {
            good = ParseConfig(gConfigText, '\n', &gIndi.config, gIndi.badKey, sizeof gIndi.badKey);
        }
    }
    if (gIndi.config.log[0] != '\0')
        gIndi.trace = fopen(gIndi.config.log, "a");
    IndiCacheReset(&gIndi.cache, gIndi.config.device);
    if (!good) {
        gIndi.configBad = 1;
        fprintf(stderr, "DRAV INDI: bad configuration at \"%s\"; answering as without a provider\n", gIndi.badKey);
        IndiTrace("bad configuration at \"%s\"", gIndi.badKey);
        return;
    }
    IndiTrace("configuration: host=%s port=%u device=%s timeout=%d connect=%s epoch=%s", gIndi.config.host,
              gIndi.config.port, gIndi.config.device[0] ? gIndi.config.device : "(first mount)",
              gIndi.config.timeoutMs, gIndi.config.connect ? "auto" : "never",
              gIndi.config.epochJ2000 ? "j2000" : "date");
}

void IndiUnload(void)
{
    if (gIndi.online)
        NetClose(gIndi.socket);
    gIndi.online = 0;
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
    gIndi.online = 0;
    gIndi.goTo.active = 0;
    gIndi.lastAttemptMs = MonotonicMilliseconds();
}

uint64_t IndiDeadline(void)
{
    return MonotonicMilliseconds() + (uint64_t)gIndi.config.timeoutMs;
}

static int Send(const char *text)
{
    if (!gIndi.online)
        return 0;
    if (!NetSend(gIndi.socket, text, (int)strlen(text), gIndi.config.timeoutMs)) {
        Lost("send failed");
        return 0;
    }
    IndiTrace("sent %.*s", (int)strlen(text) - 1, text);
    return 1;
}

void IndiDrain(void)
{
    char buffer[16384];
    long total = 0;
    while (gIndi.online && total < kDrainLimitBytes) {
        int n = NetReceive(gIndi.socket, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            Lost("closed by the server");
            break;
        }
        gIndi.heard = 1;
        gIndi.bytes += (unsigned)n;
        total += n;
        IndiCacheFeed(&gIndi.cache, buffer, (size_t)n);
    }
}

int IndiWaitUntil(int (*done)(IndiCache *cache), uint64_t deadlineMs)
{
    for (;;) {
        IndiDrain();
        if (!gIndi.online)
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

static int DeviceChosen(IndiCache *cache)
{
    return cache->device[0] != '\0';
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

int IndiConnectDevice(uint64_t deadlineMs)
{
    if (!IndiSendSwitch("CONNECTION", "CONNECT"))
        return 0;
    return IndiWaitUntil(DeviceAnswers, deadlineMs);
}

// A new connection: ask for every property, find the device, and (with
// connect=auto) connect it, all within one timeout.
static int Connect(void)
{
    gIndi.attempted = 1;
    gIndi.lastAttemptMs = MonotonicMilliseconds();
    uint64_t deadline = IndiDeadline();
    gIndi.socket = NetConnect(gIndi.config.host, gIndi.config.port, gIndi.config.timeoutMs);
    if (gIndi.socket == kNoSocket) {
        IndiTrace("no server at %s:%u", gIndi.config.host, gIndi.config.port);
        return 0;
    }
    IndiTrace("connected to %s:%u", gIndi.config.host, gIndi.config.port);
    gIndi.online = 1;
    gIndi.heard = 0;
    gIndi.bytes = 0;
    gIndi.goTo.active = 0;
    IndiCacheForget(&gIndi.cache);
    if (!Send("<getProperties version=\"1.7\"/>\n"))
        return 0;
    char device[3 * kIndiDeviceMax], request[4 * kIndiDeviceMax];
    IndiWaitUntil(DeviceChosen, deadline);
    if (gIndi.cache.replayWanted) {
        // Recognised after its first definitions went by: ask for them again.
        Escape(device, sizeof device, gIndi.cache.device);
        snprintf(request, sizeof request, "<getProperties version=\"1.7\" device=\"%s\"/>\n", device);
        gIndi.cache.replayWanted = 0;
        if (!Send(request))
            return 0;
    }
    IndiWaitUntil(DeviceKnown, deadline);
    if (gIndi.cache.device[0] == '\0') {
        IndiTrace(gIndi.heard ? "no mount on the server" : "the server sent nothing");
        return gIndi.online;
    }
    Escape(device, sizeof device, gIndi.cache.device);
    snprintf(request, sizeof request, "<enableBLOB device=\"%s\">Never</enableBLOB>\n", device);
    Send(request);
    IndiTrace("device \"%s\"", gIndi.cache.device);
    if (gIndi.config.connect && !IndiDeviceConnected())
        IndiConnectDevice(deadline);
    return gIndi.online;
}

int IndiReady(void)
{
    if (!gIndi.loaded)
        Load();
    if (gIndi.configBad)
        return 0;
    if (gIndi.online) {
        IndiDrain();
        if (gIndi.online)
            return 1;
    }
    if (gIndi.attempted && MonotonicMilliseconds() - gIndi.lastAttemptMs < kReconnectPauseMs)
        return 0;
    return Connect();
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
