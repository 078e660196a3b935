// Loads and releases the INDI DRAV.dll again and again, as a host that
// starts and stops its telescope plug-in does, and reports what the process
// holds meanwhile.
//
//   load_cycles LIBRARY CYCLES
//
// Each cycle loads the library, asks for its version (which starts the
// connection to the server of the environment's configuration) and its
// control status (which waits for it and the mount, as an open does), reads
// the coordinates and releases the library. After cycles 0 (nothing loaded
// yet), 1, 10, 100, ... and the last it prints "cycle N handles H": the
// process's handle count on Windows (from the system's handle table), its open file
// descriptors elsewhere. Then "done", and it waits for its standard input to
// end, so that the caller can look at the server's side of the connections
// while the process still lives. Exit status 1 when a cycle fails to load,
// or its calls do not answer 1.
#include "DravInterface.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#endif

#ifdef _WIN32
typedef HMODULE Module;
static Module Load(const char *path) { return LoadLibraryA(path); }
static void *Find(Module m, const char *name) { return (void *)GetProcAddress(m, name); }
static void Release(Module m) { FreeLibrary(m); }
// The system's table of handles, this process's entries counted: Wine
// answers GetProcessHandleCount with 0, but keeps this table.
struct HandleEntry {
    ULONG process;
    BYTE type, flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
typedef LONG(WINAPI *QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
static long Held(void)
{
    static ULONG table[1 << 20]; // 4 MiB: room for about 260,000 handles
    QuerySystemFn query = (QuerySystemFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    ULONG got = 0;
    if (query != NULL && query(16 /* SystemHandleInformation */, table, sizeof table, &got) == 0) {
        const HandleEntry *entry = (const HandleEntry *)(table + 1);
        long count = 0;
        for (ULONG i = 0; i < table[0]; ++i)
            count += entry[i].process == GetCurrentProcessId();
        return count;
    }
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? (long)count : -1;
}
#else
typedef void *Module;
static Module Load(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *Find(Module m, const char *name) { return dlsym(m, name); }
static void Release(Module m) { dlclose(m); }
static long Held(void)
{
    DIR *folder = opendir("/proc/self/fd");
    if (folder == NULL)
        return -1;
    long count = 0;
    while (readdir(folder) != NULL)
        ++count;
    closedir(folder);
    return count - 3; // ".", ".." and the folder's own descriptor
}
#endif

static int Cycle(const char *path, char *version, int size)
{
    version[0] = '\0';
    Module library = Load(path);
    if (library == NULL)
        return 0;
    TCS_GetVersion_Fn getVersion = (TCS_GetVersion_Fn)Find(library, "TCS_GetVersion");
    TCS_GetControlStatus_Fn getStatus = (TCS_GetControlStatus_Fn)Find(library, "TCS_GetControlStatus");
    TCS_GetCelestialCoords_Fn getCoords = (TCS_GetCelestialCoords_Fn)Find(library, "TCS_GetCelestialCoords");
    DRAV_Coords where = {0, 0};
    unsigned short status = 0;
    int good = getVersion != NULL && getStatus != NULL && getCoords != NULL;
    unsigned short answers[3] = {0, 0, 0};
    if (good) {
        answers[0] = getVersion(version, size);
        answers[1] = getStatus(&status);
        answers[2] = getCoords(&where);
        good = answers[0] == 1 && answers[1] == 1 && answers[2] == 1;
    }
    if (!good)
        snprintf(version + strlen(version), (size_t)size - strlen(version), " (answers %u %u %u, status %u)",
                 answers[0], answers[1], answers[2], status);
    Release(library);
    return good;
}

int main(int argc, char **argv)
{
    if (argc != 3 || atoi(argv[2]) < 1) {
        fprintf(stderr, "usage: load_cycles LIBRARY CYCLES\n");
        return 2;
    }
    const int cycles = atoi(argv[2]);
    int failed = 0;
    char version[200] = "";
    printf("cycle 0 handles %ld\n", Held());
    for (int i = 1, next = 1; i <= cycles; ++i) {
        if (!Cycle(argv[1], version, sizeof version)) {
            printf("cycle %d failed: %s\n", i, version);
            ++failed;
        }
        if (i == next || i == cycles) {
            printf("cycle %d handles %ld\n", i, Held());
            next *= 10;
        }
        fflush(stdout);
    }
    printf("version %s\ndone\n", version);
    fflush(stdout);
    char line[16];
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
    return failed ? 1 : 0;
}
