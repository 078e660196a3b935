// Reading the INDI elements a server sends into the device's property cache.
#include "IndiCache.h"

#include <math.h>
#include <string.h>

static void CopyText(char *to, size_t size, const char *from)
{
    size_t n = strlen(from);
    if (n >= size)
        n = size - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

// The value of an attribute, cut or not.
static const char *Attribute(const XmlAttribute *attributes, int count, const char *name)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(attributes[i].name, name) == 0)
            return attributes[i].value;
    return NULL;
}

// The value of an attribute that names something: NULL when cut.
static const char *UncutAttribute(const XmlAttribute *attributes, int count, const char *name)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(attributes[i].name, name) == 0)
            return attributes[i].cut ? NULL : attributes[i].value;
    return NULL;
}

// --- Numbers ---

static const char *SkipBlanks(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    return p;
}

// An unsigned decimal with optional fraction and exponent; NULL if none.
static const char *ParseDecimal(const char *p, double *value)
{
    double mantissa = 0;
    int digits = 0, scale = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits)
        mantissa = mantissa * 10 + (*p - '0');
    if (*p == '.')
        for (++p; *p >= '0' && *p <= '9'; ++p, ++digits, --scale)
            mantissa = mantissa * 10 + (*p - '0');
    if (digits == 0)
        return NULL;
    if (*p == 'e' || *p == 'E') {
        const char *q = p + 1;
        int sign = 1, exponent = 0, expDigits = 0;
        if (*q == '+' || *q == '-')
            sign = *q++ == '-' ? -1 : 1;
        for (; *q >= '0' && *q <= '9'; ++q, ++expDigits)
            if (exponent < 10000)
                exponent = exponent * 10 + (*q - '0');
        if (expDigits > 0) {
            scale += sign * exponent;
            p = q;
        }
    }
    // One rounding for the common lengths: 10^k is exact up to 10^22.
    if (scale < 0 && scale >= -22)
        *value = mantissa / pow(10.0, -scale);
    else
        *value = mantissa * pow(10.0, scale);
    return p;
}

int IndiParseNumber(const char *text, double *value)
{
    const char *p = SkipBlanks(text);
    int negative = 0;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    double parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3) {
        p = ParseDecimal(p, &parts[count]);
        if (p == NULL)
            return 0;
        ++count;
        if (*p != ':' && *p != ';' && !(*p == ' ' && p[1] >= '0' && p[1] <= '9'))
            break;
        ++p;
    }
    if (*SkipBlanks(p) != '\0')
        return 0;
    double v = parts[0] + parts[1] / 60 + parts[2] / 3600;
    if (!isfinite(v))
        return 0;
    *value = negative ? -v : v;
    return 1;
}

// --- Properties ---

IndiProperty *IndiFind(IndiCache *cache, const char *property)
{
    for (int i = 0; i < cache->count; ++i)
        if (strcmp(cache->properties[i].name, property) == 0)
            return &cache->properties[i];
    return NULL;
}

IndiElement *IndiFindElement(IndiProperty *property, const char *element)
{
    if (property == NULL)
        return NULL;
    for (int i = 0; i < property->count; ++i)
        if (strcmp(property->elements[i].name, element) == 0)
            return &property->elements[i];
    return NULL;
}

double IndiNumber(IndiCache *cache, const char *property, const char *element, double fallback)
{
    IndiElement *e = IndiFindElement(IndiFind(cache, property), element);
    return e != NULL ? e->number : fallback;
}

int IndiSwitchOn(IndiCache *cache, const char *property, const char *element)
{
    IndiElement *e = IndiFindElement(IndiFind(cache, property), element);
    return e != NULL && e->on;
}

static void Remove(IndiCache *cache, const char *property)
{
    for (int i = 0; i < cache->count; ++i)
        if (property == NULL || strcmp(cache->properties[i].name, property) == 0) {
            cache->properties[i] = cache->properties[cache->count - 1];
            cache->count--;
            --i;
        }
}

// --- The elements of the protocol ---

static int TypeOf(const char *name, const char *prefix, int *type)
{
    static const char *const kinds[] = {"Number", "Switch", "Text", "Light", "BLOB"};
    size_t n = strlen(prefix);
    if (strncmp(name, prefix, n) != 0)
        return 0;
    for (int k = 0; k < 5; ++k) {
        size_t m = strlen(kinds[k]);
        if (strncmp(name + n, kinds[k], m) == 0) {
            const char *rest = name + n + m;
            if (strcmp(rest, "Vector") == 0) {
                *type = k;
                return 1; // a vector
            }
            if (*rest == '\0') {
                *type = k;
                return 2; // one of its elements
            }
        }
    }
    return 0;
}

static int StateOf(const char *state, int fallback)
{
    if (state == NULL)
        return fallback;
    if (strcmp(state, "Idle") == 0)
        return kIndiIdle;
    if (strcmp(state, "Ok") == 0)
        return kIndiOk;
    if (strcmp(state, "Busy") == 0)
        return kIndiBusy;
    if (strcmp(state, "Alert") == 0)
        return kIndiAlert;
    return fallback;
}

