// Windows body of the platform layer: the Win32 calls the plug-in needs.
#include "Platform.h"

#include <windows.h>
#include <shlobj.h>
#include <share.h>
#include <string.h>

PlatformLibrary PlatformLoadLibrary(const char *windowsPath)
{
    // A full path with this flag makes the library's own folder the first
    // place searched for the DLLs it imports.
    return (PlatformLibrary)LoadLibraryExA(windowsPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int PlatformFileExists(const char *windowsPath)
{
    DWORD attributes = GetFileAttributesA(windowsPath);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int PlatformCommonFilesFolder(char *out, size_t size)
{
    // For a 32-bit process on 64-bit Windows this is "Program Files (x86)".
    char folder[MAX_PATH];
    if (SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES_COMMON, NULL, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return 0;
    size_t n = strlen(folder);
    while (n > 0 && folder[n - 1] == '\\')
        folder[--n] = '\0';
    if (n == 0 || n >= size)
        return 0;
    memcpy(out, folder, n + 1);
    return 1;
}

PlatformSymbol PlatformFindSymbol(PlatformLibrary library, const char *name)
{
    return (PlatformSymbol)(void *)GetProcAddress((HMODULE)library, name);
}

void PlatformFreeLibrary(PlatformLibrary library)
{
    FreeLibrary((HMODULE)library);
}

void PlatformShowNote(const char *caption, const char *text)
{
    // Owned by whatever window has the keyboard focus, or by none.
    MessageBoxA(GetFocus(), text, caption, MB_OK | MB_SYSTEMMODAL);
}

int PlatformAppendMenu(void *menu, unsigned flags, unsigned identifier, const char *text)
{
    return AppendMenuA((HMENU)menu, flags, identifier, text) ? 1 : 0;
}

// GetTickCount64 is found at run time (Windows Vista and later); without it
// the 32-bit tick count is carried on across its wrap. The plug-in is called
// on one thread, and at least once in 49.7 days while it tracks.
typedef ULONGLONG(WINAPI *TickCount64Fn)(void);
struct TickClock {
    int resolved;
    TickCount64Fn tickCount64;
    DWORD last;     // the 32-bit count at the previous reading
    uint64_t wraps; // the counts lost to wraps so far, a multiple of 2^32
};
static TickClock tickClock;

uint64_t PlatformMilliseconds(void)
{
    if (!tickClock.resolved) {
        tickClock.resolved = 1;
        tickClock.tickCount64 =
            (TickCount64Fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64");
    }
    if (tickClock.tickCount64 != NULL)
        return tickClock.tickCount64();
    DWORD now = GetTickCount();
    if (now < tickClock.last)
        tickClock.wraps += (uint64_t)1 << 32;
    tickClock.last = now;
    return tickClock.wraps + now;
}

// GetAsyncKeyState's low bit says "pressed since the last asking", its top
// bit "down now"; either counts, but only while the host is in front.
int PlatformUserAskedToStop(void)
{
    SHORT esc = GetAsyncKeyState(VK_ESCAPE);
    if ((esc & 0x8001) == 0)
        return 0;
    DWORD owner = 0;
    HWND front = GetForegroundWindow();
    if (front == NULL)
        return 0;
    GetWindowThreadProcessId(front, &owner);
    return owner == GetCurrentProcessId() ? 1 : 0;
}

void PlatformForgetUserStop(void)
{
    GetAsyncKeyState(VK_ESCAPE);
}

void PlatformSleep(unsigned milliseconds)
{
    Sleep(milliseconds);
}

FILE *PlatformOpenTextLog(const char *name)
{
    // Text mode gives CR LF on disk; _SH_DENYRW keeps other openers out.
    return _fsopen(name, "wt", _SH_DENYRW);
}
