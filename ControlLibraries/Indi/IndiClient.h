// The INDI client behind the control library's entry points: the
// configuration, one server connection with no thread of its own, the
// device's property cache, and the go-to under way. Each entry point calls
// IndiReady first, which reads what the server has sent and takes the
// connection's next step without waiting. Only a call that follows the
// user's action may wait, for the connection or an answer, and never past
// its deadline: the configured timeout from the call's start.
#ifndef INDI_CLIENT_H
#define INDI_CLIENT_H

#include "Connection.h"
#include "IndiCache.h"
#include "IndiConfig.h"
#include "KitPlatform.h"

enum { kDrainLimitBytes = 4 << 20 };
// A device quiet for kQuietMs is asked for its CONNECTION again; a server
// that sends nothing within kAnswerMs of that question is taken as gone:
// a link that died without a word is noticed within 10 s of the last byte.
enum { kQuietMs = 4000, kAnswerMs = 4000 };

struct IndiGoTo {
    int active;
    int interrupted;           // ended by a lost or new server connection, not yet told
    double ra, dec;            // the target, of the date, radians
    double launchDistance;     // radians from the position at launch
    unsigned long busyAtLaunch, updatesAtLaunch, alertsAtLaunch;
    unsigned long coordsAtLaunch; // the coordinates' serial: another one is a device redefined since
    uint64_t launchMs;
};

// The server connection, one step at a time. An attempt that fails and a
// connection that is lost both end in kLinkPaused, from which the next
// attempt is spaced; a connection is open from kLinkSilent on.
enum IndiLink {
    kLinkNone,        // no attempt yet
    kLinkPaused,      // the last attempt failed, or its connection was lost
    kLinkAttempting,  // connecting to every address of the server at once
    kLinkSilent,      // connected, nothing heard on it yet
    kLinkHeard,       // connected, the server has sent something, the device is not known
    kLinkDeviceKnown, // the device's CONNECTION is known (and CONNECT sent with connect=auto)
};

// What a property showed when a request went out: its answer is an update
// after these counts.
struct IndiRequestMark {
    unsigned long updates, alertUpdates, serial;
};

struct IndiSession {
    int loaded;
    int configBad;
    char badKey[64];
    IndiConfig config;

    IndiLink link;
    NetSocket socket;          // the open connection, from kLinkSilent on
    unsigned long long bytes;  // received on this connection
    uint64_t lastHeardMs;      // when something last arrived on it (or it was made)
    // The calls that may wait have waited, on this connection, for the
    // device: once per connection, whatever the device does after, so this
    // is not a step of the link.
    int setupWaited;
    // A question of life is out, unanswered since askedMs: a timer on the
    // open connection, ended by any byte, at any step of it.
    int lifeAsked;
    uint64_t askedMs;

    // Connection attempts: the link is kLinkAttempting while one is under way.
    ServerAttempt attempt;

    uint64_t callDeadlineMs;   // the end of the present call's waits

    IndiCache cache;
    IndiGoTo goTo;
    // The requests whose answers a call waits for.
    IndiRequestMark syncMark, trackMark, unparkMark;
};

extern IndiSession gIndi;

// How a call may treat the network: one on the host's idle and drawing
// path only looks; the version call at initialisation starts the name's
// lookup and the connection without waiting for them; a call that follows
// the user's action may wait.
enum { kIndiNoWait = 0, kIndiMayWait = 1, kIndiStartOnly = 2 };

// The start of every entry point: reads what has arrived and takes the
// connection's next step. A call that may wait waits up to the timeout from
// now, in all, for the connection and, on a new one, for the device; the
// others only look, or start. A call that arrives while a wait dispatches
// the host's messages does none of this. 1 when the configuration is good
// and a server connection is open.
int IndiReady(int call);
// A server connection is open.
int IndiServerOpen(void);
// The server has sent something on the open connection.
int IndiServerHeard(void);
// Reads what has arrived, without waiting, and sends what it calls for.
void IndiDrain(void);
// Reads until done(cache) holds or the deadline passes; 1 when it holds.
// What the stream brings meanwhile may delete any property: a pointer into
// the cache taken before is looked up again after.
int IndiWaitUntil(int (*done)(IndiCache *cache), uint64_t deadlineMs);
// The present call's deadline: now for a call that may not wait.
uint64_t IndiDeadline(void);
// The device answers: connected, with its coordinates defined.
int IndiDeviceConnected(void);
// It answers, and its coordinates are its own, not the placeholders a
// driver defines them with as it connects.
int IndiDevicePlaced(IndiCache *cache);
// Asks the device to connect and waits for it, until the deadline.
int IndiConnectDevice(uint64_t deadlineMs);

// Requests: switch element On (the others of the property Off), or the
// numbers of a property. 1 when the request went out.
int IndiSendSwitch(const char *property, const char *element);
int IndiSendNumbers(const char *property, const char *const *elements, const double *values, int count);

#endif
