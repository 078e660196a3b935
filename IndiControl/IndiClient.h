// The INDI client behind the control library's entry points: the
// configuration, one server connection with no thread of its own, the
// device's property cache, and the go-to under way. Each entry point calls
// IndiReady first, which reads what the server has sent without waiting
// (and opens the connection when it is due); waits happen only where an
// answer is needed and end by a deadline within the configured timeout.
#ifndef INDI_CLIENT_H
#define INDI_CLIENT_H

#include "IndiCache.h"
#include "IndiConfig.h"
#include "IndiPlatform.h"

#include <stdio.h>

enum { kReconnectPauseMs = 1000, kDrainLimitBytes = 4 << 20 };

struct IndiGoTo {
    int active;
    double ra, dec;            // the target, of the date, radians
    double launchDistance;     // radians from the position at launch
    unsigned long busyAtLaunch, updatesAtLaunch;
    uint64_t launchMs;
};

struct IndiSession {
    int loaded;
    int configBad;
    char badKey[64];
    IndiConfig config;
    FILE *trace;

    NetSocket socket;
    int online;                // a server connection is open
    int heard;                 // and the server has sent something on it
    int attempted;
    uint64_t lastAttemptMs;
    unsigned long long bytes;  // received on this connection

    IndiCache cache;
    IndiGoTo goTo;
};

extern IndiSession gIndi;

// 1 when the configuration is good and a server connection is open.
int IndiReady(void);
// Reads what has arrived, without waiting.
void IndiDrain(void);
// Reads until done(cache) holds or the deadline passes; 1 when it holds.
int IndiWaitUntil(int (*done)(IndiCache *cache), uint64_t deadlineMs);
uint64_t IndiDeadline(void);
// The device answers: connected, with its coordinates defined.
int IndiDeviceConnected(void);
// Asks the device to connect and waits for it, until the deadline.
int IndiConnectDevice(uint64_t deadlineMs);

// Requests: switch element On (the others of the property Off), or the
// numbers of a property. 1 when the request went out.
int IndiSendSwitch(const char *property, const char *element);
int IndiSendNumbers(const char *property, const char *const *elements, const double *values, int count);

void IndiTrace(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void IndiUnload(void);

// Locale-free fixed-point text of value with the given decimals.
void FormatFixed(char *buffer, int size, double value, int decimals);

#endif
