// The INDI library's settings: its keys and their defaults.
#include "IndiConfig.h"

#include "Settings.h"

#include <stddef.h>
#include <string.h>

static const SettingWord kConnectWords[] = {{"auto", 1}, {"never", 0}, {NULL, 0}};

#define FIELD(name) SETTING_FIELD(IndiConfig, name)
const SettingKey kIndiSettings[] = {
    {"host", kSettingText, FIELD(host), 1, 0, 0, NULL},
    {"port", kSettingNumber, FIELD(port), 0, 1, 65535, NULL},
    {"device", kSettingText, FIELD(device), 0, 0, 0, NULL},
    {"timeout", kSettingNumber, FIELD(timeoutMs), 0, 1, kTimeoutMaxMs, NULL},
    {"connect", kSettingWord, FIELD(connect), 0, 0, 0, kConnectWords},
    {"epoch", kSettingWord, FIELD(epochJ2000), 0, 0, 0, kEpochWords},
    {"unpark", kSettingWord, FIELD(unparkOnGoTo), 0, 0, 0, kUnparkWords},
    {"log", kSettingText, FIELD(log), 0, 0, 0, NULL},
};
#undef FIELD
const int kIndiSettingsCount = (int)(sizeof kIndiSettings / sizeof kIndiSettings[0]);

void ConfigDefaults(IndiConfig *config)
{
    memset(config, 0, sizeof *config);
    strcpy(config->host, "127.0.0.1");
    config->port = 7624;
    config->timeoutMs = kTimeoutDefaultMs;
    config->connect = 1;
    config->epochJ2000 = 1;
    config->unparkOnGoTo = 1;
}

int ParseConfig(const char *text, char separator, IndiConfig *config, char *badKey, int badKeySize)
{
    return SettingsParse(text, separator, kIndiSettings, kIndiSettingsCount, config, badKey, badKeySize);
}
