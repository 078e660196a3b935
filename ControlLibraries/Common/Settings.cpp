// Reading settings.
#include "Settings.h"

#include "KitPlatform.h"

#include <stdio.h>
#include <string.h>

const SettingWord kEpochWords[] = {{"j2000", 1}, {"J2000", 1}, {"date", 0}, {NULL, 0}};
const SettingWord kUnparkWords[] = {{"goto", 1}, {"never", 0}, {NULL, 0}};

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

// 1 applied, 0 a bad value, -1 an unknown key.
static int ApplyItem(const SettingKey *keys, int count, const char *key, int keyLength, const char *value,
                     int valueLength, void *record)
{
    const SettingKey *k = keys;
    while (k < keys + count && !IsWord(key, keyLength, k->name))
        ++k;
    if (k == keys + count)
        return -1;
    char *field = (char *)record + k->offset;
    long number = 0;
    switch (k->kind) {
    case kSettingText:
        if (valueLength < k->minLength || valueLength >= k->size)
            return 0;
        Copy(field, k->size, value, valueLength);
        return 1;
    case kSettingNumber:
        if (!DecimalInRange(value, valueLength, k->low, k->high, &number))
            return 0;
        if (k->size == (int)sizeof(unsigned short))
            *(unsigned short *)(void *)field = (unsigned short)number;
        else
            *(int *)(void *)field = (int)number;
        return 1;
    case kSettingWord:
        for (const SettingWord *w = k->words; w->word != NULL; ++w)
            if (IsWord(value, valueLength, w->word)) {
                *(int *)(void *)field = w->value;
                return 1;
            }
        return 0;
    }
    return 0;
}

int SettingsParse(const char *text, char separator, const SettingKey *keys, int count, void *record, char *badKey,
                  int badKeySize)
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
        int applied = ApplyItem(keys, count, key, keyLength, value, valueLength, record);
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

static char gSettingsText[kSettingsTextMax];

// The first file called name in this user's, every user's and the
// library's own folder: 1 read into text (its path in path), -1 too long,
// 0 none.
static int ReadSettingsFile(const char *name, char *text, int size, char *path, int pathSize)
{
    char candidate[1100];
    int room = (int)(sizeof candidate - strlen(name) - 1);
    for (int place = 0; place < 3; ++place) {
        int known = place < 2 ? ConfigFolder(place, candidate, room) : LibraryFolder(candidate, room);
        size_t folder = known ? strlen(candidate) : 0;
        if (!known || (int)(folder + strlen(name) + 1) > pathSize)
            continue;
        memcpy(candidate + folder, name, strlen(name) + 1);
        FILE *file = fopen(candidate, "rb");
        if (file == NULL)
            continue;
        strcpy(path, candidate);
        size_t n = fread(text, 1, (size_t)size - 1, file);
        int readAll = fgetc(file) == EOF;
        fclose(file);
        text[n] = '\0';
        return readAll ? 1 : -1;
    }
    return 0;
}

int SettingsRead(const char *variable, const char *fileName, const SettingKey *keys, int count, void *record,
                 char *badKey, int badKeySize, char *source, int sourceSize)
{
    snprintf(source, (size_t)sourceSize, "the defaults");
    if (ReadEnvironment(variable, gSettingsText, sizeof gSettingsText)) {
        snprintf(source, (size_t)sourceSize, "%s", variable);
        return SettingsParse(gSettingsText, ',', keys, count, record, badKey, badKeySize);
    }
    int file = ReadSettingsFile(fileName, gSettingsText, sizeof gSettingsText, source, sourceSize);
    if (file < 0) {
        snprintf(badKey, (size_t)badKeySize, "%s (too long)", fileName);
        return 0;
    }
    return file > 0 ? SettingsParse(gSettingsText, '\n', keys, count, record, badKey, badKeySize) : 1;
}
