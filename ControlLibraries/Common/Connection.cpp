// Connection attempts.
#include "Connection.h"

#include "Trace.h"

#include <string.h>

void AttemptReset(ServerAttempt *a, const char *host, unsigned short port)
{
    memset(a, 0, sizeof *a);
    a->host = host;
    a->port = port;
    for (int i = 0; i < kNetAddressesMax; ++i)
        a->trying[i] = kNoSocket;
}

void AttemptClose(ServerAttempt *a)
{
    for (int i = 0; i < a->addressCount; ++i)
        if (a->trying[i] != kNoSocket)
            NetClose(a->trying[i]);
    for (int i = 0; i < kNetAddressesMax; ++i)
        a->trying[i] = kNoSocket;
    a->underWay = 0;
}

void AttemptRelease(ServerAttempt *a)
{
    AttemptClose(a);
    NetResolveEnd();
    a->lookupPending = 0;
}

static void Failed(ServerAttempt *a, const char *why)
{
    Trace("no server at %s:%u (%s)", a->host, a->port, why);
    AttemptClose(a);
    a->lastEndMs = MonotonicMilliseconds();
}

int AttemptMayBegin(const ServerAttempt *a, int first, int mayWait)
{
    return first || MonotonicMilliseconds() - a->lastEndMs >= kReconnectPauseMs || (mayWait && !a->awaited);
}

int AttemptStart(ServerAttempt *a, int timeoutMs, int lookUp, int waitMs)
{
    NetAddress found[kNetAddressesMax];
    int count = -1;
    if (lookUp || a->lookupPending) {
        count = NetResolve(a->host, a->port, lookUp ? waitMs : 0, found, kNetAddressesMax);
        if (count < 0 && !a->lookupPending)
            Trace("looking up %s", a->host);
        else if (count >= 0 && a->lookupPending)
            Trace("%s looked up: %d address%s", a->host, count, count == 1 ? "" : "es");
        a->lookupPending = count < 0;
    }
    if (count < 0 && a->addressCount == 0)
        return 0;
    a->underWay = 1;
    a->awaited = lookUp && waitMs > 0; // a lookup that found nothing counts as awaited
    a->deadlineMs = MonotonicMilliseconds() + (uint64_t)timeoutMs;
    if (count >= 0) {
        memcpy(a->addresses, found, sizeof found);
        a->addressCount = count;
    }
    int started = 0;
    for (int i = 0; i < a->addressCount; ++i) {
        a->trying[i] = NetConnectStart(&a->addresses[i]);
        a->states[i] = a->trying[i] == kNoSocket ? -1 : 0;
        started += a->trying[i] != kNoSocket;
    }
    if (started == 0) {
        Failed(a, a->addressCount == 0 ? "no address" : "refused");
        return 0;
    }
    return 1;
}

NetSocket AttemptFollow(ServerAttempt *a, uint64_t untilMs)
{
    for (;;) {
        uint64_t now = MonotonicMilliseconds();
        uint64_t end = untilMs < a->deadlineMs ? untilMs : a->deadlineMs;
        NetConnectPoll(a->trying, a->states, a->addressCount, now < end ? (int)(end - now) : 0);
        int pending = 0;
        for (int i = 0; i < a->addressCount; ++i) {
            if (a->states[i] == 1) {
                NetSocket made = a->trying[i];
                a->trying[i] = kNoSocket;
                AttemptClose(a);
                return made;
            }
            if (a->states[i] < 0 && a->trying[i] != kNoSocket) {
                NetClose(a->trying[i]);
                a->trying[i] = kNoSocket;
            }
            pending += a->states[i] == 0;
        }
        now = MonotonicMilliseconds();
        if (pending == 0 || now >= a->deadlineMs) {
            Failed(a, pending == 0 ? "refused" : "no answer within the timeout");
            return kNoSocket;
        }
        if (now >= untilMs)
            return kNoSocket;
    }
}

void AttemptAwait(ServerAttempt *a, uint64_t callDeadlineMs)
{
    a->awaited = 1;
    if (a->deadlineMs < callDeadlineMs)
        a->deadlineMs = callDeadlineMs;
}

void AttemptLost(ServerAttempt *a)
{
    a->awaited = 0;
    a->lastEndMs = MonotonicMilliseconds();
}
