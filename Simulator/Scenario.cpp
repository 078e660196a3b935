// DRAV_SIM_SCENARIO: "key=value,key=value". Every value is checked; one bad
// item rejects the whole scenario, so that a typo never passes for a mount.
#include "MountModel.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

static bool ParseDouble(const std::string &s, double *out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (*end != '\0' || errno != 0 || !isfinite(v))
        return false;
    *out = v;
    return true;
}

static bool ParseUnsigned(const std::string &s, unsigned long max, unsigned long *out)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9)
        return false;
    unsigned long v = strtoul(s.c_str(), nullptr, 10);
    if (v > max)
        return false;
    *out = v;
    return true;
}

static bool ParseCode(const std::string &s, int *out)
{
    unsigned long v;
    if (!ParseUnsigned(s, 65535, &v))
        return false;
    *out = (int)v;
    return true;
}

static bool Split(const std::string &s, char separator, std::string *first, std::string *second)
{
    size_t at = s.find(separator);
    if (at == std::string::npos)
        return false;
    *first = s.substr(0, at);
    *second = s.substr(at + 1);
    return true;
}

static bool ParseEntryName(const std::string &name, Entry *out)
{
    for (int e = 0; e < kEntryCount; ++e)
        if (name == EntryName((Entry)e))
            return *out = (Entry)e, true;
    return false;
}

// One step of a progress script: a percentage, or PERCENT*COUNT for that
// many polls alike (at most 100,000 polls in all).
static bool ParseProgressStep(const std::string &step, std::vector<unsigned short> *out)
{
    std::string percent = step, count = "1";
    Split(step, '*', &percent, &count);
    int p;
    unsigned long n;
    if (!ParseCode(percent, &p) || !ParseUnsigned(count, 100000, &n) || n == 0 ||
        out->size() + n > 100000)
        return false;
    out->insert(out->end(), n, (unsigned short)p);
    return true;
}

// One key=value item; false with the reason.
static bool ParseItem(const std::string &key, const std::string &value, Scenario *sc, std::string *why)
{
    unsigned long u;
    std::string a, b;
    if (key == "provider") {
        if (value == "off") sc->provider = Provider::Off;
        else if (value == "inactive") sc->provider = Provider::Inactive;
        else if (value == "active") sc->provider = Provider::Active;
        else return *why = "expected off, inactive or active", false;
    } else if (key == "align") {
        if (value == "none") sc->align = Alignment::None;
        else if (value == "celestial") sc->align = Alignment::Celestial;
        else if (value == "both") sc->align = Alignment::Both;
        else return *why = "expected none, celestial or both", false;
    } else if (key == "control" || key == "alignment") {
        if (!ParseCode(value, key == "control" ? &sc->controlCode : &sc->alignmentCode))
            return *why = "expected a code from 0 to 65535", false;
    } else if (key == "landmode") {
        if (value != "0" && value != "1")
            return *why = "expected 0 or 1", false;
        sc->landMode = value == "1";
    } else if (key == "points") {
        if (!ParseUnsigned(value, 1000, &u))
            return *why = "expected a count from 0 to 1000", false;
        sc->points = (unsigned)u;
    } else if (key == "rate") {
        if (!ParseDouble(value, &sc->rate) || sc->rate <= 0)
            return *why = "expected degrees per second above 0", false;
    } else if (key == "start") {
        if (!Split(value, '/', &a, &b) || !ParseDouble(a, &sc->start.ra) || !ParseDouble(b, &sc->start.dec))
            return *why = "expected RA/DEC in radians", false;
    } else if (key == "version") {
        sc->version = value;
    } else if (key == "goto") {
        if (!ParseCode(value, &sc->forced[k_TCS_GoToCelestialCoords]))
            return *why = "expected a code from 0 to 65535", false;
    } else if (key == "stall") {
        if (!ParseUnsigned(value, 99, &u))
            return *why = "expected a percentage from 0 to 99", false;
        sc->stallPercent = (int)u;
    } else if (key == "progressfail") {
        if (!Split(value, ':', &a, &b) || !ParseUnsigned(a, 100, &u) || !ParseCode(b, &sc->failCode))
            return *why = "expected PERCENT:CODE", false;
        sc->failPercent = (int)u;
    } else if (key == "progress") {
        sc->scriptedProgress.clear();
        std::string rest = value;
        for (;;) {
            bool more = Split(rest, '/', &a, &b);
            if (!ParseProgressStep(more ? a : rest, &sc->scriptedProgress))
                return *why = "expected percentages A/B/C from 0 to 65535, each optionally *COUNT", false;
            if (!more)
                break;
            rest = b;
        }
    } else if (key == "reenter") {
        Entry e;
        if (!ParseEntryName(value, &e))
            return *why = "no such entry point", false;
        sc->reenterEntry = e;
    } else if (key == "latency") {
        if (!ParseUnsigned(value, 10000, &u))
            return *why = "expected milliseconds from 0 to 10000", false;
        sc->latencyMs = (unsigned)u;
    } else if (key.compare(0, 7, "answer.") == 0) {
        Entry e;
        if (!ParseEntryName(key.substr(7), &e))
            return *why = "no such entry point", false;
        if (!ParseCode(value, &sc->forced[e]))
            return *why = "expected a code from 0 to 65535", false;
    } else {
        return *why = "unknown key", false;
    }
    return true;
}

static std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool ParseScenario(const char *text, Scenario *out, std::string *error)
{
    Scenario sc;
    std::string rest = text ? text : "";
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string item = Trim(rest.substr(0, comma));
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        if (item.empty())
            continue;
        std::string key, value, why;
        if (!Split(item, '=', &key, &value)) {
            *error = "\"" + item + "\": expected key=value";
        } else if (!ParseItem(Trim(key), Trim(value), &sc, &why)) {
            *error = "\"" + item + "\": " + why;
        } else {
            continue;
        }
        *out = Scenario();
        out->provider = Provider::Off;
        return false;
    }
    *out = sc;
    return true;
}
