// Reading the configuration items.
#include "IndiConfig.h"

#include <string.h>

static void Copy(char *to, int size, const char *from, int length)
{
    if (length >= size)
        length = size - 1;
    memcpy(to, from, (size_t)length);
    to[length] = '\0';
}

static int IsWord(const char *text, int length, const char *word)
{
    return (int)strlen(word) == length && strncmp(text, word, (size_t)length) == 0;
}

static void Trim(const char **text, int *length)
{
    while (*length > 0 && (**text == ' ' || **text == '\t' || **text == '\r')) {
        ++*text;
        --*length;
    }
    while (*length > 0 && ((*text)[*length - 1] == ' ' || (*text)[*length - 1] == '\t' || (*text)[*length - 1] == '\r'))
        --*length;
}

// A whole decimal number in [low, high].
static int DecimalInRange(const char *text, int length, long low, long high, long *value)
{
    if (length == 0 || length > 9)
        return 0;
    long v = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        v = v * 10 + (text[i] - '0');
    }
    if (v < low || v > high)
        return 0;
    *value = v;
    return 1;
}

// A key of two words: *flag is 1 for the first, 0 for the second; 0 for
// any other value.
static int TwoWordFlag(const char *text, int length, const char *one, const char *zero, int *flag)
{
    if (IsWord(text, length, one))
        *flag = 1;
    else if (IsWord(text, length, zero))
        *flag = 0;
    else
        return 0;
    return 1;
}

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

static int ApplyItem(const char *key, int keyLength, const char *value, int valueLength, IndiConfig *config)
{
    long number = 0;
    if (IsWord(key, keyLength, "host")) {
        if (valueLength == 0 || valueLength >= kConfigTextMax)
            return 0;
        Copy(config->host, sizeof config->host, value, valueLength);
    } else if (IsWord(key, keyLength, "port")) {
        if (!DecimalInRange(value, valueLength, 1, 65535, &number))
            return 0;
        config->port = (unsigned short)number;
    } else if (IsWord(key, keyLength, "device")) {
        if (valueLength >= (int)sizeof config->device)
            return 0;
        Copy(config->device, sizeof config->device, value, valueLength);
    } else if (IsWord(key, keyLength, "timeout")) {
        if (!DecimalInRange(value, valueLength, 1, kTimeoutMaxMs, &number))
            return 0;
        config->timeoutMs = (int)number;
    } else if (IsWord(key, keyLength, "connect")) {
        return TwoWordFlag(value, valueLength, "auto", "never", &config->connect);
    } else if (IsWord(key, keyLength, "epoch")) {
        return TwoWordFlag(value, valueLength, IsWord(value, valueLength, "J2000") ? "J2000" : "j2000", "date",
                      &config->epochJ2000);
    } else if (IsWord(key, keyLength, "unpark")) {
        return TwoWordFlag(value, valueLength, "goto", "never", &config->unparkOnGoTo);
    } else if (IsWord(key, keyLength, "log")) {
        if (valueLength >= kConfigTextMax)
            return 0;
        Copy(config->log, sizeof config->log, value, valueLength);
    } else {
        return -1;
    }
    return 1;
}

int ParseConfig(const char *text, char separator, IndiConfig *config, char *badKey, int badKeySize)
{
    const char *p = text;
    if (strncmp(p, "\xEF\xBB\xBF", 3) == 0)
        p += 3; // a UTF-8 byte-order mark, as Notepad saves one
    while (*p != '\0') {
        const char *end = strchr(p, separator);
        int length = end != NULL ? (int)(end - p) : (int)strlen(p);
        const char *item = p;
        p = end != NULL ? end + 1 : p + length;
        Trim(&item, &length);
        if (length == 0)
            continue;
        if (separator == '\n' && (item[0] == '#' || item[0] == ';' || item[0] == '['))
            continue;
        const char *equals = (const char *)memchr(item, '=', (size_t)length);
        if (equals == NULL) {
            Copy(badKey, badKeySize, item, length);
            return 0;
        }
        const char *key = item, *value = equals + 1;
        int keyLength = (int)(equals - item), valueLength = length - keyLength - 1;
        Trim(&key, &keyLength);
        Trim(&value, &valueLength);
        int applied = ApplyItem(key, keyLength, value, valueLength, config);
        if (applied != 1) {
            // An unknown key is named with its whole item, a bad value by its key.
            if (applied < 0)
                Copy(badKey, badKeySize, item, length);
            else
                Copy(badKey, badKeySize, key, keyLength);
            return 0;
        }
    }
    return 1;
}
