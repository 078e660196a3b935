// The stand-in host's session language: one command a line, and the angles
// it takes (radians, or hh:mm:ss for right ascension and ±dd:mm:ss for
// declination).
#ifndef HOST_SCRIPT_H
#define HOST_SCRIPT_H

#include <string>
#include <vector>

enum class CommandKind {
    Init, Menu, Configure, Open, Close, Track, Idle, Indicator,
    Slew, Sync, Popup, Choose, Terminate, Echo,
};

struct Command {
    CommandKind kind = CommandKind::Echo;
    int line = 0;           // 1-based line of the script
    std::string text;       // the line as written
    long number = 0;        // init: API; menu: command (-1 for all eight); choose: identifier; idle: count
    double seconds = 0;     // idle: spread over this long
    double ra = 0, dec = 0; // slew, sync, choose: radians
    std::string name;       // popup, choose: the object's name; echo: the text
};

// Parses one line. Blank lines and comments (#) give true with *isCommand
// false. Otherwise false with a reason when the line is not a command.
bool ParseCommand(const std::string &line, Command *out, bool *isCommand, std::string *error);

// A whole script; false with "line N: reason" at the first bad line.
bool ParseScript(const std::string &text, std::vector<Command> *out, std::string *error);

// "1.5" (radians), "05:43:46.5" (hours) or "-16:42:58" (degrees), with a reason when bad.
bool ParseRightAscension(const std::string &text, double *radians, std::string *error);
bool ParseDeclination(const std::string &text, double *radians, std::string *error);

// The transcript's way of showing angles: "05:43:46.48", "+17:11:20.5".
std::string FormatRightAscension(double radians);
std::string FormatDeclination(double radians);

#endif