// Whether this device is the one followed, choosing it when it is the first
// mount seen: the configured name, or the first device that defines the
// mount's coordinates or says its driver is a telescope.
static int Follows(IndiCache *cache, const char *device, const char *property)
{
    if (device == NULL)
        return 0;
    if (cache->device[0] != '\0')
        return strcmp(cache->device, device) == 0;
    if (cache->wanted[0] != '\0') {
        if (strcmp(cache->wanted, device) != 0)
            return 0;
        CopyText(cache->device, sizeof cache->device, device);
        return 1;
    }
    if (strcmp(property, "EQUATORIAL_EOD_COORD") == 0) {
        CopyText(cache->device, sizeof cache->device, device);
        cache->replayWanted = 1;
        return 1;
    }
    return 0;
}

static void StartVector(IndiCache *cache, int definition, int type, const XmlAttribute *a, int count,
                        int oversize)
{
    // A long message (a text for the user) is cut; the vector still counts.
    const char *device = UncutAttribute(a, count, "device"), *name = UncutAttribute(a, count, "name");
    cache->inVector = 1;
    cache->vectorIsDefinition = definition;
    cache->vectorType = type;
    cache->stagedCount = 0;
    if (oversize || name == NULL) {
        cache->vectorSkip = 1;
        cache->skipped++;
        return;
    }
    cache->vectorSkip = 0;
    if (!Follows(cache, device, name)) {
        // While no mount is chosen, a driver's description may name one.
        int candidate = device != NULL && strcmp(name, "DRIVER_INFO") == 0 && cache->device[0] == '\0' &&
                        cache->wanted[0] == '\0';
        cache->vectorSkip = candidate ? 2 : 1;
        if (!candidate)
            return;
    }
    CopyText(cache->vectorName, sizeof cache->vectorName, name);
    CopyText(cache->vectorDevice, sizeof cache->vectorDevice, device);
    IndiProperty *p = IndiFind(cache, name);
    cache->vectorState = StateOf(Attribute(a, count, "state"), p != NULL ? (int)p->state : (int)kIndiIdle);
    const char *perm = Attribute(a, count, "perm");
    cache->vectorWritable = perm != NULL && strchr(perm, 'w') != NULL;
}

// The element just read, staged with its value parsed by the vector's type.
static void StageElement(IndiCache *cache)
{
    if (cache->elementSkip || cache->elementTextOversize || cache->stagedCount >= kIndiElements) {
        cache->skipped++;
        return;
    }
    IndiStaged *s = &cache->staged[cache->stagedCount];
    CopyText(s->name, sizeof s->name, cache->elementName);
    CopyText(s->text, sizeof s->text, cache->elementText);
    s->number = 0;
    s->on = 0;
    int valid = 1;
    if (cache->vectorType == kIndiNumber) {
        valid = IndiParseNumber(s->text, &s->number);
    } else if (cache->vectorType == kIndiSwitch) {
        const char *v = SkipBlanks(s->text);
        s->on = strncmp(v, "On", 2) == 0;
        valid = s->on || strncmp(v, "Off", 3) == 0;
    }
    if (!valid) {
        cache->skipped++;
        return;
    }
    cache->stagedCount++;
}

// Applies the staged elements to the property: a definition replaces it,
// an update changes the elements it names.
static void ApplyVector(IndiCache *cache)
{
    IndiProperty *p = IndiFind(cache, cache->vectorName);
    int connection = strcmp(cache->vectorName, "CONNECTION") == 0;
    int wasConnected = connection && IndiSwitchOn(cache, "CONNECTION", "CONNECT");
    if (cache->vectorIsDefinition) {
        if (p == NULL) {
            if (cache->count >= kIndiProperties) {
                cache->skipped++;
                return;
            }
            p = &cache->properties[cache->count++];
            p->updates = p->busyUpdates = p->alertUpdates = p->busyEndedAt = 0;
            p->state = kIndiIdle;
            p->valuesKnown = !cache->connectSeen;
            p->serial = ++cache->definitions;
        }
        CopyText(p->name, sizeof p->name, cache->vectorName);
        p->type = (unsigned char)cache->vectorType;
        p->writable = (unsigned char)cache->vectorWritable;
        p->count = 0;
        for (int i = 0; i < cache->stagedCount; ++i) {
            IndiElement *e = &p->elements[p->count++];
            memset(e, 0, sizeof *e);
            CopyText(e->name, sizeof e->name, cache->staged[i].name);
        }
    } else if (p == NULL || p->type != cache->vectorType) {
        cache->skipped++;
        return;
    }
    for (int i = 0; i < cache->stagedCount; ++i) {
        IndiElement *e = IndiFindElement(p, cache->staged[i].name);
        if (e == NULL)
            continue;
        e->number = cache->staged[i].number;
        e->on = cache->staged[i].on;
        CopyText(e->text, sizeof e->text, cache->staged[i].text);
    }
    if (!cache->vectorIsDefinition)
        p->valuesKnown = 1;
    // Seen going On (not first defined On): the device was connected while
    // the library watched, and what it defines from now on starts with
    // placeholders.
    if (connection && p->updates > 0 && !wasConnected && IndiSwitchOn(cache, "CONNECTION", "CONNECT"))
        cache->connectSeen = 1;
    int wasBusy = p->updates > 0 && p->state == kIndiBusy;
    p->state = (unsigned char)cache->vectorState;
    p->updates++;
    if (p->state == kIndiAlert)
        p->alertUpdates++;
    if (p->state == kIndiBusy) {
        p->busyUpdates++;
    } else if (wasBusy) {
        p->busyEndedAt = p->busyUpdates;
        p->busyEndState = p->state;
    }
}

