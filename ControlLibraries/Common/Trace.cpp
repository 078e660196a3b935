// The trace and number text.
#include "Trace.h"

#include "KitPlatform.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

static FILE *gTrace;

void TraceOpen(const char *path)
{
    if (path[0] != '\0')
        gTrace = fopen(path, "a");
}

void TraceClose(void)
{
    if (gTrace != NULL)
        fclose(gTrace);
    gTrace = NULL;
}

void Trace(const char *format, ...)
{
    if (gTrace == NULL)
        return;
    fprintf(gTrace, "%10.3f ", (double)MonotonicMilliseconds() / 1000.0);
    va_list args;
    va_start(args, format);
    vfprintf(gTrace, format, args);
    va_end(args);
    fputc('\n', gTrace);
    fflush(gTrace);
}

void FormatFixed(char *buffer, int size, double value, int decimals)
{
    if (!isfinite(value))
        value = 0;
    double scale = pow(10.0, decimals);
    double scaled = floor(fabs(value) * scale + 0.5);
    if (scaled > 9e15)
        scaled = 9e15;
    unsigned long long whole = (unsigned long long)scaled;
    unsigned long long unit = (unsigned long long)scale;
    char digits[32];
    int n = 0;
    unsigned long long fraction = whole % unit;
    for (int i = 0; i < decimals; ++i, fraction /= 10)
        digits[n++] = (char)('0' + fraction % 10);
    if (decimals > 0)
        digits[n++] = '.';
    unsigned long long integer = whole / unit;
    do {
        digits[n++] = (char)('0' + integer % 10);
        integer /= 10;
    } while (integer > 0);
    if (value < 0 && whole != 0)
        digits[n++] = '-';
    int out = 0;
    while (n > 0 && out < size - 1)
        buffer[out++] = digits[--n];
    buffer[out] = '\0';
}
