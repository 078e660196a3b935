// A control library's trace: one line a call or an event, each headed by
// the monotonic clock in seconds, flushed at once, in the file the
// settings' log= names (none when it names none). And the locale-free
// number text that requests carry.
#ifndef KIT_TRACE_H
#define KIT_TRACE_H

// Opens the trace at path (appended to); an empty path keeps it closed.
void TraceOpen(const char *path);
void TraceClose(void);
void Trace(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Locale-free fixed-point text of value with the given decimals.
void FormatFixed(char *buffer, int size, double value, int decimals);

#endif
