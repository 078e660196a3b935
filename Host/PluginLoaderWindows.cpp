// Windows body of the plug-in loader: LoadLibraryA, and the plug-in's imports
// redirected to stand-ins by rewriting its import address table.
#include "PluginLoader.h"
#include "PluginLoaderState.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

static int WINAPI StandInMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    RecordNote(caption, text, style, (uintptr_t)owner);
    return IDOK;
}

// The real focus where a window of the test has it; otherwise a stand-in, so
// that a note's owner is seen to come from here.
static HWND WINAPI StandInGetFocus(void)
{
    HWND focus = GetFocus();
    return focus != NULL ? focus : (HWND)kFocusWindow;
}

// The plug-in's clock: GetTickCount64 where it finds one (through
// GetProcAddress), else GetTickCount, both reading the virtual clock while it
// is on. The real 64-bit count is looked up, since XP lacks it.
static ULONGLONG WINAPI StandInGetTickCount64(void)
{
    typedef ULONGLONG(WINAPI * TickCount64Fn)(void);
    static TickCount64Fn real =
        (TickCount64Fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64");
    return gLoaderClock.virtualOn ? gLoaderClock.now : real ? real() : GetTickCount();
}

static DWORD WINAPI StandInGetTickCount(void)
{
    return gLoaderClock.virtualOn ? (DWORD)gLoaderClock.now : GetTickCount();
}

static FARPROC WINAPI StandInGetProcAddress(HMODULE module, LPCSTR name)
{
    if (HIWORD((DWORD_PTR)name) != 0 && strcmp(name, "GetTickCount64") == 0)
        return gLoaderClock.tickCount64 ? (FARPROC)(void *)&StandInGetTickCount64 : nullptr;
    return GetProcAddress(module, name);
}

static HMODULE WINAPI StandInLoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags)
{
    RecordLibraryLoad(path, flags);
    return LoadLibraryExA(path, file, flags);
}

static void WINAPI StandInSleep(DWORD ms)
{
    if (!TakeSleep(ms))
        Sleep(ms);
}

// The pause of a go-to wait that shows its box: on the virtual clock a
// sleep (nothing arrives meanwhile but what is already queued).
static DWORD WINAPI StandInMsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms,
                                                     DWORD mask)
{
    if (TakeSleep(ms))
        return WAIT_TIMEOUT;
    return MsgWaitForMultipleObjects(count, handles, all, ms, mask);
}

static SHORT WINAPI StandInGetAsyncKeyState(int key)
{
    return key == VK_ESCAPE ? (SHORT)TakeEscapeState() : 0;
}

// The foreground window: one of this process's, or of another's.
static const uintptr_t kFrontWindow = 0x4343;
static HWND WINAPI StandInGetForegroundWindow(void)
{
    return (HWND)kFrontWindow;
}

static DWORD WINAPI StandInGetWindowThreadProcessId(HWND window, LPDWORD process)
{
    if (process)
        *process = window == (HWND)kFrontWindow && HostInFront() ? GetCurrentProcessId() : 4;
    return 1;
}

// Replaces the module's import of `name` from `dll` with `replacement`.
static void RedirectImport(HMODULE module, const char *dll, const char *name, void *replacement)
{
    BYTE *base = (BYTE *)module;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (IMAGE_IMPORT_DESCRIPTOR *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir.VirtualAddress); d->Name; ++d) {
        if (_stricmp((const char *)(base + d->Name), dll) != 0 || d->OriginalFirstThunk == 0)
            continue;
        IMAGE_THUNK_DATA *byName = (IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
        for (; byName->u1.AddressOfData; ++byName, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(byName->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *import = (IMAGE_IMPORT_BY_NAME *)(base + byName->u1.AddressOfData);
            if (strcmp((const char *)import->Name, name) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
            slot->u1.Function = (DWORD_PTR)replacement;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
        }
    }
}

bool LoadPlugin(const char *path, LoadedPlugin *out, std::string *error)
{
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) {
        *error = std::string("cannot load ") + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    FARPROC entry = GetProcAddress(module, "DoOperation");
    if (entry == nullptr) {
        FreeLibrary(module);
        *error = std::string(path) + " does not export DoOperation";
        return false;
    }
    RedirectImport(module, "USER32.dll", "MessageBoxA", (void *)&StandInMessageBoxA);
    RedirectImport(module, "USER32.dll", "GetFocus", (void *)&StandInGetFocus);
    RedirectImport(module, "KERNEL32.dll", "Sleep", (void *)&StandInSleep);
    RedirectImport(module, "USER32.dll", "MsgWaitForMultipleObjects", (void *)&StandInMsgWaitForMultipleObjects);
    RedirectImport(module, "KERNEL32.dll", "GetTickCount", (void *)&StandInGetTickCount);
    RedirectImport(module, "KERNEL32.dll", "GetProcAddress", (void *)&StandInGetProcAddress);
    RedirectImport(module, "KERNEL32.dll", "LoadLibraryExA", (void *)&StandInLoadLibraryExA);
    RedirectImport(module, "USER32.dll", "GetAsyncKeyState", (void *)&StandInGetAsyncKeyState);
    RedirectImport(module, "USER32.dll", "GetForegroundWindow", (void *)&StandInGetForegroundWindow);
    RedirectImport(module, "USER32.dll", "GetWindowThreadProcessId", (void *)&StandInGetWindowThreadProcessId);
    out->module = module;
    out->DoOperation = (DoOperationFn)(void *)entry;
    return true;
}

void UnloadPlugin(LoadedPlugin *plugin)
{
    if (plugin->module)
        FreeLibrary((HMODULE)plugin->module);
    plugin->module = nullptr;
    plugin->DoOperation = nullptr;
}

void *CreateHostMenu() { return CreatePopupMenu(); }
void DestroyHostMenu(void *menu) { DestroyMenu((HMENU)menu); }

void AppendHostMenuEntry(void *menu, unsigned identifier, const char *text)
{
    AppendMenuA((HMENU)menu, MF_STRING, identifier, text);
}

std::vector<HostMenuEntry> ReadHostMenu(void *menu)
{
    std::vector<HostMenuEntry> entries;
    int count = GetMenuItemCount((HMENU)menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        MENUITEMINFOA info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof text;
        HostMenuEntry entry;
        if (GetMenuItemInfoA((HMENU)menu, (UINT)i, TRUE, &info)) {
            entry.separator = (info.fType & MFT_SEPARATOR) != 0;
            entry.enabled = (info.fState & (MFS_DISABLED | MFS_GRAYED)) == 0;
            entry.checked = (info.fState & MFS_CHECKED) != 0;
            entry.identifier = info.wID;
            entry.text = text;
        }
        entries.push_back(entry);
    }
    return entries;
}

void SetHostEnvironment(const char *name, const char *value)
{
    SetEnvironmentVariableA(name, value);
    std::string assignment = std::string(name) + "=" + (value ? value : "");
    _putenv(assignment.c_str());
}