static void OnStart(void *context, int depth, const char *name, const XmlAttribute *a, int count, int oversize)
{
    IndiCache *cache = (IndiCache *)context;
    int type = 0;
    if (depth == 0) {
        cache->received++;
        cache->inVector = 0;
        if (TypeOf(name, "def", &type) == 1) {
            StartVector(cache, 1, type, a, count, oversize);
        } else if (TypeOf(name, "set", &type) == 1) {
            StartVector(cache, 0, type, a, count, oversize);
        } else if (strcmp(name, "delProperty") == 0 && !oversize) {
            // Without a name, the whole device goes; with a cut one, nothing.
            const char *device = UncutAttribute(a, count, "device"), *property = Attribute(a, count, "name");
            if (device != NULL && strcmp(device, cache->device) == 0 &&
                (property == NULL || UncutAttribute(a, count, "name") != NULL))
                Remove(cache, property);
        } else if (strcmp(name, "message") == 0 && !oversize) {
            const char *device = UncutAttribute(a, count, "device"), *text = Attribute(a, count, "message");
            if (device != NULL && text != NULL && strcmp(device, cache->device) == 0)
                CopyText(cache->message, sizeof cache->message, text);
        }
        return;
    }
    if (depth == 1 && cache->inVector && cache->vectorSkip != 1) {
        const char *element = UncutAttribute(a, count, "name");
        int kind = TypeOf(name, cache->vectorIsDefinition ? "def" : "one", &type);
        cache->elementSkip = kind != 2 || type != cache->vectorType || element == NULL || oversize;
        CopyText(cache->elementName, sizeof cache->elementName, element != NULL ? element : "");
        cache->elementText[0] = '\0';
        cache->elementTextOversize = 0;
    }
}

static void OnText(void *context, int depth, const char *text, size_t length, int oversize)
{
    IndiCache *cache = (IndiCache *)context;
    if (depth == 2 && cache->inVector && cache->vectorSkip != 1) {
        if (oversize || length >= sizeof cache->elementText)
            cache->elementTextOversize = 1;
        else
            memcpy(cache->elementText, text, length + 1);
    }
}

static void OnEnd(void *context, int depth, const char *)
{
    IndiCache *cache = (IndiCache *)context;
    if (!cache->inVector || cache->vectorSkip == 1)
        return;
    if (depth == 1 && cache->vectorSkip == 2) {
        // DRIVER_INTERFACE bit 0: a telescope, followed from now on.
        double kind = 0;
        if (!cache->elementSkip && strcmp(cache->elementName, "DRIVER_INTERFACE") == 0 &&
            !cache->elementTextOversize && IndiParseNumber(cache->elementText, &kind) && fabs(kind) < 1e9 &&
            ((long)kind & 1) != 0) {
            CopyText(cache->device, sizeof cache->device, cache->vectorDevice);
            cache->replayWanted = 1;
            cache->vectorSkip = 1;
        }
    } else if (depth == 1) {
        StageElement(cache);
    } else if (depth == 0) {
        cache->inVector = 0;
        if (cache->vectorSkip == 0)
            ApplyVector(cache);
    }
}

static void OnError(void *context)
{
    IndiCache *cache = (IndiCache *)context;
    if (cache->inVector)
        cache->skipped++;
    cache->inVector = 0;
}

static int TopLevel(void *, const char *name)
{
    int type = 0;
    return TypeOf(name, "def", &type) == 1 || TypeOf(name, "set", &type) == 1 || TypeOf(name, "new", &type) == 1 ||
           strcmp(name, "delProperty") == 0 || strcmp(name, "message") == 0 || strcmp(name, "getProperties") == 0;
}

void IndiCacheReset(IndiCache *cache, const char *wantedDevice)
{
    memset(cache, 0, sizeof *cache);
    CopyText(cache->wanted, sizeof cache->wanted, wantedDevice != NULL ? wantedDevice : "");
    XmlEvents events = {cache, OnStart, OnText, OnEnd, OnError, TopLevel};
    XmlReset(&cache->reader, &events);
}

void IndiCacheForget(IndiCache *cache)
{
    char wanted[kIndiDeviceMax], device[kIndiDeviceMax];
    CopyText(wanted, sizeof wanted, cache->wanted);
    CopyText(device, sizeof device, cache->device);
    IndiCacheReset(cache, wanted);
    CopyText(cache->device, sizeof cache->device, device);
}

void IndiCacheFeed(IndiCache *cache, const char *data, size_t length)
{
    XmlFeed(&cache->reader, data, length);
}
