// version_probe FILE: prints FILE's version resource as the Windows version
// API reads it, one NAME=VALUE a line: the fixed file and product versions,
// then the strings of the first translation. Exit status 1 without one.
#include <windows.h>
#include <cstdio>

namespace {

const char *const kStrings[] = {"ProductName", "ProductVersion", "FileVersion", "FileDescription",
                                "LegalCopyright", "CompanyName", "OriginalFilename"};

void PrintVersion(const char *name, DWORD high, DWORD low)
{
    std::printf("%s=%u.%u.%u.%u\n", name, (unsigned)HIWORD(high), (unsigned)LOWORD(high),
                (unsigned)HIWORD(low), (unsigned)LOWORD(low));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: version_probe FILE\n");
        return 2;
    }
    static char data[64 * 1024];
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    if (size == 0 || size > sizeof data || !GetFileVersionInfoA(argv[1], 0, size, data)) {
        std::fprintf(stderr, "%s: no version resource (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data, "\\", (void **)&fixed, &length) || length < sizeof *fixed) {
        std::fprintf(stderr, "%s: no fixed version information\n", argv[1]);
        return 1;
    }
    PrintVersion("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    PrintVersion("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);

    struct Translation {
        WORD language, codePage;
    } *translation = nullptr;
    if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", (void **)&translation, &length) ||
        length < sizeof *translation) {
        std::fprintf(stderr, "%s: no translation\n", argv[1]);
        return 1;
    }
    std::printf("Translation=%04x%04x\n", translation->language, translation->codePage);
    for (const char *name : kStrings) {
        char path[128];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                      translation->codePage, name);
        char *value = nullptr;
        if (VerQueryValueA(data, path, (void **)&value, &length) && length > 0)
            std::printf("%s=%s\n", name, value);
        else
            std::printf("%s is missing\n", name);
    }
    return 0;
}
