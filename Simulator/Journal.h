// The simulator's journal: one line per call, "NAME(in-args) -> RESULT[ out...]".
#ifndef SIMULATOR_JOURNAL_H
#define SIMULATOR_JOURNAL_H

#include <string>

// printf into a std::string.
std::string Format(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The journal line of one call, LF-terminated; `outs` empty when nothing was written.
std::string JournalLine(const std::string &call, unsigned short result, const std::string &outs);

// Appends the line to the file (opened in binary append mode for this line
// alone, so the file is complete at every moment); nothing when path is empty.
void AppendJournal(const std::string &path, const std::string &line);

#endif
