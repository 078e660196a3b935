#include "HostScript.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sstream>

static const double kPi = 3.14159265358979323846;

static bool ParseNumber(const std::string &s, double *out)
{
    if (s.empty() || s.find_first_of(" \t") != std::string::npos)
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (*end != '\0' || errno != 0 || !isfinite(v))
        return false;
    *out = v;
    return true;
}

static bool ParseInteger(const std::string &s, long *out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0)
        return false;
    *out = v;
    return true;
}

// "a:b[:c]" with a whole, b whole below 60, c below 60; the sign kept apart.
static bool ParseSexagesimal(std::string s, bool *negative, double *whole, double *minutes, double *seconds)
{
    *negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+'))
        s = s.substr(1);
    std::vector<std::string> parts;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, ':'))
        parts.push_back(part);
    if (s.empty() || s.back() == ':' || parts.size() < 2 || parts.size() > 3)
        return false;
    for (size_t i = 0; i < 2; ++i)
        if (parts[i].empty() || parts[i].find_first_not_of("0123456789") != std::string::npos)
            return false;
    *whole = atof(parts[0].c_str());
    *minutes = atof(parts[1].c_str());
    *seconds = 0;
    if (parts.size() == 3 && (!ParseNumber(parts[2], seconds) || parts[2][0] == '-' || parts[2][0] == '+'))
        return false;
    return *minutes < 60 && *seconds < 60;
}

bool ParseRightAscension(const std::string &text, double *radians, std::string *error)
{
    if (text.find(':') == std::string::npos) {
        if (ParseNumber(text, radians))
            return true;
        return *error = "bad right ascension \"" + text + "\": expected radians or hh:mm:ss", false;
    }
    bool negative;
    double h, m, s;
    if (!ParseSexagesimal(text, &negative, &h, &m, &s) || negative || h >= 24 || text[0] == '+')
        return *error = "bad right ascension \"" + text + "\": expected hh:mm:ss from 00:00:00 to 23:59:59.9", false;
    *radians = (h + m / 60 + s / 3600) * kPi / 12;
    return true;
}

bool ParseDeclination(const std::string &text, double *radians, std::string *error)
{
    if (text.find(':') == std::string::npos) {
        if (ParseNumber(text, radians) && fabs(*radians) <= kPi / 2)
            return true;
        return *error = "bad declination \"" + text + "\": expected radians from -pi/2 to pi/2 or ±dd:mm:ss", false;
    }
    bool negative;
    double d, m, s;
    if (!ParseSexagesimal(text, &negative, &d, &m, &s) || d + m / 60 + s / 3600 > 90)
        return *error = "bad declination \"" + text + "\": expected ±dd:mm:ss from -90:00:00 to +90:00:00", false;
    double degrees = d + m / 60 + s / 3600;
    *radians = (negative ? -degrees : degrees) * kPi / 180;
    return true;
}

std::string FormatRightAscension(double radians)
{
    double hours = fmod(radians * 12 / kPi, 24.0);
    if (hours < 0)
        hours += 24;
    long long cs = llround(hours * 360000.0) % (24LL * 360000); // hundredths of a second
    char text[32];
    snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%02lld", cs / 360000, cs / 6000 % 60, cs / 100 % 60, cs % 100);
    return text;
}

std::string FormatDeclination(double radians)
{
    double degrees = radians * 180 / kPi;
    long long ds = llround(fabs(degrees) * 36000.0); // tenths of an arc second
    char text[32];
    snprintf(text, sizeof text, "%c%02lld:%02lld:%02lld.%lld", degrees < 0 && ds > 0 ? '-' : '+', ds / 36000,
             ds / 600 % 60, ds / 10 % 60, ds % 10);
    return text;
}

// --- Commands ---

static std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    std::stringstream in(line);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

// The words from `first` on, joined by one blank.
static std::string Rest(const std::vector<std::string> &words, size_t first)
{
    std::string rest;
    for (size_t i = first; i < words.size(); ++i)
        rest += (i > first ? " " : "") + words[i];
    return rest;
}

static bool Position(const std::vector<std::string> &w, size_t at, Command *c, std::string *error)
{
    if (w.size() < at + 2)
        return *error = w[0] + " needs RA DEC", false;
    return ParseRightAscension(w[at], &c->ra, error) && ParseDeclination(w[at + 1], &c->dec, error);
}

bool ParseCommand(const std::string &line, Command *c, bool *isCommand, std::string *error)
{
    std::vector<std::string> w = Words(line);
    *isCommand = false;
    if (w.empty() || w[0][0] == '#')
        return true;
    *isCommand = true;
    c->text = Rest(w, 0);
    const std::string &verb = w[0];
    struct Plain { const char *verb; CommandKind kind; };
    static const Plain plain[] = {
        {"configure", CommandKind::Configure}, {"open", CommandKind::Open}, {"close", CommandKind::Close},
        {"track", CommandKind::Track}, {"indicator", CommandKind::Indicator}, {"terminate", CommandKind::Terminate},
    };
    for (const Plain &p : plain) {
        if (verb != p.verb)
            continue;
        if (w.size() > 1)
            return *error = verb + " takes no arguments", false;
        c->kind = p.kind;
        return true;
    }
    if (verb == "init") {
        c->kind = CommandKind::Init;
        c->number = 4;
        if (w.size() > 2 || (w.size() == 2 && !ParseInteger(w[1], &c->number)))
            return *error = "init takes one optional whole number, the host's interface version", false;
    } else if (verb == "menu") {
        c->kind = CommandKind::Menu;
        c->number = -1;
        if (w.size() > 2 || (w.size() == 2 && !ParseInteger(w[1], &c->number)))
            return *error = "menu takes one optional whole number, the host's command (8200 to 8207)", false;
    } else if (verb == "idle") {
        c->kind = CommandKind::Idle;
        c->number = 1;
        if (w.size() > 3 || (w.size() >= 2 && (!ParseInteger(w[1], &c->number) || c->number < 1 || c->number > 100000)) ||
            (w.size() == 3 && (!ParseNumber(w[2], &c->seconds) || c->seconds < 0 || c->seconds > 3600)))
            return *error = "idle takes an optional count (1 or more) and seconds (0 to 3600) to spread the calls over", false;
    } else if (verb == "slew" || verb == "sync") {
        c->kind = verb == "slew" ? CommandKind::Slew : CommandKind::Sync;
        if (w.size() > 3)
            return *error = verb + " takes RA DEC only", false;
        return Position(w, 1, c, error);
    } else if (verb == "popup") {
        c->kind = CommandKind::Popup;
        c->name = Rest(w, 1);
    } else if (verb == "choose") {
        c->kind = CommandKind::Choose;
        if (w.size() < 2 || !ParseInteger(w[1], &c->number))
            return *error = "choose needs the menu command's identifier, then RA DEC [NAME]", false;
        if (!Position(w, 2, c, error))
            return false;
        c->name = Rest(w, 4);
    } else if (verb == "echo") {
        c->kind = CommandKind::Echo;
        c->name = Rest(w, 1);
    } else {
        return *error = "unknown command \"" + verb +
                        "\" (init, menu, configure, open, close, track, idle, indicator, slew, sync, popup, choose, "
                        "terminate, echo)",
               false;
    }
    return true;
}

bool ParseScript(const std::string &text, std::vector<Command> *out, std::string *error)
{
    std::stringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        Command c;
        bool isCommand;
        std::string why;
        if (!ParseCommand(line, &c, &isCommand, &why))
            return *error = "line " + std::to_string(number) + ": " + why, false;
        c.line = number;
        if (isCommand)
            out->push_back(c);
    }
    return true;
}
