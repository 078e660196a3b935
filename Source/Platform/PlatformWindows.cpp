// Windows body of the platform layer: the Win32 calls the plug-in needs.
#include "Platform.h"

#include <windows.h>
#include <shlobj.h>
#include <share.h>
#include <stdio.h>
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

// --- Keeping the plug-in loaded through a wait ---
//
// While the go-to's box dispatches the host's messages, the host may release
// the plug-in (a close handler that terminates and unloads it, say) with our
// code still on the stack below. So a wait takes a reference to the module,
// and DoOperation, the export, is this stub: it calls the plug-in's entry
// and, on the way out of the outermost call when a wait took a reference,
// jumps into ntdll's LdrUnloadDll with the host's return address in place of
// its own. The release then returns straight to the host's call site, after
// our last instruction has run, whether it unloads the plug-in or not; and it
// answers 0, which is DoOperation's answer (FreeLibrary would answer TRUE).
// The stack it finds is the host's cdecl call with the module handle where
// the return address was: its `ret 4` leaves the host's two arguments for the
// host to pop, as after any cdecl call. The outermost call is counted here,
// since nested calls come through the stub too.
extern "C" {
short PluginOperation(unsigned int inOperation, void *ioParams);
unsigned gEntryDepth;       // DoOperation calls under way
HMODULE gHeldModule;        // the wait's reference, given back by the outermost call
void *gModuleRelease;       // LdrUnloadDll
}

__asm__(".text\n"
        ".globl _DoOperation\n"
        "_DoOperation:\n"
        "    incl _gEntryDepth\n"
        "    subl $4, %esp\n" // the entry sees the stack aligned as the host left it
        "    pushl 12(%esp)\n"
        "    pushl 12(%esp)\n"
        "    call _PluginOperation\n"
        "    addl $12, %esp\n"
        "    decl _gEntryDepth\n"
        "    jnz 1f\n"
        "    movl _gHeldModule, %ecx\n"
        "    testl %ecx, %ecx\n"
        "    jnz 2f\n"
        "1:  ret\n"
        "2:  movl $0, _gHeldModule\n"
        "    popl %edx\n"  // the host's return address
        "    pushl %ecx\n" // the handle, where it was
        "    pushl %edx\n" // and below it, LdrUnloadDll's return
        "    jmp *_gModuleRelease\n");

extern "C" IMAGE_DOS_HEADER __ImageBase; // this module, as the linker places it

// Takes the wait's reference, once per outermost call, and only when the
// stub can give it back (called through it, LdrUnloadDll found).
static void HoldModule(void)
{
    if (gHeldModule != NULL || gEntryDepth == 0)
        return;
    if (gModuleRelease == NULL)
        gModuleRelease = (void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrUnloadDll");
    HMODULE self;
    if (gModuleRelease != NULL &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)&__ImageBase, &self))
        gHeldModule = self;
}

// GetAsyncKeyState's low bit says "pressed since the last asking", its top
// bit "down now"; either counts, but only while the host is in front, and
// not while the key is still held from before the wait.
static int EscapeWhileHostInFront(PlatformWait *wait)
{
    SHORT esc = GetAsyncKeyState(VK_ESCAPE);
    if (wait->escapeHeld) {
        wait->escapeHeld = (esc & 0x8000) != 0;
        return 0;
    }
    if ((esc & 0x8001) == 0)
        return 0;
    DWORD owner = 0;
    HWND front = GetForegroundWindow();
    if (front == NULL)
        return 0;
    GetWindowThreadProcessId(front, &owner);
    return owner == GetCurrentProcessId() ? 1 : 0;
}

// --- The go-to wait's progress box ---
//
// A modeless dialog made modal by hand, the way a task-modal MessageBox is:
// every enabled top-level window of the thread disabled while it is up, the
// thread's messages read and dispatched (the box's own keys through
// IsDialogMessage), those windows enabled again before the box goes so that
// its owner takes the activation back.

enum { kBoxWhat = 100, kBoxProgress = 101, kBoxElapsed = 102 };
enum { kStaticAtom = 0x0082, kButtonAtom = 0x0080 };

// An in-memory dialog template (DLGTEMPLATE and its items), written word by
// word into the caller's buffer: no resource, no heap. Windows wants the
// template on a DWORD boundary, and each item on a DWORD boundary from the
// template's start: the buffer is made of DWORDs.
struct BoxTemplate {
    DWORD *start;
    size_t words, capacity; // in WORDs
};

static void PutWord(BoxTemplate *t, unsigned value)
{
    if (t->words < t->capacity)
        ((WORD *)t->start)[t->words++] = (WORD)value;
}

static void PutDword(BoxTemplate *t, DWORD value)
{
    PutWord(t, value & 0xFFFFu);
    PutWord(t, value >> 16);
}

