// The ASCOM mapping over a fake transport: an in-memory mount that answers
// members by name as a driver would, and records the sets and methods it
// was sent.
#include "AscomMapping.h"
#include "Precession.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

namespace {

const double kPi = 3.14159265358979323846;
const double kUnix = 1796774400; // 2026-12-09, 00:00 UTC
const char *const kReadings[] = {"RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier"};

struct Fake {
    bool server = true, connected = false, refuseConnect = false, hasSideOfPier = true;
    int interfaceVersion = 4, connectingFor = 2, connecting = 0;
    int canSlewAsync = 1, canSync = 1, canPark = 1, canUnpark = 1, canSetPark = 1, canSetTracking = 1;
    int system = 2, rates[3] = {0, 2, 1};
    double place[6] = {5, 20, 0, 1, 0, 1}; // the readings, in kReadings' order
    // A member that fails, and how.
    const char *failing = nullptr;
    AscomReach failReach = kAscomReached;
    int failError = 0;
    // Readings that arrive one poll late, as the reply to a request sent before.
    bool lag = false, pending = false;
    unsigned long pendingSerial = 0;
    double pendingPlace[6];
    std::string puts, traces;
    int calls = 0, polls = 0;
    uint64_t now = 1000, trackingBudget = 0;
};

bool Is(const char *a, const char *b) { return strcmp(a, b) == 0; }

int ReadingIndex(const char *member)
{
    for (int i = 0; i < 6; ++i)
        if (Is(member, kReadings[i]))
            return i;
    return -1;
}

void Get(Fake &f, const char *m, AscomReply *r)
{
    const struct { const char *name; int value; } flags[] = {
        {"CanSlewAsync", f.canSlewAsync}, {"CanSync", f.canSync}, {"CanPark", f.canPark},
        {"CanUnpark", f.canUnpark}, {"CanSetPark", f.canSetPark}, {"CanSetTracking", f.canSetTracking},
        {"Connected", f.connected}, {"Slewing", (int)f.place[2]}, {"Tracking", (int)f.place[3]},
        {"AtPark", (int)f.place[4]}};
    r->kind = kAscomBool;
    if (Is(m, "Connecting") && f.connecting > 0 && --f.connecting == 0)
        f.connected = !f.refuseConnect;
    r->number = Is(m, "Connecting") ? f.connecting > 0 : 0;
    for (const auto &flag : flags)
        if (Is(m, flag.name))
            r->number = flag.value;
    if (Is(m, "InterfaceVersion") || Is(m, "EquatorialSystem") || Is(m, "SideOfPier")) {
        r->kind = kAscomInteger;
        r->number = Is(m, "InterfaceVersion") ? f.interfaceVersion : Is(m, "SideOfPier") ? f.place[5] : f.system;
        r->errorNumber = Is(m, "SideOfPier") && !f.hasSideOfPier ? 0x400 : 0;
    } else if (Is(m, "RightAscension") || Is(m, "Declination")) {
        r->kind = kAscomDouble;
        r->number = f.place[ReadingIndex(m)];
    } else if (Is(m, "TrackingRates")) {
        r->kind = kAscomList;
        r->listCount = 3;
        memcpy(r->list, f.rates, sizeof f.rates);
    } else if (Is(m, "Name") || Is(m, "DriverInfo")) {
        r->kind = kAscomText;
        strcpy(r->text, Is(m, "Name") ? "Fake Mount" : "fake\r\ndriver");
    }
}

void Put(Fake &f, const char *m, const AscomParam *p, int n, uint64_t deadline)
{
    char text[64];
    f.puts += f.puts.empty() ? m : std::string(" ") + m;
    for (int i = 0; i < n; ++i) {
        snprintf(text, sizeof text, "%s%s=%.6g%s", i ? "," : "(", p[i].name, p[i].number, i == n - 1 ? ")" : "");
        f.puts += text;
    }
    if (Is(m, "Connect") && (f.connecting = f.connectingFor) == 0)
        f.connected = !f.refuseConnect;
    if (Is(m, "Connected"))
        f.connected = !f.refuseConnect;
    if (Is(m, "Tracking"))
        f.place[3] = 1, f.trackingBudget = deadline - f.now;
    if (Is(m, "Unpark"))
        f.place[4] = 0;
    if (Is(m, "SlewToCoordinatesAsync"))
        f.place[2] = 1;
}

void Call(void *c, AscomVerb verb, const char *m, const AscomParam *p, int n, uint64_t deadline, AscomReply *r)
{
    Fake &f = *(Fake *)c;
    ++f.calls;
    ++f.now;
    const char *unconnected[] = {"Connected", "Connecting", "Connect", "InterfaceVersion", "Name", "DriverInfo"};
    bool allowed = f.connected;
    for (const char *name : unconnected)
        allowed = allowed || Is(m, name);
    r->reach = f.server ? kAscomReached : kAscomNoServer;
    if (f.failing != nullptr && Is(m, f.failing)) {
        r->reach = f.failReach;
        r->errorNumber = f.failError;
    } else if (!allowed) {
        r->errorNumber = 0x407;
    } else if (f.server && Is(m, "SlewToCoordinatesAsync") && f.place[4] != 0) {
        r->errorNumber = 0x408; // as a driver refuses a parked mount's slew
        f.puts += f.puts.empty() ? "refused:" : " refused:";
        f.puts += m;
    } else if (f.server && verb == kAscomGet) {
        Get(f, m, r);
    } else if (f.server) {
        Put(f, m, p, n, deadline);
    }
}

void Store(AscomMount *m, unsigned long serial, const double *place, const Fake &f)
{
    for (int i = 0; i < 6; ++i)
        if (f.failing != nullptr && Is(kReadings[i], f.failing))
            AscomStoreError(&m->state, serial, kReadings[i], f.failError);
        else if (i != 5 || f.hasSideOfPier)
            AscomStoreReading(&m->state, serial, kReadings[i], place[i]);
}

// As DeviceState: every reading in one reply, at once or one poll late.
void Poll(void *c, AscomMount *m)
{
    Fake &f = *(Fake *)c;
    ++f.polls;
    if (!f.server || !f.connected)
        return;
    if (f.pending)
        Store(m, f.pendingSerial, f.pendingPlace, f);
    unsigned long serial = AscomReadingStarted(&m->state);
    f.pending = f.lag;
    f.pendingSerial = serial;
    memcpy(f.pendingPlace, f.place, sizeof f.place);
    if (!f.lag)
        Store(m, serial, f.place, f);
}

uint64_t Clock(void *c) { return ((Fake *)c)->now; }
double Calendar(void *) { return kUnix; }
int Ready(void *c, uint64_t) { return ((Fake *)c)->server; }
int Reachable(void *c) { return ((Fake *)c)->server; }
void PauseUntil(void *c, uint64_t until) { ((Fake *)c)->now = until > ((Fake *)c)->now ? until : ((Fake *)c)->now; }
void Describe(void *, char *text, int size) { snprintf(text, size, "fake server"); }
void TraceLine(void *c, const char *format, va_list args)
{
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    ((Fake *)c)->traces += std::string(line) + "\n";
}

struct Session {
    Fake f;
    AscomTransport t = {&f, Clock, Calendar, Ready, Reachable, Call, Poll, PauseUntil, Describe, TraceLine};
    AscomMount m;
    explicit Session(int epochJ2000 = 1, int unpark = 1)
    {
        AscomOptions o = {2000, epochJ2000, unpark, 0, ""};
        AscomMountInit(&m, &o);
    }
    unsigned short Open()
    {
        unsigned short code = 0;
        AscomGetControlStatus(&m, &t, kAscomMayWait, &code);
        return code;
    }
};

TEST(AscomControlStatus, ConnectsTheDeviceAsItsInterfaceAsks)
{
    const struct {
        const char *name;
        void (*setup)(Fake &);
        unsigned short answer, code;
        const char *puts;
        bool again = false; // opened again after another client disconnected it
    } rows[] = {
        {"no server", [](Fake &f) { f.server = false; }, 3, 3, ""},
        {"device absent", [](Fake &f) { f.failing = "Connected", f.failReach = kAscomHttpFailed; }, 1, 201, ""},
        {"interface 4", [](Fake &) {}, 1, 200, "Connect"},
        {"interface 3", [](Fake &f) { f.interfaceVersion = 3; }, 1, 200, "Connected(Connected=1)"},
        {"interface 4 without Connect", [](Fake &f) { f.failing = "Connect", f.failError = 0x400; }, 1, 200,
         "Connected(Connected=1)"},
        {"refuses", [](Fake &f) { f.refuseConnect = true; }, 1, 201, "Connect"},
        {"still connecting at the timeout", [](Fake &f) { f.connectingFor = 1000; }, 1, 201, "Connect"},
        {"connected already", [](Fake &f) { f.connected = true; }, 1, 200, ""},
        {"disconnected by another client, opened again", [](Fake &) {}, 1, 200, "Connect Connect", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        row.setup(s.f);
        unsigned short code = 0;
        if (row.again)
            s.Open(), s.f.connected = false;
        EXPECT_EQ(row.answer, AscomGetControlStatus(&s.m, &s.t, kAscomMayWait, &code));
        EXPECT_EQ(row.code, code);
        EXPECT_EQ(row.puts, s.f.puts);
        EXPECT_LE(s.f.now, 1000u + 2000u + 20u) << "waited past the timeout";
        unsigned short align = 0;
        AscomGetAlignmentStatus(&s.m, &s.t, kAscomNoWait, &align);
        EXPECT_EQ(code == 200 ? 212 : 3, align);
    }
}

TEST(AscomVersion, NamesTheDriverTheServerOrTheBadSetting)
{
    const struct {
        bool device, bad;
        unsigned short answer;
        const char *text;
    } rows[] = {
        {true, false, 1, "DRAV ASCOM control library 1.0, driver \"Fake Mount\" (fake  driver) on fake server"},
        {false, false, 1, "DRAV ASCOM control library 1.0, no mount on fake server"},
        {true, true, 3, "DRAV ASCOM control library 1.0, bad configuration at \"epoch\""},
    };
    for (const auto &row : rows) {
        Session s;
        s.m.options.configBad = row.bad;
        strcpy(s.m.options.badKey, "epoch");
        if (!row.device)
            s.f.failing = "Name", s.f.failReach = kAscomHttpFailed;
        char text[200];
        EXPECT_EQ(row.answer, AscomGetVersion(&s.m, &s.t, kAscomMayWait, text, sizeof text));
        EXPECT_STREQ(row.text, text);
    }
}

// The device's place, at 5.5 h and 20 degrees in its own frame, as the
// host reads it: each EquatorialSystem names the epoch to precess from.
TEST(AscomCoordinates, TakenFromTheDevicesFrameToTheHosts)
{
    const double date = JulianCenturiesFromUnix(kUnix), b1950 = (2433282.4235 - 2451545.0) / 36525.0, no = 99;
    const struct {
        int system, epochOption;
        double hostEpoch, from, to; // SetEpoch's year; the frames' epochs in centuries (no: not precessed)
    } rows[] = {
        {1, 1, 2000, date, no}, {2, 1, 2000, no, no},   {3, 1, 2000, 0.5, no}, {4, 1, 2000, b1950, no},
        {0, 1, 2000, no, no},   {0, 0, 2026, no, no},   {0, 0, 2000, date, no}, {1, 1, 2026, no, no},
        {2, 1, 2026, no, date}, {3, 1, 2026, 0.5, date},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "system " << row.system << ", option " << row.epochOption << ", host "
                                        << row.hostEpoch);
        Session s(row.epochOption);
        s.f.system = row.system;
        s.f.place[0] = 5.5;
        ASSERT_EQ(200, s.Open());
        AscomSetEpoch(&s.m, &s.t, kAscomNoWait, row.hostEpoch);
        double ra = 5.5 * kPi / 12, dec = 20 * kPi / 180;
        if (row.from != no)
            PrecessToJ2000(row.from, ra, dec, &ra, &dec);
        if (row.to != no)
            PrecessFromJ2000(row.to, ra, dec, &ra, &dec);
        DRAV_Coords pos = {-1, -1};
        EXPECT_EQ(1, AscomGetCelestialCoords(&s.m, &s.t, kAscomNoWait, &pos));
        EXPECT_NEAR(ra, pos.X, 1e-12);
        EXPECT_NEAR(dec, pos.Y, 1e-12);
    }
}

// A go-to to 1 rad, 0.5 rad (J2000) of a J2000 device; a sync to the same.
enum Action { kGoTo, kSync, kPark, kSetPark, kRate3, kRate1, kStop };

TEST(AscomCommands, RulesBeforeTheMountMoves)
{
    const char *slew = "SlewToCoordinatesAsync(RightAscension=3.81972,Declination=28.6479)";
    const struct {
        const char *name;
        void (*setup)(Fake &);
        int unpark;
        Action action;
        unsigned short answer;
        std::string puts;
        void (*afterOpen)(Fake &) = nullptr; // what changed since the open's readings
    } rows[] = {
        {"tracking", [](Fake &) {}, 1, kGoTo, 1, slew},
        {"parked, unpark=goto", [](Fake &f) { f.place[4] = 1; }, 1, kGoTo, 1, std::string("Unpark ") + slew},
        {"parked, unpark=never", [](Fake &f) { f.place[4] = 1; }, 0, kGoTo, 2, ""},
        {"parked since the last reading", [](Fake &) {}, 1, kGoTo, 1,
         std::string("refused:SlewToCoordinatesAsync Unpark ") + slew, [](Fake &f) { f.place[4] = 1; }},
        {"parked, cannot unpark", [](Fake &f) { f.place[4] = 1, f.canUnpark = 0; }, 1, kGoTo, 2, ""},
        {"not tracking", [](Fake &f) { f.place[3] = 0; }, 1, kGoTo, 1, std::string("Tracking(Tracking=1) ") + slew},
        {"not tracking, cannot set it", [](Fake &f) { f.place[3] = 0, f.canSetTracking = 0; }, 1, kGoTo, 1, slew},
        {"no asynchronous slew", [](Fake &f) { f.canSlewAsync = 0; }, 1, kGoTo, 2, ""},
        {"slew refused", [](Fake &f) { f.failing = "SlewToCoordinatesAsync", f.failError = 0x40B; }, 1, kGoTo, 2, ""},
        {"slew not connected", [](Fake &f) { f.failing = "SlewToCoordinatesAsync", f.failError = 0x407; }, 1,
         kGoTo, 3, ""},
        {"sync", [](Fake &) {}, 1, kSync, 1, "SyncToCoordinates(RightAscension=3.81972,Declination=28.6479)"},
        {"sync, not tracking", [](Fake &f) { f.place[3] = 0; }, 1, kSync, 1,
         "Tracking(Tracking=1) SyncToCoordinates(RightAscension=3.81972,Declination=28.6479)"},
        {"cannot sync", [](Fake &f) { f.canSync = 0; }, 1, kSync, 2, ""},
        {"park", [](Fake &) {}, 1, kPark, 1, "Park"},
        {"cannot park", [](Fake &f) { f.canPark = 0; }, 1, kPark, 2, ""},
        {"park while slaved", [](Fake &f) { f.failing = "Park", f.failError = 0x409; }, 1, kPark, 2, ""},
        {"cannot set park", [](Fake &f) { f.canSetPark = 0; }, 1, kSetPark, 2, ""},
        {"the second rate listed", [](Fake &) {}, 1, kRate1, 1, "TrackingRate(TrackingRate=2)"},
        {"a rate not listed", [](Fake &) {}, 1, kRate3, 2, ""},
        {"stop, the driver's own error", [](Fake &f) { f.failing = "AbortSlew", f.failError = 0x5FF; }, 1, kStop, 2,
         ""},
        {"stop, server gone", [](Fake &f) { f.failing = "AbortSlew", f.failReach = kAscomNoServer; }, 1, kStop, 3, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Session s(1, row.unpark);
        row.setup(s.f);
        ASSERT_EQ(200, s.Open());
        if (row.afterOpen != nullptr)
            row.afterOpen(s.f);
        s.f.puts.clear();
        DRAV_Coords target = {1.0, 0.5};
        unsigned short answer = 0;
        switch (row.action) {
        case kGoTo: answer = AscomGoToCelestialCoords(&s.m, &s.t, kAscomMayWait, target); break;
        case kSync: answer = AscomCalibrate(&s.m, &s.t, kAscomMayWait, target); break;
        case kPark: answer = AscomGoToPark(&s.m, &s.t, kAscomMayWait); break;
        case kSetPark: answer = AscomSetParkMark(&s.m, &s.t, kAscomMayWait); break;
        case kRate3: answer = AscomSelectTrackRate(&s.m, &s.t, kAscomMayWait, 3); break;
        case kRate1: answer = AscomSelectTrackRate(&s.m, &s.t, kAscomMayWait, 1); break;
        case kStop: answer = AscomKillMotion(&s.m, &s.t, kAscomMayWait); break;
        }
        EXPECT_EQ(row.answer, answer);
        EXPECT_EQ(row.puts, s.f.puts);
        EXPECT_EQ(row.answer == 1 && row.action == kGoTo, s.m.goTo.active);
        if (row.action == kSync && !s.f.puts.empty() && s.f.puts[0] == 'T') {
            EXPECT_LE(s.f.trackingBudget, 1000u) << "tracking took more than half the call's time";
        }
    }
}

// After a go-to from (5 h, 20 deg) to (6 h, 20 deg), each poll sees the
// mount as a step says; readings come at once or a poll late.
struct Step {
    double ra;
    int slewing;
    const char *failing; // a reading the device refuses, or "server" gone
    int failError;
    unsigned short answer, percent; // percent: 999 for none
    uint64_t laterMs = 0;           // the time since the last step
};

TEST(AscomProgress, ArrivalOnlyOnReadingsAfterTheLaunch)
{
    const struct {
        const char *name;
        bool lag;
        double targetRa;
        Step steps[4];
    } rows[] = {
        {"on the way, then at the target", false, 6, {{5.5, 1, nullptr, 0, 1, 49}, {6, 0, nullptr, 0, 1, 100}}},
        {"stopped short", false, 6, {{5.5, 1, nullptr, 0, 1, 49}, {5.5, 0, nullptr, 0, 3, 999}}},
        {"server gone", false, 6, {{5.5, 1, nullptr, 0, 1, 49}, {5.5, 1, "server", 0, 3, 999}}},
        {"a reading refused", false, 6, {{5.5, 1, "Slewing", 0x500, 3, 999}}},
        {"not connected", false, 6, {{5.5, 1, "Declination", 0x407, 3, 999}}},
        {"seen slewing a poll late", false, 6,
         {{5, 0, nullptr, 0, 1, 0}, {5.5, 1, nullptr, 0, 1, 49}, {6, 0, nullptr, 0, 1, 100}}},
        {"never seen slewing", false, 6, {{5, 0, nullptr, 0, 1, 0}, {5, 0, nullptr, 0, 3, 999, 2000}}},
        {"to where it stands, readings a poll late", true, 5,
         {{5, 1, nullptr, 0, 1, 0}, {5, 0, nullptr, 0, 1, 0}, {5, 0, nullptr, 0, 1, 100}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        ASSERT_EQ(200, s.Open());
        s.f.lag = row.lag;
        unsigned short percent = 999;
        EXPECT_EQ(1, AscomGetGoToProgress(&s.m, &s.t, kAscomNoWait, &percent)); // the poll before the launch
        EXPECT_EQ(100, percent) << "no go-to under way";
        DRAV_Coords target = {row.targetRa * kPi / 12, 20 * kPi / 180};
        ASSERT_EQ(1, AscomGoToCelestialCoords(&s.m, &s.t, kAscomMayWait, target));
        int calls = s.f.calls;
        for (const Step &step : row.steps) {
            if (step.answer == 0)
                break;
            s.f.place[0] = step.ra;
            s.f.place[2] = step.slewing;
            s.f.now += step.laterMs;
            s.f.server = step.failing == nullptr || !Is(step.failing, "server");
            if (s.f.server)
                s.f.failing = step.failing, s.f.failError = step.failError;
            percent = 999;
            EXPECT_EQ(step.answer, AscomGetGoToProgress(&s.m, &s.t, kAscomNoWait, &percent)) << s.f.traces;
            EXPECT_EQ(step.percent, percent);
        }
        EXPECT_EQ(calls, s.f.calls) << "progress sent a request of its own";
        EXPECT_FALSE(s.m.goTo.active);
    }
}

// The idle path polls and answers from the cache: never a request.
enum IdleCall { kCoordinates, kOrientation, kSetting, kRefraction };

TEST(AscomIdle, AnswersFromThePollAlone)
{
    const struct {
        const char *name;
        bool connect, sideOfPier;
        IdleCall call;
        unsigned short answer, a, b;
    } rows[] = {
        {"coordinates, not connected", false, true, kCoordinates, 3, 9, 9},
        {"orientation", true, true, kOrientation, 1, 1, 0},
        {"orientation without SideOfPier", true, false, kOrientation, 2, 9, 9},
        {"setting", true, true, kSetting, 2, 9, 9},
        {"setting, not connected", false, true, kSetting, 3, 9, 9},
        {"refraction", false, true, kRefraction, 1, 9, 9},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Session s;
        s.f.hasSideOfPier = row.sideOfPier;
        if (row.connect) {
            ASSERT_EQ(200, s.Open());
        }
        int calls = s.f.calls, polls = s.f.polls;
        unsigned short answer = 0, a = 9, b = 9;
        DRAV_Coords pos;
        switch (row.call) {
        case kCoordinates: answer = AscomGetCelestialCoords(&s.m, &s.t, kAscomNoWait, &pos); break;
        case kOrientation: answer = AscomGetScopeOrientation(&s.m, &s.t, kAscomNoWait, &a, &b); break;
        case kSetting: answer = AscomGetControlSettingUShort(&s.m, &s.t, kAscomNoWait, 0, &a); break;
        case kRefraction: answer = AscomSetRefractionCorr(&s.m, &s.t, kAscomNoWait, 1); break;
        }
        EXPECT_EQ(row.answer, answer);
        EXPECT_EQ(row.a, a);
        EXPECT_EQ(row.b, b);
        EXPECT_EQ(calls, s.f.calls);
        EXPECT_EQ(polls + 1, s.f.polls);
    }
}

TEST(AscomReplies, ErrorNumbersToOurAnswers)
{
    const struct {
        AscomReach reach;
        int error;
        unsigned short code;
    } rows[] = {
        {kAscomReached, 0, 0},        {kAscomReached, 0x400, 2},    {kAscomReached, 0x401, 2},
        {kAscomReached, 0x402, 2},    {kAscomReached, 0x408, 2},    {kAscomReached, 0x409, 2},
        {kAscomReached, 0x40B, 2},    {kAscomReached, 0x40C, 2},    {kAscomReached, 0x500, 2},
        {kAscomReached, 0xFFF, 2},    {kAscomReached, 0x407, 3},    {kAscomNoServer, 0, 3},
        {kAscomTimedOut, 0, 2},       {kAscomHttpFailed, 0, 2},
    };
    for (const auto &row : rows) {
        AscomReply reply = {};
        reply.reach = row.reach;
        reply.errorNumber = row.error;
        EXPECT_EQ(row.code, AscomReplyCode(&reply)) << row.reach << " 0x" << std::hex << row.error;
    }
}

} // namespace
