// The ASCOM library's Alpaca transport: the AscomTransport that the mapping
// calls, over one kept-alive HTTP/1.1 connection to the server, found by
// the settings (alpaca=) or by discovery. No thread: each entry point reads
// what has arrived and takes the next step; only a call that may wait waits,
// and never past its deadline.
#ifndef ALPACA_TRANSPORT_H
#define ALPACA_TRANSPORT_H

#include "AscomConfig.h"
#include "AscomMapping.h"
#include "Connection.h"
#include "HttpStream.h"
#include "JsonStream.h"
#include "KitPlatform.h"

// A request outstanding for kAnswerMs with nothing received since counts as
// lost: with the idle path's polls, a dead link is noticed within 10 s.
enum { kAlpacaAnswerMs = 4000, kAlpacaDiscoveryMs = 1000 };
enum { kAlpacaAdoptCount = 10 };
enum { kAlpacaPendingMax = 16, kAlpacaServersMax = 8, kAlpacaDrainLimit = 16 << 20 };

enum AlpacaLink {
    kAlpacaNone,       // no attempt yet
    kAlpacaPaused,     // the last attempt failed, or its connection was lost or closed
    kAlpacaAttempting, // connecting to every address of the server at once
    kAlpacaOpen,       // connected: requests go out
};

enum AlpacaDiscovery {
    kDiscoveryOff,     // alpaca= names the server and its device
    kDiscoveryIdle,    // not begun
    kDiscoveryProbing, // the probes are out, answers collected until probeEndMs
    kDiscoveryAsking,  // the servers that answered are asked for their telescopes
    kDiscoveryFound,
    kDiscoveryNothing, // no server answered, or none has a telescope
};

// What the reply to a request is for.
enum AlpacaPendingKind {
    kPendingCall,        // the mapping's call waits for it
    kPendingReading,     // one of the poll's GETs
    kPendingDeviceState, // the poll's DeviceState
    kPendingDevices,     // /management/v1/configureddevices
    kPendingDropped,     // a call gave up on it: its reply is read and thrown away
    kPendingAdopt,       // the idle path's reading of a device found connected (serial: the member's index)
};

struct AlpacaPending {
    int kind;
    const char *member;
    unsigned long serial;      // the state's serial of a reading, or the transaction of a call
    uint64_t sentMs;
};

// The reply being read, picked out of its JSON as it comes.
struct AlpacaParse {
    AscomReply reply;
    int errorSeen;
    // DeviceState's pairs, stored once the reply is known to be whole.
    int pairKnown[kAscomReadingCount];
    double pairValue[kAscomReadingCount];
    char elementName[32];
    double elementValue;
    int elementHasValue;
    // configureddevices: the element being read and the device chosen.
    char deviceName[64];
    int deviceIsTelescope, deviceNumber;
    int chosenNumber;
    char chosenName[64];
};

struct AlpacaServer {
    char host[kAscomHostMax];
    unsigned short port;
};

struct AlpacaSession {
    int loaded;
    int configBad;
    char badKey[64];
    AscomConfig config;
    AscomMount mount;
    unsigned long clientId, transaction;

    // The server and device in use: from alpaca=, or found.
    int serverKnown;
    char host[kAscomHostMax];
    unsigned short port;
    int deviceNumber;
    char deviceName[64];

    AlpacaLink link;
    int closedClean;           // the server closed after a reply, as it said it would
    NetSocket socket;
    ServerAttempt attempt;
    uint64_t lastHeardMs;
    int stalled;               // a call's reply did not come, and nothing else since
    uint64_t callDeadlineMs;
    HttpReader http;
    JsonReader json;
    AlpacaParse parse;
    AlpacaPending pending[kAlpacaPendingMax];
    int pendingCount;
    // The reply of the last call answered, and its transaction.
    AscomReply callReply;
    unsigned long callAnswered;

    // The idle path's reading of a device that the server shows connected
    // (another client, or an open that came before the server did): its
    // identity and capabilities, pipelined, each answer kept here.
    double adoptValues[kAlpacaAdoptCount];
    int adoptAnswered;
    char adoptName[kAscomTextMax];

    AlpacaDiscovery discovery;
    NetSocket udp4, udp6;
    uint64_t probeEndMs, discoveryEndMs;
    AlpacaServer found[kAlpacaServersMax];
    int foundCount, asked;
};

extern AlpacaSession gAlpaca;
extern const AscomTransport kAlpacaTransport;

// Reads the settings and starts the session at the first call.
void AlpacaLoad(void);
// The version call at initialisation: starts the discovery or the
// connection, waiting for nothing.
void AlpacaStart(void);

#endif
