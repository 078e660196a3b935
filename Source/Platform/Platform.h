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

// Whether the user has asked to stop what the plug-in waits for (Esc pressed
// while a window of the host's process is in front) since the last call of
// either function; the second only forgets an earlier request.
int PlatformUserAskedToStop(void);
void PlatformForgetUserStop(void);

// Suspends the calling thread for about that many milliseconds.
void PlatformSleep(unsigned milliseconds);

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

// The plug-in's load hook: called with reason 1 when the library is attached
// to a process and 0 when it is detached. Defined by the plug-in; on POSIX the
// platform body calls it from the library's constructor and destructor.
extern "C" int PLATFORM_ENTRY_CALL DllMain(void *hInst, unsigned long wDataSeg, void *lpReserved);

#endif
