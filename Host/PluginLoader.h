// Loads telescope.plug the way a host does and stands between it and the
// user: notes are captured instead of shown, the plug-in's clock and sleeps
// can run on a virtual clock, and host menus can be read back.
//
// Windows: LoadLibraryA, then the plug-in's imports of MessageBoxA, GetFocus,
// Sleep and MsgWaitForMultipleObjects, GetTickCount, GetProcAddress (for
// GetTickCount64), LoadLibraryExA and the Esc key's state (GetAsyncKeyState,
// GetForegroundWindow, GetWindowThreadProcessId) are redirected to this
// file's stand-ins.
// POSIX: dlopen; the plug-in's platform layer finds this file's PlugHost_*
// functions in the executable (which must be linked with exported symbols).
//
// One plug-in at a time per process; every call on the host's one thread.
#ifndef PLUGIN_LOADER_H
#define PLUGIN_LOADER_H

#include "HostRecords.h"

#include <functional>
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

struct LoadedPlugin {
    void *module = nullptr;
    DoOperationFn DoOperation = nullptr;
};

struct CapturedNote {
    std::string caption;
    std::string text;
    unsigned style = 0;     // MessageBoxA's style; 0x1000 on POSIX, where no box exists
    uintptr_t owner = 0;    // the owner window passed; kFocusWindow when it came from GetFocus
};

// What the stand-in GetFocus answers while no window of the test has the
// focus, so tests can see the owner passed on.
const uintptr_t kFocusWindow = 0x4242;

// Loads the plug-in and resolves DoOperation; false with a reason otherwise.
bool LoadPlugin(const char *path, LoadedPlugin *out, std::string *error);
void UnloadPlugin(LoadedPlugin *plugin);

// Notes the plug-in has shown since the last clear, oldest first.
const std::vector<CapturedNote> &CapturedNotes();
void ClearCapturedNotes();
// Also print each note to stderr as it arrives (the stand-in host's transcript).
void EchoNotes(bool on);

// Virtual clock: while on, the plug-in reads `now` as its millisecond clock
// and every sleep advances it instead of waiting.
void UseVirtualClock(bool on, uint64_t startMs = 0);
void AdvanceVirtualClock(uint64_t ms);
uint64_t VirtualClockNow();
// Sleeps the plug-in asked for since the last reset, virtual clock or not.
unsigned SleepCalls();
uint64_t SleptMilliseconds();
void ResetSleepCount();
// Whether the plug-in finds a 64-bit millisecond count (the default) or, as
// on Windows XP, only the 32-bit tick count, which wraps at 2^32 ms. Windows
// only; takes effect at the next load.
void OfferTickCount64(bool on);

// The libraries the plug-in asked LoadLibraryExA for since the last clear,
// with the flags it passed (Windows only; none are seen on POSIX).
struct LibraryLoad {
    std::string path;
    unsigned flags;
};
const std::vector<LibraryLoad> &LibraryLoads();
void ClearLibraryLoads();

// Calls back into the host from inside the plug-in, the way a real host's
// timer and menus arrive while the plug-in is busy: `onNote` while a note is
// up (before it is acknowledged), `onLibraryCall` from inside the control
// library's entry point that the mount simulator's `reenter` key names (the
// simulator finds PlugHost_LibraryCall in the executable). Empty: none.
void OnNote(std::function<void()> onNote);
void OnLibraryCall(std::function<void(const char *entryPoint)> onLibraryCall);
// `onPause` once, from inside the next pause the plug-in takes (a go-to
// wait's between two polls), before the time passes. Empty: none.
void AtNextPause(std::function<void()> onPause);

// The Esc key as the plug-in asks for it: each asking takes the next state
// (0x8000 down now, 0x0001 pressed since the last asking; 0 once the list
// is used up), and counts only while `hostInFront` (a window of this process
// is the foreground one).
void ScriptEscapeKey(const std::vector<uint16_t> &states, bool hostInFront);
unsigned EscapeKeyAskings();

// Host menus that the plug-in can append to, read back entry by entry.
struct HostMenuEntry {
    bool separator = false;
    bool enabled = true;
    bool checked = false;
    unsigned identifier = 0;
    std::string text;
};
void *CreateHostMenu();
void DestroyHostMenu(void *menu);
// Adds an entry of the host's own (so tests can see the plug-in appends at the end).
void AppendHostMenuEntry(void *menu, unsigned identifier, const char *text);
std::vector<HostMenuEntry> ReadHostMenu(void *menu);

// Sets an environment variable so that a library loaded later (the mount
// simulator) sees it, on both builds.
void SetHostEnvironment(const char *name, const char *value);

// The whole file as bytes; false when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string *bytes);

#endif
