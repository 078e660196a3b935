// Connecting to a server without holding the caller: every address of the
// server at once, each attempt bounded by the timeout, and attempts spaced
// from the end of the last one (or the loss of its connection). A name's
// lookup is started only by a call that may wait, which waits for it no
// longer than its own deadline; any later call reads its answer, and until
// it comes the addresses of the last lookup are tried, if any.
#ifndef KIT_CONNECTION_H
#define KIT_CONNECTION_H

#include "KitPlatform.h"

enum { kReconnectPauseMs = 1000 };

struct ServerAttempt {
    const char *host;
    unsigned short port;
    int underWay;
    // A call that may wait waited for the last attempt: it stays true after
    // a failed attempt (the next call that may wait then keeps the pause),
    // and a lost connection clears it.
    int awaited;
    // The name's lookup is under way: it outlives the attempts, which take
    // the addresses of the last lookup meanwhile.
    int lookupPending;
    uint64_t deadlineMs, lastEndMs;
    NetAddress addresses[kNetAddressesMax];
    int addressCount;
    // Each socket's connection under way (state 0), made (1) or failed (-1).
    NetSocket trying[kNetAddressesMax];
    int states[kNetAddressesMax];
};

// No attempt yet, and no socket, to host at port (kept, not copied).
void AttemptReset(ServerAttempt *a, const char *host, unsigned short port);
// Closes the sockets of the attempt under way: none is then under way.
void AttemptClose(ServerAttempt *a);
// At release: the attempt closed and the lookup given up.
void AttemptRelease(ServerAttempt *a);
// Whether a new attempt may begin now: at once for the first, else a pause
// after the end of the last one; a call that may wait begins at once
// unless such a call already waited for that one.
int AttemptMayBegin(const ServerAttempt *a, int first, int mayWait);
// Starts an attempt that gives up after timeoutMs. A call that may look the
// name up (lookUp) starts its lookup, and waits for it up to waitMs (then
// it counts as the call that awaited the attempt). 1 when an attempt is
// under way.
int AttemptStart(ServerAttempt *a, int timeoutMs, int lookUp, int waitMs);
// Follows the attempt under way until untilMs, or its own deadline if
// sooner: the socket whose connection was made (the attempt then over), or
// kNoSocket with the attempt either failed (every address refused, or none
// answered in time: no longer under way, and traced) or still under way.
NetSocket AttemptFollow(ServerAttempt *a, uint64_t untilMs);
// A call that may wait follows the attempt: it ends no sooner than that
// call's deadline.
void AttemptAwait(ServerAttempt *a, uint64_t callDeadlineMs);
// The connection that an attempt made was lost now: the next attempt is
// spaced from here.
void AttemptLost(ServerAttempt *a);

#endif
