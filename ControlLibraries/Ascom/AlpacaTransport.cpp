// The Alpaca transport: settings, the server connection, requests and their
// replies, the idle path's poll, and discovery.
#include "AlpacaTransport.h"

#include "Trace.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

AlpacaSession gAlpaca;

static const char kDiscoveryProbe[] = "alpacadiscovery1";

static uint64_t Now(void)
{
    return MonotonicMilliseconds();
}

static int TimeLeft(void)
{
    uint64_t now = Now();
    return now < gAlpaca.callDeadlineMs ? (int)(gAlpaca.callDeadlineMs - now) : 0;
}

// from into to, cut to fit.
static void CopyText(char *to, int size, const char *from)
{
    size_t n = strlen(from);
    if (n >= (size_t)size)
        n = (size_t)size - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

static int Open(void)
{
    return gAlpaca.link == kAlpacaOpen;
}

// --- Settings ---

// One ClientID a load: from the clock and the process, within 31 bits.
static unsigned long NewClientId(void)
{
#ifdef _WIN32
    unsigned long process = (unsigned long)GetCurrentProcessId();
#else
    unsigned long process = (unsigned long)getpid();
#endif
    unsigned long id = ((unsigned long)(UnixSeconds() * 1000.0) * 2654435761u) ^ (process << 8) ^ process;
    id &= 0x7FFFFFFFu;
    return id != 0 ? id : 1;
}

static void UseServer(const char *host, unsigned short port, int number)
{
    CopyText(gAlpaca.host, (int)sizeof gAlpaca.host, host);
    gAlpaca.port = port;
    gAlpaca.deviceNumber = number;
    AttemptReset(&gAlpaca.attempt, gAlpaca.host, gAlpaca.port);
}

void AlpacaLoad(void)
{
    if (gAlpaca.loaded)
        return;
    AlpacaSession *s = &gAlpaca;
    s->loaded = 1;
    s->socket = s->udp4 = s->udp6 = kNoSocket;
    s->clientId = NewClientId();
    AscomConfigDefaults(&s->config);
    char source[1100];
    int good = AscomReadConfig(&s->config, s->badKey, sizeof s->badKey, source, sizeof source);
    TraceOpen(s->config.log);
    Trace("configuration from %s", source);
    AscomOptions options;
    memset(&options, 0, sizeof options);
    options.timeoutMs = s->config.timeoutMs;
    options.epochJ2000 = s->config.epochJ2000;
    options.unparkOnGoTo = s->config.unparkOnGoTo;
    options.configBad = !good;
    CopyText(options.badKey, (int)sizeof options.badKey, s->badKey);
    AscomMountInit(&s->mount, &options);
    UseServer("", 0, 0);
    if (!good) {
        s->configBad = 1;
        fprintf(stderr, "DRAV ASCOM: bad configuration at \"%s\"; answering as without a provider\n", s->badKey);
        Trace("bad configuration at \"%s\"", s->badKey);
        return;
    }
    if (s->config.alpaca[0] != '\0') {
        UseServer(s->config.host, s->config.port, s->config.deviceNumber);
        if (s->config.deviceNumber >= 0) {
            s->serverKnown = 1;
            s->discovery = kDiscoveryOff;
        } else {
            // No device number: the server's configureddevices tells it.
            s->discovery = kDiscoveryAsking;
            CopyText(s->found[0].host, (int)sizeof s->found[0].host, s->config.host);
            s->found[0].port = s->config.port;
            s->foundCount = 1;
        }
    } else {
        s->discovery = kDiscoveryIdle;
    }
    Trace("configuration: alpaca=%s device=%s timeout=%d epoch=%s unpark=%s%s%s",
          s->config.alpaca[0] ? s->config.alpaca : "(discover)", s->config.device[0] ? s->config.device : "(first)",
          s->config.timeoutMs, s->config.epochJ2000 ? "j2000" : "date", s->config.unparkOnGoTo ? "goto" : "never",
          s->config.discovery[0] ? " discovery=" : "", s->config.discovery);
}

// --- Replies ---

static int IsKey(const JsonEvent *e, int depth, const char *key)
{
    return e->depth >= depth && strcmp(e->path[depth - 1].key, key) == 0;
}

static int ReadingIndex(const char *name)
{
    static const char *const names[kAscomReadingCount] = {
        "RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier",
    };
    for (int i = 0; i < kAscomReadingCount; ++i)
        if (strcmp(name, names[i]) == 0)
            return i;
    return -1;
}

static void OnJson(void *context, const JsonEvent *e)
{
    (void)context;
    AlpacaParse *p = &gAlpaca.parse;
    AscomReply *r = &p->reply;
    int isNumber = e->kind == kJsonNumber || e->kind == kJsonTrue || e->kind == kJsonFalse;
    double number = e->kind == kJsonNumber ? e->number : e->kind == kJsonTrue ? 1 : 0;
    if (e->depth == 1 && IsKey(e, 1, "Value")) {
        if (e->kind == kJsonNumber) {
            r->kind = e->isInteger ? kAscomInteger : kAscomDouble;
            r->number = number;
        } else if (e->kind == kJsonTrue || e->kind == kJsonFalse) {
            r->kind = kAscomBool;
            r->number = number;
        } else if (e->kind == kJsonString) {
            r->kind = kAscomText;
            CopyText(r->text, (int)sizeof r->text, e->text);
        } else if (e->kind == kJsonArrayStart) {
            r->kind = kAscomList;
        }
    } else if (e->depth == 1 && IsKey(e, 1, "ErrorNumber") && e->kind == kJsonNumber && e->isInteger) {
        r->errorNumber = (int)e->integer;
        p->errorSeen = 1;
    } else if (e->depth == 1 && IsKey(e, 1, "ErrorMessage") && e->kind == kJsonString) {
        CopyText(r->message, (int)sizeof r->message, e->text);
    } else if (e->depth == 2 && IsKey(e, 1, "Value") && e->kind == kJsonNumber && r->kind == kAscomList) {
        // TrackingRates: a list of numbers.
        if (r->listCount < kAscomRatesMax)
            r->list[r->listCount] = (int)e->number;
        ++r->listCount;
    } else if (e->depth == 2 && IsKey(e, 1, "Value") && e->kind == kJsonObjectStart) {
        p->elementName[0] = p->deviceName[0] = '\0';
        p->elementHasValue = p->deviceIsTelescope = 0;
        p->deviceNumber = -1;
    } else if (e->depth == 3 && IsKey(e, 1, "Value")) {
        // DeviceState's {Name, Value} and configureddevices' elements.
        const char *key = e->path[2].key;
        if (strcmp(key, "Name") == 0 && e->kind == kJsonString)
            CopyText(p->elementName, (int)sizeof p->elementName, e->text);
        else if (strcmp(key, "Value") == 0 && isNumber) {
            p->elementValue = number;
            p->elementHasValue = 1;
        } else if (strcmp(key, "DeviceName") == 0 && e->kind == kJsonString)
            CopyText(p->deviceName, (int)sizeof p->deviceName, e->text);
        else if (strcmp(key, "DeviceType") == 0 && e->kind == kJsonString)
            p->deviceIsTelescope = strcmp(e->text, "Telescope") == 0;
        else if (strcmp(key, "DeviceNumber") == 0 && e->kind == kJsonNumber && e->isInteger)
            p->deviceNumber = (int)e->integer;
    } else if (e->depth == 2 && IsKey(e, 1, "Value") && e->kind == kJsonObjectEnd) {
        int i = ReadingIndex(p->elementName);
        if (i >= 0 && p->elementHasValue) {
            p->pairKnown[i] = 1;
            p->pairValue[i] = p->elementValue;
        }
        const char *wanted = gAlpaca.config.device;
        if (p->deviceIsTelescope && p->deviceNumber >= 0 && p->chosenNumber < 0 &&
            (wanted[0] == '\0' || strcmp(wanted, p->deviceName) == 0)) {
            p->chosenNumber = p->deviceNumber;
            CopyText(p->chosenName, (int)sizeof p->chosenName, p->deviceName);
        }
    }
}

// What the idle path reads of a device found connected, in this order.
static const char *const kAdoptMembers[kAlpacaAdoptCount] = {
    "Connected", "InterfaceVersion", "EquatorialSystem", "CanSlewAsync", "CanSync",
    "CanPark",   "CanUnpark",        "CanSetPark",       "CanSetTracking", "Name",
};

// An answer of the reading; with the last one, a device that showed itself
// connected is taken as connected, as an open would have found it (its
// tracking rates and driver information wait for the next open).
static void Adopted(int index, const AscomReply *r)
{
    AlpacaSession *s = &gAlpaca;
    int good = r->reach == kAscomReached && r->errorNumber == 0;
    if (index == 0)
        s->adoptAnswered = 0;
    if (good && index == 9 && r->kind == kAscomText)
        CopyText(s->adoptName, (int)sizeof s->adoptName, r->text);
    else if (good && (r->kind == kAscomBool || r->kind == kAscomInteger || r->kind == kAscomDouble))
        s->adoptValues[index] = r->number;
    else if (index <= 2)
        return; // without these, nothing to adopt
    s->adoptAnswered |= 1 << index;
    AscomMount *m = &s->mount;
    if (index != kAlpacaAdoptCount - 1 || (s->adoptAnswered & 7) != 7 || s->adoptValues[0] == 0 || m->connected)
        return;
    AscomCapabilities *c = &m->caps;
    memset(c, 0, sizeof *c);
    const double *v = s->adoptValues;
    c->interfaceVersion = (int)v[1];
    c->equatorialSystem = v[2] >= 1 && v[2] <= 4 ? (int)v[2] : 0;
    int *flags[] = {&c->canSlewAsync, &c->canSync, &c->canPark, &c->canUnpark, &c->canSetPark, &c->canSetTracking};
    for (int i = 0; i < 6; ++i)
        *flags[i] = (s->adoptAnswered & (1 << (i + 3))) != 0 && v[i + 3] != 0;
    CopyText(m->name, (int)sizeof m->name, s->adoptName);
    m->connected = 1;
    m->notConnectedSeen = m->state.notConnectedSerial;
    Trace("device \"%s\" found connected by the idle path: interface %d, EquatorialSystem %d", m->name,
          c->interfaceVersion, c->equatorialSystem);
}

static void ResetParse(void)
{
    memset(&gAlpaca.parse, 0, sizeof gAlpaca.parse);
    gAlpaca.parse.chosenNumber = -1;
    JsonEvents events = {NULL, OnJson, NULL, NULL};
    JsonReset(&gAlpaca.json, &events);
}

static void OnHttpStart(void *context, const HttpReply *reply)
{
    (void)context;
    (void)reply;
    ResetParse();
}

static void OnHttpBody(void *context, const char *data, size_t length)
{
    (void)context;
    JsonFeed(&gAlpaca.json, data, length);
}

static void CloseConnection(int lost, const char *why);

// What a whole reply (or one that failed) tells, for the request at the head.
static void OnHttpDone(void *context, const HttpReply *http)
{
    (void)context;
    AlpacaSession *s = &gAlpaca;
    AlpacaParse *p = &s->parse;
    AscomReply *r = &p->reply;
    r->status = http->status;
    int whole = http->result == kHttpComplete;
    if (whole && http->status == 200 && JsonFinish(&s->json) && p->errorSeen)
        r->reach = kAscomReached;
    else {
        r->reach = kAscomHttpFailed;
        if (whole && http->status == 200)
            Trace("a reply of status 200 that is not an Alpaca reply (%s)",
                  s->json.error != kJsonErrorNone ? "bad JSON" : "no ErrorNumber");
        else if (!whole)
            Trace("a reply cut short, too large or unreadable (status %d, result %d)", http->status, http->result);
    }
    if (s->pendingCount > 0) {
        AlpacaPending head = s->pending[0];
        memmove(s->pending, s->pending + 1, sizeof s->pending[0] * (size_t)(--s->pendingCount));
        int good = r->reach == kAscomReached && r->errorNumber == 0;
        switch (head.kind) {
        case kPendingCall:
            s->callReply = *r;
            s->callAnswered = head.serial;
            break;
        case kPendingReading:
            if (good && (r->kind == kAscomBool || r->kind == kAscomInteger || r->kind == kAscomDouble))
                AscomStoreReading(&s->mount.state, head.serial, head.member, r->number);
            else
                AscomStoreError(&s->mount.state, head.serial, head.member, good ? 0x500 : r->errorNumber);
            break;
        case kPendingDeviceState:
            if (good) {
                static const char *const names[kAscomReadingCount] = {
                    "RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier",
                };
                for (int i = 0; i < kAscomReadingCount; ++i)
                    if (p->pairKnown[i])
                        AscomStoreReading(&s->mount.state, head.serial, names[i], p->pairValue[i]);
            } else {
                // A refused DeviceState is a refused reading of the place.
                AscomStoreError(&s->mount.state, head.serial, "RightAscension",
                                r->reach == kAscomReached ? r->errorNumber : 0x500);
            }
            break;
        case kPendingAdopt:
            Adopted((int)head.serial, r);
            break;
        case kPendingDevices:
            s->callReply = *r;
            s->callReply.number = good ? p->chosenNumber : -1;
            CopyText(s->callReply.text, (int)sizeof s->callReply.text, good ? p->chosenName : "");
            s->callAnswered = head.serial;
            break;
        default:
            break;
        }
    }
    ResetParse();
    if (http->drop || http->closes)
        CloseConnection(http->drop || !whole, "the reply could not be read to its end");
}

// --- The connection ---

static void ResetReaders(void)
{
    HttpEvents events = {NULL, OnHttpStart, NULL, OnHttpBody, OnHttpDone};
    HttpReset(&gAlpaca.http, &events);
    ResetParse();
}

// Closes the connection: lost (a fault: attempts are then paced), or closed
// by the server after a reply as it said. Requests still outstanding have
// no reply: a call waiting for one answers that there is no server.
static void CloseConnection(int lost, const char *why)
{
    AlpacaSession *s = &gAlpaca;
    if (!Open())
        return;
    if (lost || s->pendingCount > 0)
        Trace("server connection lost (%s)", why);
    NetClose(s->socket);
    s->socket = kNoSocket;
    s->link = kAlpacaPaused;
    s->closedClean = !lost && s->pendingCount == 0;
    s->stalled = 0;
    for (int i = 0; i < s->pendingCount; ++i)
        if (s->pending[i].kind == kPendingCall || s->pending[i].kind == kPendingDevices) {
            memset(&s->callReply, 0, sizeof s->callReply);
            s->callReply.reach = kAscomNoServer;
            s->callAnswered = s->pending[i].serial;
        }
    s->pendingCount = 0;
    if (!s->closedClean)
        AttemptLost(&s->attempt);
}

static void Drain(void)
{
    char buffer[16384];
    long total = 0;
    AlpacaSession *s = &gAlpaca;
    while (Open() && total < kAlpacaDrainLimit) {
        int n = NetReceive(s->socket, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            int cut = HttpClose(&s->http) == kHttpClosedCut;
            CloseConnection(cut || s->pendingCount > 0, "closed by the server");
            break;
        }
        total += n;
        s->lastHeardMs = Now();
        s->stalled = 0;
        HttpFeed(&s->http, buffer, (size_t)n);
    }
}

// A request outstanding for kAlpacaAnswerMs with nothing heard since: the
// server or the link is gone without a word.
static void CheckLife(void)
{
    AlpacaSession *s = &gAlpaca;
    if (!Open() || s->pendingCount == 0)
        return;
    uint64_t since = s->lastHeardMs > s->pending[0].sentMs ? s->lastHeardMs : s->pending[0].sentMs;
    uint64_t now = Now();
    if (now - since >= kAlpacaAnswerMs) {
        char why[96];
        snprintf(why, sizeof why, "nothing heard from the server for %.1f s", (double)(now - since) / 1000.0);
        CloseConnection(1, why);
    }
}

static void Connected(NetSocket socket)
{
    AlpacaSession *s = &gAlpaca;
    Trace("connected to %s:%u", s->host, s->port);
    s->socket = socket;
    s->link = kAlpacaOpen;
    s->closedClean = 0;
    s->lastHeardMs = Now();
    s->pendingCount = 0;
    s->stalled = 0;
    ResetReaders();
}

static void FollowAttempt(uint64_t untilMs)
{
    NetSocket made = AttemptFollow(&gAlpaca.attempt, untilMs);
    if (made != kNoSocket)
        Connected(made);
    else if (!gAlpaca.attempt.underWay)
        gAlpaca.link = kAlpacaPaused;
}

// A new attempt, spaced from the end of the last one or the loss of its
// connection; at once after a server's clean close. 1 when one is under way.
static int BeginAttempt(int mayWait, int lookUp)
{
    AlpacaSession *s = &gAlpaca;
    int first = s->link == kAlpacaNone || s->closedClean;
    if (!AttemptMayBegin(&s->attempt, first, mayWait))
        return 0;
    if (!AttemptStart(&s->attempt, s->config.timeoutMs, lookUp, TimeLeft())) {
        s->link = kAlpacaPaused;
        s->closedClean = 0;
        return 0;
    }
    s->link = kAlpacaAttempting;
    s->closedClean = 0;
    return 1;
}

// Takes the link's next step: reads what has arrived, checks the link, and
// begins or follows an attempt (a call that may wait follows it to its
// deadline). 1 when the connection is open.
static int LinkStep(int mayWait, int lookUp)
{
    if (Open()) {
        Drain();
        CheckLife();
    }
    if ((gAlpaca.link == kAlpacaNone || gAlpaca.link == kAlpacaPaused) && !BeginAttempt(mayWait, lookUp))
        return 0;
    if (gAlpaca.link == kAlpacaAttempting) {
        if (mayWait)
            AttemptAwait(&gAlpaca.attempt, gAlpaca.callDeadlineMs);
        FollowAttempt(mayWait ? gAlpaca.callDeadlineMs : Now());
    }
    return Open();
}

// --- Requests ---

// The member's path: /api/v1/telescope/N/member, the member in lower case.
static void MemberPath(char *path, int size, const char *member)
{
    int n = snprintf(path, (size_t)size, "/api/v1/telescope/%d/", gAlpaca.deviceNumber);
    for (const char *c = member; *c != '\0' && n < size - 1; ++c)
        path[n++] = (*c >= 'A' && *c <= 'Z') ? (char)(*c - 'A' + 'a') : *c;
    path[n] = '\0';
}

// Sends one request; its reply is read for kind. The transaction number it
// went with, 0 when it could not go (the connection is then lost).
static unsigned long Send(int kind, AscomVerb verb, const char *member, const char *path, const AscomParam *params,
                          int count, unsigned long serial)
{
    AlpacaSession *s = &gAlpaca;
    if (!Open() || s->pendingCount == kAlpacaPendingMax)
        return 0;
    char memberPath[128], values[4][40];
    if (path == NULL) {
        MemberPath(memberPath, sizeof memberPath, member);
        path = memberPath;
    }
    HttpParameter parameters[4];
    if (count > 4)
        count = 4;
    for (int i = 0; i < count; ++i) {
        const AscomParam *p = &params[i];
        parameters[i].name = p->name;
        parameters[i].value = values[i];
        if (p->kind == kAscomBool)
            CopyText(values[i], (int)sizeof values[i], HttpBoolean(p->number != 0));
        else if (p->kind == kAscomInteger)
            snprintf(values[i], sizeof values[i], "%ld", (long)p->number);
        else if (p->kind == kAscomText)
            parameters[i].value = p->text != NULL ? p->text : "";
        else if (HttpFormatNumber(values[i], sizeof values[i], p->number) == 0)
            snprintf(values[i], sizeof values[i], "0");
    }
    HttpRequest request;
    memset(&request, 0, sizeof request);
    request.method = verb == kAscomPut ? kHttpPut : kHttpGet;
    request.host = s->host;
    request.port = s->port;
    request.path = path;
    request.parameters = parameters;
    request.count = count;
    request.clientId = s->clientId;
    unsigned long transaction = ++s->transaction;
    if (transaction == 0 || transaction > 0xFFFFFFFFul)
        transaction = s->transaction = 1;
    request.clientTransactionId = transaction;
    char text[2048];
    size_t length = HttpWriteRequest(text, sizeof text, &request);
    if (length == 0)
        return 0;
    // The idle path's requests are sent without a wait: a server whose
    // receive window stays full is not reading, and counts as gone.
    if (!NetSend(s->socket, text, (int)length, TimeLeft())) {
        CloseConnection(1, "send failed");
        return 0;
    }
    if (verb == kAscomPut)
        Trace("PUT %s%s%s%s%s", path, count > 0 ? " " : "", count > 0 ? parameters[0].name : "",
              count > 0 ? "=" : "", count > 0 ? parameters[0].value : "");
    AlpacaPending *p = &s->pending[s->pendingCount++];
    p->kind = kind;
    p->member = member;
    p->serial = kind == kPendingCall || kind == kPendingDevices ? transaction : serial;
    p->sentMs = Now();
    return transaction;
}

// Waits for the reply of the request that went with transaction, until the
// deadline: 1 with it in gAlpaca.callReply; 0 when the deadline passed
// (its reply is then thrown away when it comes) or the connection went.
static int AwaitReply(unsigned long transaction, uint64_t deadlineMs)
{
    AlpacaSession *s = &gAlpaca;
    for (;;) {
        Drain();
        if (s->callAnswered == transaction)
            return 1;
        CheckLife();
        if (!Open())
            return s->callAnswered == transaction;
        uint64_t now = Now();
        if (now >= deadlineMs) {
            for (int i = 0; i < s->pendingCount; ++i)
                if ((s->pending[i].kind == kPendingCall || s->pending[i].kind == kPendingDevices) &&
                    s->pending[i].serial == transaction) {
                    s->pending[i].kind = kPendingDropped;
                    // Nothing at all came since it went: the server has
                    // stopped answering, for now at least.
                    s->stalled |= s->lastHeardMs <= s->pending[i].sentMs;
                }
            return 0;
        }
        NetWaitReadable(s->socket, (int)(deadlineMs - now));
    }
}

// --- Discovery ---

static void CloseDiscoverySockets(void)
{
    if (gAlpaca.udp4 != kNoSocket)
        NetClose(gAlpaca.udp4);
    if (gAlpaca.udp6 != kNoSocket)
        NetClose(gAlpaca.udp6);
    gAlpaca.udp4 = gAlpaca.udp6 = kNoSocket;
}

// Sends the probes: to discovery= alone, else as IPv4 broadcasts on every
// interface and to the IPv6 group where the system has IPv6.
static void SendProbes(void)
{
    AlpacaSession *s = &gAlpaca;
    const int length = (int)sizeof kDiscoveryProbe - 1;
    int sent = 0;
    if (s->config.discovery[0] != '\0') {
        NetAddress to;
        if (NetNumericAddress(s->config.discoveryHost, s->config.discoveryPort, &to)) {
            s->udp4 = NetUdpOpen(to.family);
            sent += s->udp4 != kNoSocket && NetUdpSend(s->udp4, &to, kDiscoveryProbe, length);
        }
        Trace("discovery: probe sent to %s:%u", s->config.discoveryHost, s->config.discoveryPort);
    } else {
        NetAddress to[kAlpacaServersMax];
        int count = NetBroadcastAddresses(kAlpacaDiscoveryPort, to, kAlpacaServersMax);
        if (count > 0)
            s->udp4 = NetUdpOpen(to[0].family);
        for (int i = 0; i < count && s->udp4 != kNoSocket; ++i)
            sent += NetUdpSend(s->udp4, &to[i], kDiscoveryProbe, length);
        NetAddress group;
        if (NetNumericAddress("ff12::a1:9aca", kAlpacaDiscoveryPort, &group)) {
            s->udp6 = NetUdpOpen(group.family);
            if (s->udp6 != kNoSocket)
                sent += NetUdpSend(s->udp6, &group, kDiscoveryProbe, length);
        }
        Trace("discovery: %d probe%s sent to port %d", sent, sent == 1 ? "" : "s", kAlpacaDiscoveryPort);
    }
}

// An answer {"AlpacaPort": N}: the port, or 0.
static int g_answerPort;
static void OnAnswer(void *context, const JsonEvent *e)
{
    (void)context;
    if (e->depth == 1 && IsKey(e, 1, "AlpacaPort") && e->kind == kJsonNumber && e->isInteger && e->integer > 0 &&
        e->integer <= 65535)
        g_answerPort = (int)e->integer;
}

static void ReadAnswers(NetSocket u)
{
    AlpacaSession *s = &gAlpaca;
    char buffer[512];
    NetAddress from;
    int n;
    while (u != kNoSocket && (n = NetUdpReceive(u, buffer, sizeof buffer - 1, &from)) > 0) {
        JsonReader reader;
        JsonEvents events = {NULL, OnAnswer, NULL, NULL};
        g_answerPort = 0;
        JsonReset(&reader, &events);
        JsonFeed(&reader, buffer, (size_t)n);
        if (!JsonFinish(&reader) || g_answerPort == 0)
            continue;
        AlpacaServer server;
        unsigned short ignored = 0;
        NetAddressText(&from, server.host, sizeof server.host, &ignored);
        server.port = (unsigned short)g_answerPort;
        int known = 0;
        for (int i = 0; i < s->foundCount; ++i)
            known |= strcmp(s->found[i].host, server.host) == 0 && s->found[i].port == server.port;
        if (known || s->foundCount == kAlpacaServersMax)
            continue;
        s->found[s->foundCount++] = server;
        Trace("discovery: Alpaca server at %s:%u answered", server.host, server.port);
    }
}

// Asks the server of found[asked] for its telescopes over a connection of
// its own, until the deadline: 1 when one is taken (the connection stays
// open), 0 when it has none or did not answer in time (-1: try it again).
static int AskServer(uint64_t deadlineMs)
{
    AlpacaSession *s = &gAlpaca;
    AlpacaServer *server = &s->found[s->asked];
    if (strcmp(s->host, server->host) != 0 || s->port != server->port) {
        CloseConnection(0, "another server");
        AttemptClose(&s->attempt);
        s->link = kAlpacaNone;
        UseServer(server->host, server->port, 0);
    }
    if (!LinkStep(1, 1))
        return Now() >= deadlineMs && s->attempt.underWay ? -1 : 0;
    unsigned long t = Send(kPendingDevices, kAscomGet, NULL, "/management/v1/configureddevices", NULL, 0, 0);
    if (t == 0 || !AwaitReply(t, deadlineMs))
        return Open() ? -1 : 0;
    const AscomReply *r = &s->callReply;
    int number = r->reach == kAscomReached && r->errorNumber == 0 ? (int)r->number : -1;
    if (number < 0 && s->discovery == kDiscoveryAsking && s->config.alpaca[0] != '\0') {
        Trace("no configureddevices at %s:%u (status %d): telescope 0", s->host, s->port, r->status);
        number = 0;
    } else if (number < 0) {
        Trace("discovery: %s:%u has no telescope%s%s%s", s->host, s->port, s->config.device[0] ? " called \"" : "",
              s->config.device, s->config.device[0] ? "\"" : "");
        return 0;
    } else {
        CopyText(s->deviceName, (int)sizeof s->deviceName, r->text);
    }
    s->deviceNumber = number;
    s->serverKnown = 1;
    Trace("telescope %d \"%s\" on %s:%u taken", number, s->deviceName, s->host, s->port);
    return 1;
}

// Discovery's next step; a call that may wait collects the answers until
// the probes' second is over and asks the servers, by its deadline. 1 once
// a server and its telescope are known.
static int Discover(int mayWait, uint64_t deadlineMs)
{
    AlpacaSession *s = &gAlpaca;
    uint64_t now = Now();
    if (s->discovery == kDiscoveryNothing && mayWait && now - s->discoveryEndMs >= kReconnectPauseMs)
        s->discovery = kDiscoveryIdle;
    if (s->discovery == kDiscoveryIdle) {
        s->foundCount = s->asked = 0;
        SendProbes();
        s->probeEndMs = now + kAlpacaDiscoveryMs;
        s->discovery = kDiscoveryProbing;
    }
    if (s->discovery == kDiscoveryProbing) {
        for (;;) {
            ReadAnswers(s->udp4);
            ReadAnswers(s->udp6);
            now = Now();
            uint64_t until = deadlineMs < s->probeEndMs ? deadlineMs : s->probeEndMs;
            if (!mayWait || now >= until || s->udp4 == kNoSocket)
                break;
            NetWaitReadable(s->udp4, (int)(until - now));
        }
        if (Now() < s->probeEndMs)
            return 0;
        CloseDiscoverySockets();
        s->discovery = kDiscoveryAsking;
    }
    while (s->discovery == kDiscoveryAsking && mayWait && s->asked < s->foundCount) {
        int taken = AskServer(deadlineMs);
        if (taken > 0) {
            s->discovery = s->config.alpaca[0] != '\0' ? kDiscoveryOff : kDiscoveryFound;
            return 1;
        }
        if (taken < 0)
            return 0;
        ++s->asked;
    }
    if (s->discovery == kDiscoveryAsking && s->asked >= s->foundCount) {
        Trace(s->foundCount == 0 ? "discovery: no Alpaca server answered"
                                 : "discovery: no telescope on the servers that answered");
        CloseConnection(0, "no telescope");
        s->discovery = kDiscoveryNothing;
        s->discoveryEndMs = Now();
    }
    return s->serverKnown;
}

// --- The transport ---

static uint64_t MonotonicOf(void *)
{
    return MonotonicMilliseconds();
}

static double UnixOf(void *)
{
    return UnixSeconds();
}

static int Ready(void *, uint64_t deadlineMs)
{
    AlpacaSession *s = &gAlpaca;
    if (Dispatching())
        return Open() && s->serverKnown; // the wait under way is left as it stands
    s->callDeadlineMs = deadlineMs;
    int mayWait = deadlineMs > Now();
    if (s->configBad)
        return 0;
    if (!s->serverKnown && !Discover(mayWait, deadlineMs))
        return 0;
    return LinkStep(mayWait, 1);
}

static int Reachable(void *)
{
    return gAlpaca.serverKnown && Open();
}

static void Call(void *, AscomVerb verb, const char *member, const AscomParam *params, int count,
                 uint64_t deadlineMs, AscomReply *reply)
{
    AlpacaSession *s = &gAlpaca;
    memset(reply, 0, sizeof *reply);
    if (Dispatching()) {
        // From the host's code during a wait: nothing is sent, nothing waited for.
        reply->reach = Reachable(NULL) ? kAscomTimedOut : kAscomNoServer;
        return;
    }
    s->callDeadlineMs = deadlineMs;
    if (!s->serverKnown || !LinkStep(1, 1)) {
        reply->reach = kAscomNoServer;
        return;
    }
    if (s->stalled) {
        // The last call's reply has not come, nor anything else: another
        // request would wait as long for nothing. Until a byte arrives or
        // the link counts as lost, calls answer at once.
        reply->reach = kAscomTimedOut;
        return;
    }
    unsigned long t = Send(kPendingCall, verb, member, NULL, params, count, 0);
    if (t == 0) {
        reply->reach = kAscomNoServer;
        return;
    }
    if (!AwaitReply(t, deadlineMs)) {
        reply->reach = Open() ? kAscomTimedOut : kAscomNoServer;
        return;
    }
    *reply = s->callReply;
}

static void Poll(void *, AscomMount *mount)
{
    AlpacaSession *s = &gAlpaca;
    if (Dispatching() || s->configBad)
        return;
    s->callDeadlineMs = Now();
    if (!s->serverKnown) {
        if (s->discovery == kDiscoveryProbing)
            Discover(0, Now());
        return;
    }
    if (!LinkStep(0, 0) || s->pendingCount > 0)
        return;
    if (!mount->connected) {
        // A device the server shows connected is read and taken without
        // waiting; one that is not waits for a call that may wait. Either
        // way the link is kept asking.
        for (int i = 0; i < kAlpacaAdoptCount && Open(); ++i)
            Send(kPendingAdopt, kAscomGet, kAdoptMembers[i], NULL, NULL, 0, (unsigned long)i);
    } else if (mount->caps.interfaceVersion >= 4) {
        Send(kPendingDeviceState, kAscomGet, "DeviceState", NULL, NULL, 0, AscomReadingStarted(&mount->state));
    } else {
        // Slewing first: arrival is a Slewing false with a place read in
        // the same request or a later one.
        static const char *const members[kAscomReadingCount] = {
            "Slewing", "RightAscension", "Declination", "Tracking", "AtPark", "SideOfPier",
        };
        for (int i = 0; i < kAscomReadingCount && Open(); ++i)
            Send(kPendingReading, kAscomGet, members[i], NULL, NULL, 0, AscomReadingStarted(&mount->state));
    }
}

static void PauseUntil(void *, uint64_t untilMs)
{
    if (Dispatching())
        return;
    for (uint64_t now = Now(); Open() && now < untilMs; now = Now()) {
        NetWaitReadable(gAlpaca.socket, (int)(untilMs - now));
        Drain();
    }
}

static void Describe(void *, char *text, int size)
{
    AlpacaSession *s = &gAlpaca;
    if (s->serverKnown)
        snprintf(text, (size_t)size, "Alpaca server %s%s%s:%u, telescope %d%s%s%s", strchr(s->host, ':') ? "[" : "",
                 s->host, strchr(s->host, ':') ? "]" : "", s->port, s->deviceNumber, s->deviceName[0] ? " \"" : "",
                 s->deviceName, s->deviceName[0] ? "\"" : "");
    else if (s->discovery == kDiscoveryNothing)
        snprintf(text, (size_t)size, "Alpaca discovery: %s",
                 s->foundCount == 0 ? "no server answered" : "no telescope on the servers that answered");
    else if (s->config.alpaca[0] != '\0')
        snprintf(text, (size_t)size, "Alpaca server %s, its first telescope", s->config.alpaca);
    else
        snprintf(text, (size_t)size, "Alpaca discovery%s%s (discovering)", s->config.device[0] ? " of " : "",
                 s->config.device);
}

static void TraceLine(void *, const char *format, va_list args)
{
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    Trace("%s", line);
}

const AscomTransport kAlpacaTransport = {
    NULL, MonotonicOf, UnixOf, Ready, Reachable, Call, Poll, PauseUntil, Describe, TraceLine,
};

void AlpacaStart(void)
{
    AlpacaLoad();
    if (!gAlpaca.configBad && !Dispatching())
        Ready(NULL, Now());
}

void LibraryRelease(void)
{
    CloseConnection(0, "released");
    CloseDiscoverySockets();
    AttemptClose(&gAlpaca.attempt);
    AttemptRelease(&gAlpaca.attempt);
    TraceClose();
}
