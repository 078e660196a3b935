// A control library's settings: a record that a table of keys describes,
// read from a comma-separated list of key=value in the library's
// environment variable or, without it, from the lines of its settings file
// in the first of three places that has one: this user's settings folder,
// every user's, and the library's own folder.
#ifndef KIT_SETTINGS_H
#define KIT_SETTINGS_H

#include <stddef.h>

enum SettingKind {
    kSettingText,   // a char array of size bytes; value shorter than that, at least minLength long
    kSettingNumber, // a whole decimal number in [low, high], into an int (size 4) or unsigned short (2)
    kSettingWord,   // one of words, into an int
};

struct SettingWord {
    const char *word;
    int value;
};

struct SettingKey {
    const char *name;
    SettingKind kind;
    size_t offset; // of the field in the record
    int size;      // of the field
    int minLength;
    long low, high;
    const SettingWord *words; // ending with a null word
};

// A key's field in the record: its offset and size, as SettingKey takes them.
#define SETTING_FIELD(Record, field) offsetof(Record, field), (int)sizeof(((Record *)0)->field)

// The words of the keys every library has: epoch= (the host's positions:
// 1 J2000, 0 of the date) and unpark= (a go-to to a parked mount: 1 unparks
// it first, 0 is refused).
extern const SettingWord kEpochWords[];
extern const SettingWord kUnparkWords[];

// The largest text a settings file or the variable may hold.
enum { kSettingsTextMax = 4096 };

// Applies the items of text to the record. separator is ',' for the
// variable and '\n' for the file (where blank lines, "#" or ";" comments
// and "[section]" lines are skipped). A UTF-8 byte-order mark, CR LF line
// ends and blanks around keys and values are taken. On a bad item returns 0
// with the key (or the item, for an unknown key) in badKey.
int SettingsParse(const char *text, char separator, const SettingKey *keys, int count, void *record, char *badKey,
                  int badKeySize);

// Reads the variable, else the first settings file called fileName, into
// the record (which holds the defaults). 1 when good; 0 with badKey set
// (a file too long to read is named as "fileName (too long)"). source is
// where they came from: the variable's name, the file's path, or "the
// defaults".
int SettingsRead(const char *variable, const char *fileName, const SettingKey *keys, int count, void *record,
                 char *badKey, int badKeySize, char *source, int sourceSize);

#endif
