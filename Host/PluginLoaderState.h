// Shared between the loader's common part and its platform bodies.
#ifndef PLUGIN_LOADER_STATE_H
#define PLUGIN_LOADER_STATE_H

#include <stdint.h>

struct LoaderClock {
    bool virtualOn = false;
    uint64_t now = 0;
    unsigned sleepCalls = 0;
    uint64_t sleptMs = 0;
    bool tickCount64 = true; // whether the plug-in finds a 64-bit tick count
};
extern LoaderClock gLoaderClock;

void RecordNote(const char *caption, const char *text, unsigned style, uintptr_t owner);
bool TakeSleep(unsigned ms);
// The next scripted Esc state, and whether the host is in front.
uint16_t TakeEscapeState();
bool HostInFront();
void RecordLibraryLoad(const char *path, unsigned flags);

#endif
