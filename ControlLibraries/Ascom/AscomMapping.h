// The ASCOM library's mapping: the 21 entry points over the ASCOM Telescope
// interface, written once for both ways of reaching it (Alpaca over HTTP,
// COM drivers on the PC). The mapping knows the members by name and the
// answers the plug-in expects; a transport knows how to send a member's
// request and read its reply. It fills an AscomTransport, a record of
// function pointers, and the mapping calls nothing else.
//
// Plain functions over a plain record (AscomMount): no thread, no heap, no
// exceptions. Only a call that may wait (one that follows the user's
// action) calls the transport's call(), never past its deadline; the idle
// calls (coordinates, progress, orientation, settings) call only poll(),
// which never waits, and answer from the state cache it fills.
#ifndef ASCOM_MAPPING_H
#define ASCOM_MAPPING_H

#include "DravInterface.h"

#include <stdarg.h>
#include <stdint.h>

enum { kAscomTextMax = 256, kAscomRatesMax = 8 };

// --- The transport seam ---

// A request's verb: a property read (GET on Alpaca, DISPATCH_PROPERTYGET on
// COM), or a property set or method call (PUT; DISPATCH_PROPERTYPUT or
// DISPATCH_METHOD).
enum AscomVerb { kAscomGet, kAscomPut };

// A named parameter of a PUT, by its name as the API spells it
// ("RightAscension", "Tracking"): a number, a boolean or a text.
enum AscomKind { kAscomNoValue, kAscomBool, kAscomInteger, kAscomDouble, kAscomText, kAscomList };

struct AscomParam {
    const char *name;
    AscomKind kind;
    double number; // kAscomBool: 0 or 1; kAscomInteger: a whole number
    const char *text;
};

// How a request went, before the device's own word on it.
enum AscomReach {
    kAscomReached,    // the device answered: see errorNumber
    kAscomNoServer,   // nothing to send it to: no server, connection refused or lost, no driver
    kAscomTimedOut,   // sent, and no reply before the deadline
    kAscomHttpFailed, // the server answered, but not for the device (HTTP 400, 404, 500, ...)
};

struct AscomReply {
    AscomReach reach;
    int status;                     // the HTTP status or the COM HRESULT, for the trace
    int errorNumber;                // 0 done, else ASCOM's numbers (0x400 not implemented, ...)
    char message[kAscomTextMax];    // the driver's message (ErrorMessage, bstrDescription)
    AscomKind kind;                 // of the value, kAscomNoValue for a method
    double number;                  // bool (0 or 1), integer or double
    char text[kAscomTextMax];
    int list[kAscomRatesMax];       // TrackingRates: the rates it lists, in its order
    int listCount;
};

struct AscomMount;

struct AscomTransport {
    void *context;
    // The monotonic clock, in ms, that every deadline is written in.
    uint64_t (*monotonicMs)(void *context);
    // The calendar, for precession: seconds since 1970 (UTC).
    double (*unixSeconds)(void *context);
    // Reaches the server or driver (lookup, connection, discovery, driver
    // creation) by the deadline: 1 when it can take requests. With the
    // deadline now, only takes the next step.
    int (*ready)(void *context, uint64_t deadlineMs);
    // The server or driver can take requests now; never waits.
    int (*reachable)(void *context);
    // One request to the device, waiting for its reply until the deadline at
    // most. member is its name as the API spells it ("SlewToCoordinatesAsync").
    void (*call)(void *context, AscomVerb verb, const char *member, const AscomParam *params, int count,
                 uint64_t deadlineMs, AscomReply *reply);
    // The idle path's refresh: stores whatever readings have arrived into
    // mount->state (AscomStoreReading) and sends the next request, never
    // waiting. It may read mount->caps (interfaceVersion) and mount->transaction.
    void (*poll)(void *context, AscomMount *mount);
    // Waits until the time given, or less; between the steps of a wait that
    // polls (Connecting, AtPark), so that it does not spin.
    void (*pauseUntil)(void *context, uint64_t untilMs);
    // Names the server or driver for the version text: "Alpaca server
    // \"...\" at HOST:PORT, telescope N", "COM driver ProgID".
    void (*describe)(void *context, char *text, int size);
    // One line of the library's trace, printf-like.
    void (*trace)(void *context, const char *format, va_list args);
};

// --- The state cache ---

// The readings the idle path answers from, by their names in the API.
enum AscomReadingIndex {
    kAscomRightAscension, // hours, in the frame that EquatorialSystem names
    kAscomDeclination,    // degrees, the same frame
    kAscomSlewing,        // 0 or 1
    kAscomTracking,
    kAscomAtPark,
    kAscomSideOfPier,     // 0 east, 1 west, -1 unknown
    kAscomReadingCount
};

// Each reading with the serial of the request that brought it: a request
// started after a go-to's launch brings evidence about that go-to, one
// started before does not, whenever its reply arrives.
struct AscomReading {
    int known;
    double value;
    unsigned long serial;
};

struct AscomState {
    AscomReading readings[kAscomReadingCount];
    unsigned long serial;         // of the last request started
    // The device's refusals of readings: the last one on the place or on
    // Slewing (a go-to under way ends on it), and the last "not connected".
    unsigned long motionErrorSerial, notConnectedSerial;
    int lastErrorNumber;
};