// ASCII text as the template's zero-terminated UTF-16.
static void PutText(BoxTemplate *t, const char *text)
{
    do
        PutWord(t, (unsigned char)*text);
    while (*text++ != '\0');
}

static void PutItem(BoxTemplate *t, DWORD style, int x, int y, int cx, int cy, unsigned id, unsigned atom,
                    const char *text)
{
    if (t->words & 1u)
        PutWord(t, 0); // each item starts on a DWORD
    PutDword(t, style | WS_CHILD | WS_VISIBLE);
    PutDword(t, 0);
    PutWord(t, (unsigned)x);
    PutWord(t, (unsigned)y);
    PutWord(t, (unsigned)cx);
    PutWord(t, (unsigned)cy);
    PutWord(t, id);
    PutWord(t, 0xFFFFu);
    PutWord(t, atom);
    PutText(t, text);
    PutWord(t, 0); // no creation data
}

// The box, in dialog units: the target, the progress, the time elapsed and
// Stop (IDCANCEL, so that Esc and closing the box are a Stop too; not the
// default button, since Enter must not stop the go-to).
static bool WriteBoxTemplate(BoxTemplate *t)
{
    PutDword(t, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER);
    PutDword(t, 0);
    PutWord(t, 4); // items
    PutWord(t, 0);
    PutWord(t, 0);
    PutWord(t, 186);
    PutWord(t, 66);
    PutWord(t, 0);  // no menu
    PutWord(t, 0);  // the dialog class
    PutText(t, ""); // captioned once made
    PutWord(t, 8);
    PutText(t, "MS Shell Dlg");
    PutItem(t, SS_LEFT | SS_NOPREFIX, 7, 7, 172, 8, kBoxWhat, kStaticAtom, "");
    PutItem(t, SS_LEFT | SS_NOPREFIX, 7, 20, 110, 8, kBoxProgress, kStaticAtom, "");
    PutItem(t, SS_LEFT | SS_NOPREFIX, 7, 31, 110, 8, kBoxElapsed, kStaticAtom, "");
    PutItem(t, BS_PUSHBUTTON | WS_TABSTOP, 129, 45, 50, 14, IDCANCEL, kButtonAtom, "Stop");
    return t->words < t->capacity;
}

static INT_PTR CALLBACK WaitBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    PlatformWait *wait = (PlatformWait *)GetWindowLongPtrA(box, DWLP_USER);
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(box, DWLP_USER, lParam);
        return TRUE; // the focus to Stop, for Space
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL || wait == NULL)
            return FALSE;
        wait->stopAsked = 1; // the wait ends the box
        return TRUE;
    case WM_NCDESTROY: // by the wait's end, or with its owner
        if (wait != NULL)
            wait->box = NULL;
        return FALSE;
    default: return FALSE;
    }
}

// The window to own the box: the host's active one, else (the host is not in
// front) the first shown window of this thread. None in a console host.
static BOOL CALLBACK FirstShownWindow(HWND window, LPARAM found)
{
    if (!IsWindowVisible(window))
        return TRUE;
    *(HWND *)found = window;
    return FALSE;
}

static HWND HostWindow(void)
{
    HWND window = GetActiveWindow();
    if (window == NULL)
        EnumThreadWindows(GetCurrentThreadId(), FirstShownWindow, (LPARAM)&window);
    return window;
}

// Disables a window that is enabled, and keeps it to enable again. Past the
// record's bound a window is left as it is: usable during the wait.
static void DisableForTheWait(PlatformWait *wait, HWND window)
{
    if (window == (HWND)wait->box || wait->disabledCount == kPlatformWaitWindows || !IsWindowEnabled(window))
        return;
    EnableWindow(window, FALSE);
    wait->disabled[wait->disabledCount++] = window;
}

static BOOL CALLBACK DisableThreadWindow(HWND window, LPARAM wait)
{
    DisableForTheWait((PlatformWait *)wait, window);
    return TRUE;
}

void PlatformBeginWait(PlatformWait *wait, const char *caption, const char *what)
{
    memset(wait, 0, sizeof *wait);
    wait->shownProgress = wait->shownSeconds = -1;
    // A key pressed before the wait is not meant for it, nor one still held.
    wait->escapeHeld = (GetAsyncKeyState(VK_ESCAPE) & 0x8000) != 0;
    HoldModule();
    HWND owner = HostWindow();
    if (owner == NULL)
        return;
    DWORD words[80];
    BoxTemplate t = {words, 0, 2 * (sizeof words / sizeof words[0])};
    if (!WriteBoxTemplate(&t))
        return;
    HWND focus = GetFocus(); // before the box takes it
    HWND box = CreateDialogIndirectParamA((HINSTANCE)&__ImageBase, (LPCDLGTEMPLATEA)words, owner, WaitBoxProc,
                                          (LPARAM)wait);
    if (box == NULL)
        return; // no desktop to make it on: the wait goes on unseen
    wait->box = box;
    wait->owner = owner;
    wait->focus = focus;
    SetWindowTextA(box, caption);
    SetDlgItemTextA(box, kBoxWhat, what);
    DisableForTheWait(wait, owner); // first, so that the bound never leaves it out
    EnumThreadWindows(GetCurrentThreadId(), DisableThreadWindow, (LPARAM)wait);
    ShowWindow(box, SW_SHOW);
}

