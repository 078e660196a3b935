// The ASCOM library's settings: its keys, their defaults, and the server
// addresses taken apart.
#include "AscomConfig.h"

#include "Settings.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>


#define FIELD(name) SETTING_FIELD(AscomConfig, name)
static const SettingKey kAscomSettings[] = {
    {"alpaca", kSettingText, FIELD(alpaca), 1, 0, 0, NULL},
    {"device", kSettingText, FIELD(device), 0, 0, 0, NULL},
    {"timeout", kSettingNumber, FIELD(timeoutMs), 0, 1, kAscomTimeoutMaxMs, NULL},
    {"epoch", kSettingWord, FIELD(epochJ2000), 0, 0, 0, kEpochWords},
    {"unpark", kSettingWord, FIELD(unparkOnGoTo), 0, 0, 0, kUnparkWords},
    {"log", kSettingText, FIELD(log), 0, 0, 0, NULL},
    {"discovery", kSettingText, FIELD(discovery), 1, 0, 0, NULL},
};
#undef FIELD
static const int kAscomSettingsCount = (int)(sizeof kAscomSettings / sizeof kAscomSettings[0]);

void AscomConfigDefaults(AscomConfig *config)
{
    memset(config, 0, sizeof *config);
    config->timeoutMs = kAscomTimeoutDefaultMs;
    config->epochJ2000 = 1;
    config->unparkOnGoTo = 1;
    config->deviceNumber = -1;
}

// A whole decimal number of at most six digits in [low, high].
static int Decimal(const char *text, const char *end, long low, long high, long *value)
{
    if (text == end || end - text > 6)
        return 0;
    long v = 0;
    for (const char *c = text; c < end; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        v = v * 10 + (*c - '0');
    }
    *value = v;
    return v >= low && v <= high;
}

int AscomParseServer(const char *text, char *host, int hostSize, unsigned short *port, int *number)
{
    const char *hostStart = text, *hostEnd, *rest;
    if (*text == '[') {
        hostStart = text + 1;
        hostEnd = strchr(hostStart, ']');
        if (hostEnd == NULL || hostEnd[1] != ':')
            return 0;
        rest = hostEnd + 2;
    } else {
        hostEnd = strchr(text, ':');
        if (hostEnd == NULL || strchr(hostEnd + 1, ':') != NULL)
            return 0; // an IPv6 address goes in brackets
        rest = hostEnd + 1;
    }
    if (hostEnd == hostStart || hostEnd - hostStart >= hostSize)
        return 0;
    const char *slash = strchr(rest, '/');
    const char *portEnd = slash != NULL ? slash : rest + strlen(rest);
    long p = 0, n = -1;
    if (!Decimal(rest, portEnd, 1, 65535, &p))
        return 0;
    if (slash != NULL && !Decimal(slash + 1, slash + 1 + strlen(slash + 1), 0, 99999, &n))
        return 0;
    memcpy(host, hostStart, (size_t)(hostEnd - hostStart));
    host[hostEnd - hostStart] = '\0';
    *port = (unsigned short)p;
    *number = (int)n;
    return 1;
}

// alpaca= and discovery= taken apart; 0 with the key in badKey.
static int TakeServers(AscomConfig *config, char *badKey, int badKeySize)
{
    if (config->alpaca[0] != '\0' &&
        !AscomParseServer(config->alpaca, config->host, sizeof config->host, &config->port, &config->deviceNumber)) {
        snprintf(badKey, (size_t)badKeySize, "alpaca");
        return 0;
    }
    int number = -1;
    if (config->discovery[0] != '\0' &&
        (!AscomParseServer(config->discovery, config->discoveryHost, sizeof config->discoveryHost,
                           &config->discoveryPort, &number) ||
         number >= 0)) {
        snprintf(badKey, (size_t)badKeySize, "discovery");
        return 0;
    }
    return 1;
}

int AscomParseConfig(const char *text, char separator, AscomConfig *config, char *badKey, int badKeySize)
{
    return SettingsParse(text, separator, kAscomSettings, kAscomSettingsCount, config, badKey, badKeySize) &&
           TakeServers(config, badKey, badKeySize);
}

int AscomReadConfig(AscomConfig *config, char *badKey, int badKeySize, char *source, int sourceSize)
{
    return SettingsRead("DRAV_ASCOM", "DRAV-ASCOM.ini", kAscomSettings, kAscomSettingsCount, config, badKey,
                        badKeySize, source, sourceSize) &&
           TakeServers(config, badKey, badKeySize);
}
