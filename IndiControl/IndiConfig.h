// The INDI library's configuration: a comma-separated list of key=value
// (the DRAV_INDI environment variable) or the lines of DRAV-INDI.ini.
#ifndef INDI_CONFIG_H
#define INDI_CONFIG_H

enum { kConfigTextMax = 256 };
enum { kTimeoutDefaultMs = 2000, kTimeoutMaxMs = 5000 };

struct IndiConfig {
    char host[kConfigTextMax];
    unsigned short port;
    char device[64];          // empty: the first mount the server shows
    int timeoutMs;            // the longest wait for an answer
    int connect;              // 1: connect the device when it is not; 0: never
    int epochJ2000;           // 1: the caller's positions are J2000; 0: of the date
    int unparkOnGoTo;         // 1: a go-to to a parked mount unparks it first; 0: refused
    char log[kConfigTextMax]; // the trace's path, or empty
};

void ConfigDefaults(IndiConfig *config);

// Applies the items of text to config. separator is ',' for the variable
// and '\n' for the file (where blank lines, "#" or ";" comments and
// "[section]" lines are skipped). A UTF-8 byte-order mark, CR LF line ends
// and blanks around keys and values are taken. On a bad item returns 0 with
// the key (or the item, for an unknown key) in badKey.
int ParseConfig(const char *text, char separator, IndiConfig *config, char *badKey, int badKeySize);

#endif
