// The parts of the plug-in loader that are the same on both builds: the
// captured notes, the virtual clock's bookkeeping and file reading.
#include "PluginLoader.h"
#include "PluginLoaderState.h"

#include <stdio.h>

static std::vector<CapturedNote> notes;
static bool echoNotes = false;
static std::function<void()> noteCallback;
static std::function<void(const char *)> libraryCallback;
static std::function<void()> pauseCallback;
static std::vector<uint16_t> escapeStates;
static size_t escapeAskings = 0;
static bool hostInFront = false;
LoaderClock gLoaderClock;

void RecordNote(const char *caption, const char *text, unsigned style, uintptr_t owner)
{
    CapturedNote note;
    note.caption = caption ? caption : "";
    note.text = text ? text : "";
    note.style = style;
    note.owner = owner;
    if (echoNotes)
        fprintf(stderr, "[note \"%s\"] %s\n", note.caption.c_str(), note.text.c_str());
    notes.push_back(note);
    if (noteCallback)
        noteCallback();
}

const std::vector<CapturedNote> &CapturedNotes() { return notes; }
void ClearCapturedNotes() { notes.clear(); }
void EchoNotes(bool on) { echoNotes = on; }

void UseVirtualClock(bool on, uint64_t startMs)
{
    gLoaderClock.virtualOn = on;
    gLoaderClock.now = startMs;
}
void AdvanceVirtualClock(uint64_t ms) { gLoaderClock.now += ms; }
uint64_t VirtualClockNow() { return gLoaderClock.now; }
unsigned SleepCalls() { return gLoaderClock.sleepCalls; }
uint64_t SleptMilliseconds() { return gLoaderClock.sleptMs; }
void ResetSleepCount()
{
    gLoaderClock.sleepCalls = 0;
    gLoaderClock.sleptMs = 0;
}

// Counts a sleep; true when the virtual clock took it (the caller must not wait).
bool TakeSleep(unsigned ms)
{
    if (pauseCallback) {
        std::function<void()> once = std::move(pauseCallback);
        pauseCallback = nullptr;
        once();
    }
    ++gLoaderClock.sleepCalls;
    gLoaderClock.sleptMs += ms;
    if (!gLoaderClock.virtualOn)
        return false;
    gLoaderClock.now += ms;
    return true;
}

void OfferTickCount64(bool on) { gLoaderClock.tickCount64 = on; }

static std::vector<LibraryLoad> libraryLoads;
void RecordLibraryLoad(const char *path, unsigned flags) { libraryLoads.push_back({path ? path : "", flags}); }
const std::vector<LibraryLoad> &LibraryLoads() { return libraryLoads; }
void ClearLibraryLoads() { libraryLoads.clear(); }

bool ReadWholeFile(const std::string &path, std::string *bytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    bytes->clear();
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->append(chunk, n);
    fclose(f);
    return true;
}

void OnNote(std::function<void()> onNote) { noteCallback = std::move(onNote); }
void OnLibraryCall(std::function<void(const char *)> onLibraryCall) { libraryCallback = std::move(onLibraryCall); }
void AtNextPause(std::function<void()> onPause) { pauseCallback = std::move(onPause); }

#ifdef _WIN32
#define HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Called by the mount simulator from inside the entry point it was told to re-enter from.
HOST_EXPORT void PlugHost_LibraryCall(const char *entryPoint)
{
    if (libraryCallback)
        libraryCallback(entryPoint);
}

void ScriptEscapeKey(const std::vector<uint16_t> &states, bool inFront)
{
    escapeStates = states;
    escapeAskings = 0;
    hostInFront = inFront;
}
unsigned EscapeKeyAskings() { return (unsigned)escapeAskings; }

uint16_t TakeEscapeState()
{
    size_t i = escapeAskings++;
    return i < escapeStates.size() ? escapeStates[i] : 0;
}
bool HostInFront() { return hostInFront; }
