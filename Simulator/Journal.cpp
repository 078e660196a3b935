#include "Journal.h"

#include <stdarg.h>
#include <stdio.h>

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if ((size_t)n < sizeof buffer)
        return std::string(buffer, n);
    std::string big(n + 1, '\0');
    va_start(args, format);
    vsnprintf(&big[0], big.size(), format, args);
    va_end(args);
    big.resize(n);
    return big;
}

std::string JournalLine(const std::string &call, unsigned short result, const std::string &outs)
{
    return call + " -> " + Format("%u", result) + (outs.empty() ? "" : " " + outs) + "\n";
}

void AppendJournal(const std::string &path, const std::string &line)
{
    if (path.empty())
        return;
    FILE *f = fopen(path.c_str(), "ab");
    if (f == nullptr)
        return;
    fwrite(line.data(), 1, line.size(), f);
    fclose(f);
}
