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

// Loads the library named by a Windows path ("c:\..."); null when it cannot.
// The POSIX body maps the drive to a folder, as Wine maps C: to drive_c.
PlatformLibrary PlatformLoadLibrary(const char *windowsPath);

// The address of an exported function, or null when the library lacks it.
PlatformSymbol PlatformFindSymbol(PlatformLibrary library, const char *name);

// Releases a library that PlatformLoadLibrary returned.
void PlatformFreeLibrary(PlatformLibrary library);

// Shows a note to the user and returns once it is acknowledged (a system-modal
// message box on Windows). Never blocks where nobody can acknowledge it.
void PlatformShowNote(const char *caption, const char *text);

// Appends one entry at the end of a host menu; non-zero on success.
int PlatformAppendMenu(void *menu, unsigned flags, unsigned identifier, const char *text);

// A monotonic millisecond count that does not wrap.
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

// The plug-in's load hook: called with reason 1 when the library is attached
// to a process and 0 when it is detached. Defined by the plug-in; on POSIX the
// platform body calls it from the library's constructor and destructor.
extern "C" int PLATFORM_ENTRY_CALL DllMain(void *hInst, unsigned long wDataSeg, void *lpReserved);

#endif
