// The INDI library's configuration: a comma-separated list of key=value
// (the DRAV_INDI environment variable) or the lines of DRAV-INDI.ini, read
// by the kit's settings reader (Settings.h) with these keys.
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

struct SettingKey;
extern const SettingKey kIndiSettings[];
extern const int kIndiSettingsCount;

void ConfigDefaults(IndiConfig *config);

// Applies the items of text to config, as SettingsParse does.
int ParseConfig(const char *text, char separator, IndiConfig *config, char *badKey, int badKeySize);

#endif