void PlatformShowWaitProgress(PlatformWait *wait, unsigned percent, unsigned seconds)
{
    if (wait->box == NULL)
        return;
    char text[64];
    if ((int)percent != wait->shownProgress) {
        wait->shownProgress = (int)percent;
        snprintf(text, sizeof text, "Progress: %u %%", percent);
        SetDlgItemTextA((HWND)wait->box, kBoxProgress, text);
    }
    if ((int)seconds != wait->shownSeconds) {
        wait->shownSeconds = (int)seconds;
        snprintf(text, sizeof text, "Elapsed: %u:%02u", seconds / 60, seconds % 60);
        SetDlgItemTextA((HWND)wait->box, kBoxElapsed, text);
    }
}

// Whether a key message for the box may reach it. Only a press made in the
// box counts: an auto-repeat whose key went down before the box appeared (the
// Enter that confirmed the go-to in the host's dialog, held), and the key's
// release, never reach it; nor does Enter, which would press the focused Stop.
static bool KeyForTheBox(PlatformWait *wait, const MSG *message)
{
    const unsigned key = (unsigned)message->wParam & 0xFFu;
    uint32_t *word = &wait->keysPressed[key >> 5];
    const uint32_t bit = 1u << (key & 31u);
    switch (message->message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (key == VK_RETURN)
            return false;
        if (message->lParam & (1L << 30)) // down already: a repeat
            return (*word & bit) != 0;
        *word |= bit;
        return true;
    case WM_KEYUP:
    case WM_SYSKEYUP:
        if ((*word & bit) == 0)
            return false;
        *word &= ~bit;
        return true;
    default: return true;
    }
}

// Reads and dispatches the thread's messages until `end`; 0 once a WM_QUIT
// is taken (kept, for PlatformEndWait to post again).
static int DispatchUntil(PlatformWait *wait, uint64_t end)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            wait->quitTaken = 1;
            wait->quitCode = (int)message.wParam;
            return 0;
        }
        HWND box = (HWND)wait->box;
        const bool forBox = box != NULL && (message.hwnd == box || IsChild(box, message.hwnd));
        const bool dropped = forBox && message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST &&
                             !KeyForTheBox(wait, &message);
        if (!dropped && (!forBox || !IsDialogMessageA(box, &message))) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (PlatformMilliseconds() >= end)
            break; // a host that keeps posting must not hold the polls back
    }
    return 1;
}

int PlatformPauseWait(PlatformWait *wait, unsigned milliseconds)
{
    if (wait->quitTaken)
        return 0;
    if (wait->owner == NULL) {
        Sleep(milliseconds);
        return 1;
    }
    const uint64_t end = PlatformMilliseconds() + milliseconds;
    for (;;) {
        if (!DispatchUntil(wait, end))
            return 0;
        const uint64_t now = PlatformMilliseconds();
        if (now >= end)
            return 1;
        MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)(end - now), QS_ALLINPUT);
    }
}

int PlatformWaitStopAsked(PlatformWait *wait)
{
    const int key = EscapeWhileHostInFront(wait); // asked every time: it forgets the press
    const int box = wait->stopAsked;
    wait->stopAsked = 0;
    return key || box;
}

void PlatformEndWait(PlatformWait *wait)
{
    if (wait->owner != NULL) {
        // Each window as it was found; one destroyed meanwhile is skipped.
        for (unsigned i = 0; i < wait->disabledCount; ++i)
            if (IsWindow((HWND)wait->disabled[i]))
                EnableWindow((HWND)wait->disabled[i], TRUE);
        if (wait->box != NULL)
            DestroyWindow((HWND)wait->box);
        if (wait->focus != NULL && IsWindow((HWND)wait->focus))
            SetFocus((HWND)wait->focus);
    }
    if (wait->quitTaken)
        PostQuitMessage(wait->quitCode);
}

FILE *PlatformOpenTextLog(const char *name)
{
    // Text mode gives CR LF on disk; _SH_DENYRW keeps other openers out.
    return _fsopen(name, "wt", _SH_DENYRW);
}
