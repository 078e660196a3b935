// The control libraries' clocks, environment and folders.
#include "KitPlatform.h"

#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#endif

uint64_t MonotonicMilliseconds(void)
{
#ifdef _WIN32
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (uint64_t)(count.QuadPart / (frequency.QuadPart / 1000));
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
#endif
}

double UnixSeconds(void)
{
#ifdef _WIN32
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime; // 100 ns since 1601
    return (double)(ticks - 116444736000000000ull) / 1e7;
#else
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
#endif
}

int ReadEnvironment(const char *name, char *buffer, int size)
{
#ifdef _WIN32
    // The process environment block: the Unix environment under Wine too.
    DWORD n = GetEnvironmentVariableA(name, buffer, (DWORD)size);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return 0;
    if (n >= (DWORD)size)
        buffer[0] = '\0'; // too long to hold: read as empty, which is a bad item
    return 1;
#else
    const char *value = getenv(name);
    if (value == NULL)
        return 0;
    strncpy(buffer, value, (size_t)size - 1);
    buffer[size - 1] = '\0';
    return 1;
#endif
}

int LibraryFolder(char *buffer, int size)
{
    char path[1024];
#ifdef _WIN32
    HMODULE self = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)&LibraryFolder, &self))
        return 0;
    DWORD n = GetModuleFileNameA(self, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return 0;
    char *slash = strrchr(path, '\\');
#else
    Dl_info info;
    if (dladdr((void *)&LibraryFolder, &info) == 0 || info.dli_fname == NULL)
        return 0;
    strncpy(path, info.dli_fname, sizeof path - 1);
    path[sizeof path - 1] = '\0';
    char *slash = strrchr(path, '/');
#endif
    size_t length = slash != NULL ? (size_t)(slash - path + 1) : 0;
    if ((int)length >= size)
        return 0;
    memcpy(buffer, path, length);
    buffer[length] = '\0';
    return 1;
}

int ConfigFolder(int allUsers, char *buffer, int size)
{
    char folder[1024] = "";
    const char *under = "";
#ifdef _WIN32
    const char separator = '\\';
    // The shell's own folders, as the installer finds them: their names are
    // translated on Windows XP in other languages ("Anwendungsdaten").
    // SHELL32 is found at run time, so that only a configuration read loads it.
    typedef HRESULT(WINAPI * FolderPathFn)(HWND, int, HANDLE, DWORD, LPSTR);
    int found = 0;
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (shell != NULL) {
        FolderPathFn folderPath = (FolderPathFn)(void *)GetProcAddress(shell, "SHGetFolderPathA");
        found = folderPath != NULL &&
                folderPath(NULL, allUsers ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder) == S_OK;
        FreeLibrary(shell);
    }
    if (!found || folder[0] == '\0') {
        found = allUsers ? ReadEnvironment("PROGRAMDATA", folder, sizeof folder) : ReadEnvironment("APPDATA", folder, sizeof folder);
        if (allUsers && (!found || folder[0] == '\0')) {
            found = ReadEnvironment("ALLUSERSPROFILE", folder, sizeof folder);
            under = "Application Data\\";
        }
    }
#else
    const char separator = '/';
    int found = 1;
    if (allUsers) {
        strcpy(folder, "/etc");
    } else if (!ReadEnvironment("XDG_CONFIG_HOME", folder, sizeof folder) || folder[0] == '\0') {
        found = ReadEnvironment("HOME", folder, sizeof folder);
        under = ".config/";
    }
#endif
    if (!found)
        return 0;
    size_t length = strlen(folder);
    if (length == 0 || length + strlen(under) + 2 > (size_t)size)
        return 0;
    memcpy(buffer, folder, length);
    if (buffer[length - 1] != separator)
        buffer[length++] = separator;
    strcpy(buffer + length, under);
    return 1;
}

