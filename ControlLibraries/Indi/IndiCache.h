// The latest definition, values and state of each property of one INDI
// device, kept from the server's stream as it is read. Fixed size: a
// property or element beyond the caps, or a value cut by the reader, is
// skipped; other devices are ignored.
#ifndef INDI_CACHE_H
#define INDI_CACHE_H

#include "XmlStream.h"

enum {
    kIndiProperties = 96,
    kIndiElements = 24,
    kIndiValueMax = 80,
    kIndiDeviceMax = 64,
};

enum IndiType { kIndiNumber, kIndiSwitch, kIndiText, kIndiLight, kIndiBlob };
enum IndiState { kIndiIdle, kIndiOk, kIndiBusy, kIndiAlert };

struct IndiElement {
    char name[kXmlNameMax];
    double number;              // numbers
    unsigned char on;           // switches
    char text[kIndiValueMax];   // texts and lights, as sent
};

struct IndiProperty {
    char name[kXmlNameMax];
    unsigned char type, state, writable;
    int count;
    IndiElement elements[kIndiElements];
    unsigned long updates;      // definitions and updates received
    unsigned long busyUpdates;  // of those, the ones in state Busy
    unsigned long alertUpdates; // and in state Alert
    unsigned long busyEndedAt;  // busyUpdates when a Busy run last ended
    unsigned char busyEndState; // and the state that ended it
    // 1 once the values are the device's own: set since it was defined, or
    // defined while the device was already connected. A driver connected
    // while the library watches defines its properties with placeholders
    // (the simulator's coordinates at 0/0) and sets them a moment later.
    unsigned char valuesKnown;
    unsigned long serial;       // the cache's definitions count when this one was made: a property
                                // deleted and defined again is another one
};

// One element of a vector being read, applied when the vector ends.
struct IndiStaged {
    char name[kXmlNameMax];
    char text[kIndiValueMax];
    double number;
    unsigned char on;
};

struct IndiCache {
    char wanted[kIndiDeviceMax];  // the configured device, or empty for the first mount
    char device[kIndiDeviceMax];  // the device followed, once known
    int replayWanted;             // chosen after its first definitions went by: ask again
    IndiProperty properties[kIndiProperties];
    int count;
    unsigned long definitions;    // properties made (not redefined) since the reset
    int connectSeen;              // the device's CONNECTION went On in this stream
    char message[160];            // the device's latest message
    unsigned long long received;  // top-level elements read
    unsigned long long skipped;   // vectors or values dropped (caps, bad numbers)

    // The vector being read.
    int inVector, vectorIsDefinition, vectorType, vectorState, vectorWritable;
    int vectorSkip;               // 1: not ours; 2: another device's DRIVER_INFO, read for its kind
    char vectorName[kXmlNameMax];
    char vectorDevice[kIndiDeviceMax];
    IndiStaged staged[kIndiElements];
    int stagedCount;
    char elementName[kXmlNameMax];
    int elementSkip;
    char elementText[kIndiValueMax];
    int elementTextOversize;

    XmlReader reader;
};

void IndiCacheReset(IndiCache *cache, const char *wantedDevice);
// Forgets the device's properties, keeps the choice of device (a new session).
void IndiCacheForget(IndiCache *cache);
void IndiCacheFeed(IndiCache *cache, const char *data, size_t length);

IndiProperty *IndiFind(IndiCache *cache, const char *property);
IndiElement *IndiFindElement(IndiProperty *property, const char *element);
// The number of an element, or fallback when the property or element is missing.
double IndiNumber(IndiCache *cache, const char *property, const char *element, double fallback);
// 1 when the switch exists and is On.
int IndiSwitchOn(IndiCache *cache, const char *property, const char *element);

// An INDI number: decimal ("4.44", "-1e-3") or sexagesimal ("5:30:00",
// "-12 30 15.5", "5;30"). Locale-free. 0 when it is neither or not finite.
int IndiParseNumber(const char *text, double *value);

#endif
