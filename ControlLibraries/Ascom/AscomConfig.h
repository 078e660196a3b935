// The ASCOM library's settings: a comma-separated list of key=value (the
// DRAV_ASCOM environment variable) or the lines of DRAV-ASCOM.ini, read by
// the kit's settings reader (Settings.h) with these keys. alpaca= and
// discovery= are read as text, then taken apart here.
#ifndef ASCOM_CONFIG_H
#define ASCOM_CONFIG_H

enum { kAscomConfigTextMax = 256, kAscomHostMax = 128 };
enum { kAscomTimeoutDefaultMs = 2000, kAscomTimeoutMaxMs = 5000 };
enum { kAlpacaDiscoveryPort = 32227 };

struct AscomConfig {
    char alpaca[kAscomConfigTextMax];    // HOST:PORT/N as written, or empty: discover
    char device[64];                     // the telescope's DeviceName, or empty: the first
    int timeoutMs;
    int epochJ2000;                      // 1: the host's positions are J2000; 0: of the date
    int unparkOnGoTo;                    // 1: a go-to to a parked mount unparks it first
    char log[kAscomConfigTextMax];       // the trace's path, or empty
    char discovery[kAscomConfigTextMax]; // HOST:PORT the discovery probe goes to, or empty: broadcast

    // Taken from alpaca= and discovery=.
    char host[kAscomHostMax];            // without brackets
    unsigned short port;
    int deviceNumber;                    // -1: ask the server's configureddevices
    char discoveryHost[kAscomHostMax];
    unsigned short discoveryPort;
};

void AscomConfigDefaults(AscomConfig *config);

// Applies the items of text to config, as SettingsParse does, then takes
// alpaca= and discovery= apart; 0 with badKey set on a bad item.
int AscomParseConfig(const char *text, char separator, AscomConfig *config, char *badKey, int badKeySize);

// Reads the variable DRAV_ASCOM, else DRAV-ASCOM.ini, into config (which
// holds the defaults), with where it came from in source.
int AscomReadConfig(AscomConfig *config, char *badKey, int badKeySize, char *source, int sourceSize);

// HOST:PORT or HOST:PORT/N (N from 0; an IPv6 address in brackets) into
// host, port and number (-1 without /N); 0 when it is not one.
int AscomParseServer(const char *text, char *host, int hostSize, unsigned short *port, int *number);

#endif
