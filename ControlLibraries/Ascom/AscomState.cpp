// The state cache's side for the transport: readings stored by their names
// in the API, each under the serial of the request that brought it.
#include "AscomMapping.h"

#include <string.h>

static const char *const kReadingNames[kAscomReadingCount] = {
    "RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier",
};

// The reading's index, or -1 for a name the cache does not keep. Names are
// matched as the API spells them; a server's own capitals are not ours to
// guess (ASCOM.md: servers differ, the API's spelling is the one to send).
static int ReadingIndex(const char *name)
{
    for (int i = 0; i < kAscomReadingCount; ++i)
        if (name != NULL && strcmp(name, kReadingNames[i]) == 0)
            return i;
    return -1;
}

unsigned long AscomReadingStarted(AscomState *state)
{
    return ++state->serial;
}

int AscomStoreReading(AscomState *state, unsigned long serial, const char *name, double value)
{
    int i = ReadingIndex(name);
    if (i < 0)
        return 0;
    AscomReading *r = &state->readings[i];
    // A reply to an older request arriving after a newer one's keeps the newer.
    if (r->known && serial < r->serial)
        return 1;
    r->known = 1;
    r->value = value;
    r->serial = serial;
    return 1;
}

void AscomStoreError(AscomState *state, unsigned long serial, const char *name, int errorNumber)
{
    state->lastErrorNumber = errorNumber;
    if (errorNumber == 0x407 && serial > state->notConnectedSerial)
        state->notConnectedSerial = serial;
    int i = ReadingIndex(name);
    if ((i == kAscomRightAscension || i == kAscomDeclination || i == kAscomSlewing) &&
        serial > state->motionErrorSerial)
        state->motionErrorSerial = serial;
}

void AscomForgetReadings(AscomState *state)
{
    for (int i = 0; i < kAscomReadingCount; ++i)
        state->readings[i].known = 0;
}
