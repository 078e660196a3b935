// POSIX body of the platform layer, for the native tool build.
//
// A host on this build may provide any of these C functions in its own
// executable (linked with -rdynamic); when present they replace the system's:
//   void     PlugHost_ShowNote(const char *caption, const char *text);
//   uint64_t PlugHost_Milliseconds(void);
//   void     PlugHost_Sleep(unsigned milliseconds);
//   int      PlugHost_UserAskedToStop(void);
// This is the native counterpart of a Windows host patching the plug-in's
// imports, so that tests and the stand-in host see notes and control time.
#include "Platform.h"
#include "PosixMenu.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef void (*ShowNoteHook)(const char *, const char *);
typedef uint64_t (*MillisecondsHook)(void);
typedef void (*SleepHook)(unsigned);
typedef int (*UserStopHook)(void);

static ShowNoteHook hostShowNote;
static MillisecondsHook hostMilliseconds;
static SleepHook hostSleep;
static UserStopHook hostUserStop;

// "c:\A\B.dll" -> "<drive root>/A/B.dll"; the root is TELESCOPE_DRIVE_C or
// ./drive_c. Only drive C exists.
static int MapWindowsPath(const char *windowsPath, char *out, size_t size)
{
    if ((windowsPath[0] != 'c' && windowsPath[0] != 'C') || windowsPath[1] != ':')
        return 0;
    const char *root = getenv("TELESCOPE_DRIVE_C");
    if (root == NULL || root[0] == '\0')
        root = "drive_c";
    int n = snprintf(out, size, "%s%s", root, windowsPath + 2);
    if (n < 0 || (size_t)n >= size)
        return 0;
    for (char *p = out; *p; ++p)
        if (*p == '\\')
            *p = '/';
    return 1;
}

PlatformLibrary PlatformLoadLibrary(const char *windowsPath)
{
    char path[4096];
    if (!MapWindowsPath(windowsPath, path, sizeof path))
        return NULL;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

int PlatformFileExists(const char *windowsPath)
{
    char path[4096];
    struct stat info;
    return MapWindowsPath(windowsPath, path, sizeof path) && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

// As Windows tells a process in its environment; a 32-bit system's folder when unset.
int PlatformCommonFilesFolder(char *out, size_t size)
{
    const char *folder = getenv("CommonProgramFiles");
    if (folder == NULL || folder[0] == '\0')
        folder = "c:\\Program Files\\Common Files";
    size_t n = strlen(folder);
    while (n > 0 && folder[n - 1] == '\\')
        --n;
    if (n == 0 || n >= size)
        return 0;
    memcpy(out, folder, n);
    out[n] = '\0';
    return 1;
}

PlatformSymbol PlatformFindSymbol(PlatformLibrary library, const char *name)
{
    return (PlatformSymbol)dlsym(library, name);
}

void PlatformFreeLibrary(PlatformLibrary library)
{
    dlclose(library);
}

void PlatformShowNote(const char *caption, const char *text)
{
    if (hostShowNote) {
        hostShowNote(caption, text);
        return;
    }
    fprintf(stderr, "[%s]\n%s\n", caption, text);
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        fputs("(press Enter) ", stderr);
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
}

int PlatformAppendMenu(void *menu, unsigned flags, unsigned identifier, const char *text)
{
    PosixMenu *m = (PosixMenu *)menu;
    if (m == NULL || m->count < 0 || m->count >= kPosixMenuCapacity)
        return 0;
    PosixMenuItem *item = &m->items[m->count++];
    item->flags = flags;
    item->identifier = identifier;
    snprintf(item->text, sizeof item->text, "%s", text ? text : "");
    return 1;
}

uint64_t PlatformMilliseconds(void)
{
    if (hostMilliseconds)
        return hostMilliseconds();
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

// No box here: the wait shows nothing and its pauses are sleeps. Only a
// host can say the user wants to stop, having no keyboard of its own.
void PlatformBeginWait(PlatformWait *wait, const char *, const char *)
{
    memset(wait, 0, sizeof *wait);
    if (hostUserStop)
        hostUserStop(); // forgets an earlier request
}

void PlatformShowWaitProgress(PlatformWait *, unsigned, unsigned) {}

int PlatformPauseWait(PlatformWait *, unsigned milliseconds)
{
    if (hostSleep) {
        hostSleep(milliseconds);
        return 1;
    }
    struct timespec t = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    return 1;
}

int PlatformWaitStopAsked(PlatformWait *)
{
    return hostUserStop ? hostUserStop() : 0;
}

void PlatformEndWait(PlatformWait *) {}

// glibc has no text mode: a cookie stream turns each LF into CR LF on its way
// to the file, so the native log holds the same bytes as the Windows one.
static ssize_t WriteCrlf(void *cookie, const char *data, size_t size)
{
    int fd = (int)(intptr_t)cookie;
    char out[8192]; // room for a whole 4 KiB buffer even if every byte is a LF
    size_t used = 0;
    const char *end = data + size;
    while (data < end) {
        const char *lf = (const char *)memchr(data, '\n', (size_t)(end - data));
        size_t run = (size_t)((lf ? lf : end) - data);
        if (used + run + 2 > sizeof out) {
            if (used && write(fd, out, used) != (ssize_t)used)
                return -1;
            used = 0;
            if (run + 2 > sizeof out) { // a run longer than the buffer goes out directly
                if (write(fd, data, run) != (ssize_t)run)
                    return -1;
                data += run;
                run = 0;
            }
        }
        memcpy(out + used, data, run);
        used += run;
        data += run;
        if (lf) {
            out[used++] = '\r';
            out[used++] = '\n';
            ++data;
        }
    }
    if (used && write(fd, out, used) != (ssize_t)used)
        return -1;
    return (ssize_t)size;
}

static int CloseCrlf(void *cookie)
{
    return close((int)(intptr_t)cookie);
}

FILE *PlatformOpenTextLog(const char *name)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return NULL;
    // Exclusive like the Windows open: a second holder is refused, not merged.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        close(fd);
        return NULL;
    }
    cookie_io_functions_t io = {NULL, WriteCrlf, NULL, CloseCrlf};
    FILE *f = fopencookie((void *)(intptr_t)fd, "w", io);
    if (f == NULL)
        close(fd);
    return f;
}

// The library's load and unload play the part of the Windows loader's
// process attach and detach.
__attribute__((constructor)) static void AttachToProcess(void)
{
    hostShowNote = (ShowNoteHook)dlsym(RTLD_DEFAULT, "PlugHost_ShowNote");
    hostMilliseconds = (MillisecondsHook)dlsym(RTLD_DEFAULT, "PlugHost_Milliseconds");
    hostSleep = (SleepHook)dlsym(RTLD_DEFAULT, "PlugHost_Sleep");
    hostUserStop = (UserStopHook)dlsym(RTLD_DEFAULT, "PlugHost_UserAskedToStop");
    Dl_info self;
    void *instance = dladdr((void *)&AttachToProcess, &self) ? self.dli_fbase : NULL;
    DllMain(instance, 1, NULL);
}

__attribute__((destructor)) static void DetachFromProcess(void)
{
    DllMain(NULL, 0, NULL);
}
