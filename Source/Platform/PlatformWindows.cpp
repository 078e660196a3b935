// Windows body of the platform layer: the Win32 calls the plug-in needs.
#include "Platform.h"

#include <windows.h>
#include <share.h>

PlatformLibrary PlatformLoadLibrary(const char *windowsPath)
{
    return (PlatformLibrary)LoadLibraryA(windowsPath);
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

uint64_t PlatformMilliseconds(void)
{
    return GetTickCount64();
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
