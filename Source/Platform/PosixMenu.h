// The menu a POSIX host hands the plug-in where Windows would pass an HMENU:
// a fixed table that the host owns and reads back after the call.
#ifndef POSIX_MENU_H
#define POSIX_MENU_H

enum { kPosixMenuCapacity = 32, kPosixMenuTextSize = 256 };

struct PosixMenuItem {
    unsigned flags;
    unsigned identifier;
    char text[kPosixMenuTextSize];
};

struct PosixMenu {
    int count;
    PosixMenuItem items[kPosixMenuCapacity];
};

#endif
