// The plug-in's only view of the operating system. One Windows body
// (PlatformWindows.cpp) and one POSIX body (PlatformPosix.cpp); nothing else
// in the plug-in knows which one runs.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#define PLATFORM_ENTRY_CALL __stdcall
#else
#define PLATFORM_ENTRY_CALL
#endif

typedef void *PlatformLibrary;
typedef void (*PlatformSymbol)(void);

// Loads the library named by a Windows path ("c:\..."), with the library's
// own folder searched for the libraries it needs in turn; null when it cannot.
// The POSIX body maps the drive to a folder, as Wine maps C: to drive_c.
PlatformLibrary PlatformLoadLibrary(const char *windowsPath);

// Non-zero when a file (not a folder) is at that Windows path.
int PlatformFileExists(const char *windowsPath);

// Writes the Common Files folder as the system names it for this process
// ("c:\Program Files\Common Files", or on 64-bit Windows the "(x86)" one that
// 32-bit programs install into), without a trailing backslash; non-zero on
// success. The POSIX body reads it from CommonProgramFiles, as Windows sets it.
int PlatformCommonFilesFolder(char *out, size_t size);

// The address of an exported function, or null when the library lacks it.
PlatformSymbol PlatformFindSymbol(PlatformLibrary library, const char *name);

// Releases a library that PlatformLoadLibrary returned.
void PlatformFreeLibrary(PlatformLibrary library);

// Shows a note to the user and returns once it is acknowledged (a system-modal
// message box on Windows). Never blocks where nobody can acknowledge it.
void PlatformShowNote(const char *caption, const char *text);

// Appends one entry at the end of a host menu; non-zero on success.
int PlatformAppendMenu(void *menu, unsigned flags, unsigned identifier, const char *text);

// A monotonic millisecond count that does not wrap (on a system with only a
// 32-bit tick count, that count carried on across its wrap every 49.7 days).
uint64_t PlatformMilliseconds(void);

// What the user sees of a wait inside a host call (the go-to's). On Windows,
// where the host has a window on this thread, a progress box modal to the
// whole thread, as a task-modal message box is: every enabled top-level
// window of the thread disabled while it is up, the thread's messages read
// and dispatched during each pause, so the host's repaints and timers go on
// (and its calls arrive, nested in the one under way). Elsewhere nothing is
// shown and a pause is a plain sleep. Filled by PlatformBeginWait; the
// caller only reads it through the functions below.
enum { kPlatformWaitWindows = 32 }; // the most windows a wait disables
struct PlatformWait {
    void *box;                              // the progress box; null when none is shown
    void *owner;                            // the host's window that owns it
    void *focus;                            // the window that had the keyboard focus before
    void *disabled[kPlatformWaitWindows];   // the windows the wait disabled, to enable again
    unsigned disabledCount;
    uint32_t keysPressed[8];                // keys pressed in the box since it appeared
    int escapeHeld;                         // Esc down since before the wait, not yet seen up
    int stopAsked;                          // Stop pressed, Esc in the box, or the box closed
    int quitTaken;                          // the host's quit request, taken from the queue
    int quitCode;
    int shownProgress, shownSeconds;        // what the box says, -1 before the first
};

// Starts a wait: shows the box, captioned `caption`, with the line `what`.
// A request to stop made before (a key pressed earlier, or still held down)
// is forgotten. On Windows the plug-in stays loaded from here until the
// outermost DoOperation call returns, even if the host releases it meanwhile.
void PlatformBeginWait(PlatformWait *wait, const char *caption, const char *what);

// Says how far the wait has come, in percent, after so many seconds.
void PlatformShowWaitProgress(PlatformWait *wait, unsigned percent, unsigned seconds);

// Pauses for about that many milliseconds (a sleep where no box is shown).
// Non-zero while the wait may go on; 0 once the host has asked its thread to
// quit (the request is held, and made again by PlatformEndWait).
int PlatformPauseWait(PlatformWait *wait, unsigned milliseconds);

// Whether the user has asked to stop the wait since the last asking: in its
// box, or with Esc while a window of the host's process is in front. A key
// that was down when the wait began counts only once it has been let go and
// pressed again; Enter never counts.
int PlatformWaitStopAsked(PlatformWait *wait);

// Ends a wait however it ended: the box gone, the windows it disabled
// enabled again (those destroyed meanwhile skipped), the focus back where it
// was, a quit request made again.
void PlatformEndWait(PlatformWait *wait);

// Opens a text file for writing, created or truncated, held exclusively while
// open and writing each line feed as CR LF on disk; null on failure.
FILE *PlatformOpenTextLog(const char *name);

// The floating-point state of the host (x87 control and status, SSE control
// and status), kept while the plug-in works in its own.
struct PlatformFloatState {
    uint16_t x87Control, x87Status; // the status only when the host unmasks x87 exceptions
    uint32_t mxcsr;
};

// Saves the host's floating-point state and switches to the plug-in's own:
// every exception masked, rounding to nearest.
PlatformFloatState PlatformUseOwnFloatState(void);

// Puts back the state that PlatformUseOwnFloatState saved: the control words
// and the SSE flags exactly, and the x87 flags exactly for a host that unmasks
// x87 exceptions (for any other they are masked, and ours may stay).
void PlatformRestoreFloatState(const PlatformFloatState *host);

// The host's state as the outermost handled call saved it, kept while that
// call is under way (null once it ends), for the host's code that runs
// inside the call: in a modal loop of the plug-in's, or a dispatch of the
// host's messages by the control library while it waits.
void PlatformKeepHostFloatState(PlatformFloatState *host);

// Around the host's code inside a call: before, the host's state back;
// after, the plug-in's again, the host's saved anew with whatever its code
// raised. Outside a call, nothing. Also the control library's dispatch hooks.
void PlatformBeforeHostCode(void);
void PlatformAfterHostCode(void);

// The plug-in's entry, DoOperation as the host calls it, is defined by the
// plug-in under this name. On Windows the platform body exports DoOperation
// itself: a stub that calls this entry and, when a wait took a reference to
// the plug-in during the outermost call, gives it back on the way out so that
// a host that released the plug-in meanwhile unloads it only then.
#ifdef _WIN32
#define PLATFORM_OPERATION_ENTRY PluginOperation
#else
#define PLATFORM_OPERATION_ENTRY DoOperation
#endif

// The plug-in's load hook: called with reason 1 when the library is attached
// to a process and 0 when it is detached. Defined by the plug-in; on POSIX the
// platform body calls it from the library's constructor and destructor.
extern "C" int PLATFORM_ENTRY_CALL DllMain(void *hInst, unsigned long wDataSeg, void *lpReserved);

#endif