// For the transport: the serial of a reading request being sent now (one
// DeviceState, or one GET); its replies are stored under it.
unsigned long AscomReadingStarted(AscomState *state);
// Stores a reading by its name (bools as 0 or 1); 1 when it is one the
// cache keeps. DeviceState's pairs and single GETs land here alike.
int AscomStoreReading(AscomState *state, unsigned long serial, const char *name, double value);
// Stores the device's refusal of a reading request (its ErrorNumber).
void AscomStoreError(AscomState *state, unsigned long serial, const char *name, int errorNumber);
// Forgets every reading: the server or the device went.
void AscomForgetReadings(AscomState *state);

// --- The mount ---

struct AscomOptions {
    int timeoutMs;    // the longest wait of any call
    int epochJ2000;   // 1: the host's positions are J2000 (and an EquatorialSystem of 0 means J2000); 0: of the date
    int unparkOnGoTo; // 1: a go-to to a parked mount unparks it first; 0: refused
    int configBad;    // the configuration had a bad item: every entry point answers 3
    char badKey[64];
};

// What the device can do, read once at each connection.
struct AscomCapabilities {
    int interfaceVersion;
    int canSlewAsync, canSync, canPark, canUnpark, canSetPark, canSetTracking;
    int equatorialSystem; // 0 other, 1 topocentric (of the date), 2 J2000, 3 J2050, 4 B1950
    int rates[kAscomRatesMax];
    int rateCount;
};

// The go-to under way. Its target and the distances are in the device's
// frame, radians.
struct AscomGoTo {
    int active;
    int interrupted; // ended by the server going, not yet told to the progress
    double ra, dec;
    double launchDistance;
    unsigned long launchSerial; // readings of requests after this one tell of this go-to
    uint64_t launchMs;
    int seenSlewing;            // a reading after the launch showed Slewing
};

struct AscomMount {
    AscomOptions options;
    int callerJ2000; // the host's positions (TCS_SetEpoch), from options.epochJ2000 at the start
    int connected;   // the device was connected and its capabilities read
    int wasReachable;
    unsigned long notConnectedSeen; // the state's notConnectedSerial already acted on
    char name[kAscomTextMax], driverInfo[kAscomTextMax];
    AscomCapabilities caps;
    AscomState state;
    AscomGoTo goTo;
    unsigned long transaction; // ClientTransactionID, for a transport that numbers its requests
};

// A mount record with these options, not connected.
void AscomMountInit(AscomMount *mount, const AscomOptions *options);

// Whether an entry point may wait (for the server, the device, a reply):
// only one that follows the user's action may.
enum { kAscomNoWait = 0, kAscomMayWait = 1 };

// The entry points, one a function: the export of the same name calls it
// with its arguments and kAscomMayWait or kAscomNoWait.
unsigned short AscomGetVersion(AscomMount *m, const AscomTransport *t, int mayWait, char *text, int size);
unsigned short AscomGetControlStatus(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *code);
unsigned short AscomGetAlignmentStatus(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *code);
unsigned short AscomGetCelestialCoords(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords *pos);
unsigned short AscomGetGoToProgress(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *percent);
unsigned short AscomGetScopeOrientation(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short *a,
                                        unsigned short *b);
unsigned short AscomGetControlSettingUShort(AscomMount *m, const AscomTransport *t, int mayWait,
                                            unsigned short setting, unsigned short *value);
unsigned short AscomGetControlSettingDouble(AscomMount *m, const AscomTransport *t, int mayWait,
                                            unsigned short setting, double *value);
unsigned short AscomSelectTrackRate(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short rate);
unsigned short AscomSetCelestialAlignPoint(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos,
                                           unsigned short a, unsigned short b);
unsigned short AscomSetCelestialAlignFromAlignPoints(AscomMount *m, const AscomTransport *t, int mayWait);
unsigned short AscomVoidCelestialAlign(AscomMount *m, const AscomTransport *t, int mayWait);
unsigned short AscomCalibrate(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos);
unsigned short AscomSetEpoch(AscomMount *m, const AscomTransport *t, int mayWait, double epoch);
unsigned short AscomSetRefractionCorr(AscomMount *m, const AscomTransport *t, int mayWait, unsigned short on);
unsigned short AscomSetRefractionTemperature(AscomMount *m, const AscomTransport *t, int mayWait, double celsius);
unsigned short AscomSetRefractionPressure(AscomMount *m, const AscomTransport *t, int mayWait, double pressure);
unsigned short AscomSetParkMark(AscomMount *m, const AscomTransport *t, int mayWait);
unsigned short AscomKillMotion(AscomMount *m, const AscomTransport *t, int mayWait);
unsigned short AscomGoToCelestialCoords(AscomMount *m, const AscomTransport *t, int mayWait, DRAV_Coords pos);
unsigned short AscomGoToPark(AscomMount *m, const AscomTransport *t, int mayWait);

// The answer to a reply: 0 done; 2 not carried out (the device's refusal,
// an HTTP failure, no reply in time); 3 no server, or the device not
// connected (0x407).
unsigned short AscomReplyCode(const AscomReply *reply);

#endif
