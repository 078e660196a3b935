// The INDI library's parts without a server: the reader fed in any piece
// size, what a misbehaving stream leaves in the cache, numbers,
// configuration items, and precession against liberfa (native only).
#include "IndiCache.h"
#include "IndiClient.h"
#include "IndiConfig.h"
#include "Precession.h"

#include <gtest/gtest.h>

#include <math.h>
#include <random>
#include <string>

#ifdef HAVE_ERFA
#include <erfa.h>
#endif

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#endif

namespace {

// A piece of a simulator's stream, as the server sends it.
const char kStream[] =
    "<defSwitchVector device=\"Telescope Simulator\" name=\"CONNECTION\" label=\"Connection\" group=\"Main Control\" "
    "state=\"Idle\" perm=\"rw\" rule=\"OneOfMany\" timeout=\"60\" timestamp=\"2026-12-08T07:00:00\">\n"
    "    <defSwitch name=\"CONNECT\" label=\"Connect\">\nOn\n    </defSwitch>\n"
    "    <defSwitch name=\"DISCONNECT\" label=\"Disconnect\">\nOff\n    </defSwitch>\n</defSwitchVector>\n"
    "<defTextVector device=\"Telescope Simulator\" name=\"DRIVER_INFO\" perm=\"ro\" state=\"Idle\">\n"
    "    <defText name=\"DRIVER_INTERFACE\">\n5\n    </defText>\n</defTextVector>\n"
    "<defNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\" label=\"Eq. Coordinates\" "
    "group=\"Main Control\" state=\"Idle\" perm=\"rw\" timeout=\"60\">\n"
    "    <defNumber name=\"RA\" label=\"RA (hh:mm:ss)\" format=\"%010.6m\" min=\"0\" max=\"24\" step=\"0\">\n"
    "4.4442800684239163189\n    </defNumber>\n"
    "    <defNumber name=\"DEC\" label=\"DEC (dd:mm:ss)\" format=\"%010.6m\" min=\"-90\" max=\"90\" step=\"0\">\n"
    "90\n    </defNumber>\n</defNumberVector>\n"
    "<defNumberVector device=\"Other Mount\" name=\"EQUATORIAL_EOD_COORD\" state=\"Ok\" perm=\"rw\">"
    "<defNumber name=\"RA\">1</defNumber><defNumber name=\"DEC\">2</defNumber></defNumberVector>\n"
    "<?xml version=\"1.0\"?><!-- a comment <with> markup -->\n"
    "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\" state=\"Busy\" timeout=\"60\">\n"
    "    <oneNumber name=\"RA\">\n5:30:00\n    </oneNumber>\n"
    "    <oneNumber name=\"DEC\">\n-12 30 36\n    </oneNumber>\n</setNumberVector>\n"
    "<message device=\"Telescope Simulator\" timestamp=\"x\" message=\"Slewing to RA: 5:30:00 &amp; more\"/>\n";

struct Reading {
    std::string device, message;
    double ra, dec;
    int state, connected, properties;
    unsigned long busy;
};

Reading Read(const IndiCache *c)
{
    IndiCache *cache = const_cast<IndiCache *>(c);
    IndiProperty *p = IndiFind(cache, "EQUATORIAL_EOD_COORD");
    return {cache->device, cache->message, IndiNumber(cache, "EQUATORIAL_EOD_COORD", "RA", -1),
            IndiNumber(cache, "EQUATORIAL_EOD_COORD", "DEC", -1), p ? p->state : -1,
            IndiSwitchOn(cache, "CONNECTION", "CONNECT"), cache->count, p ? p->busyUpdates : 0};
}

IndiCache gCache;

// Whatever the size of the pieces, the stream leaves the same cache.
TEST(IndiReader, PiecesOfAnySizeGiveTheSameCache)
{
    const size_t length = sizeof kStream - 1;
    for (size_t piece : {length, (size_t)1, (size_t)2, (size_t)7, (size_t)100}) {
        IndiCacheReset(&gCache, "");
        for (size_t at = 0; at < length; at += piece)
            IndiCacheFeed(&gCache, kStream + at, at + piece <= length ? piece : length - at);
        Reading r = Read(&gCache);
        SCOPED_TRACE(piece);
        // The device is recognised from its coordinates, after its CONNECTION went by.
        EXPECT_EQ(r.device, "Telescope Simulator");
        EXPECT_EQ(gCache.replayWanted, 1);
        EXPECT_EQ(r.properties, 1);
        EXPECT_DOUBLE_EQ(r.ra, 5.5);
        EXPECT_NEAR(r.dec, -12.51, 1e-12);
        EXPECT_EQ(r.state, kIndiBusy);
        EXPECT_EQ(r.busy, 1u);
        EXPECT_EQ(r.message, "Slewing to RA: 5:30:00 & more");
        EXPECT_EQ(gCache.reader.errors, 0u);
    }
}

// A stream that misbehaves: each case, then a good update, which must land.
TEST(IndiReader, MisbehavingStreamsLeaveTheCacheSound)
{
    const std::string update = "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\" "
                               "state=\"Ok\"><oneNumber name=\"RA\">1.25</oneNumber>"
                               "<oneNumber name=\"DEC\">45</oneNumber></setNumberVector>";
    const std::string huge = "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\">"
                             "<oneNumber name=\"RA\">" + std::string(10 << 20, '1') + "</oneNumber></setNumberVector>";
    const std::string definitions(kStream, std::string(kStream).find("<?xml"));
    const struct {
        const char *name;
        std::string bytes;
        double ra; // RA after the case alone: the earlier value, or what a good part set
    } cases[] = {
        {"truncated vector",
         "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\"><oneNumber name=\"RA\">7",
         4.4442800684239163189},
        {"malformed tags", "<<>><a b=c><setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\" "
                           "state=\"Ok\"><oneNumber name=\"RA\">2</oneNumber></setNumberVector>", 2},
        {"mismatched end", "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\">"
                           "<oneNumber name=\"RA\">3</oneText></setNumberVector>", 4.4442800684239163189},
        {"unknown elements", "<pingRequest uid=\"1\"/><newTelescope><x/></newTelescope>", 4.4442800684239163189},
        {"numbers out of range or not numbers",
         "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\"><oneNumber name=\"RA\">1e999"
         "</oneNumber><oneNumber name=\"DEC\">nan</oneNumber></setNumberVector>", 4.4442800684239163189},
        {"a 10 MB element", huge, 4.4442800684239163189},
        {"a bad entity", "<message device=\"Telescope Simulator\" message=\"&bogus;\"/>", 4.4442800684239163189},
        // A long message is cut, and its vector's values still land; a
        // name cut short deletes nothing (a deletion without one would
        // take the whole device).
        {"a message longer than the reader keeps",
         "<setNumberVector device=\"Telescope Simulator\" name=\"EQUATORIAL_EOD_COORD\" state=\"Ok\" message=\"" +
             std::string(300, 'm') + "\"><oneNumber name=\"RA\">2</oneNumber></setNumberVector>", 2},
        {"a deletion whose name is cut",
         "<delProperty device=\"Telescope Simulator\" name=\"" + std::string(300, 'N') + "\"/>",
         4.4442800684239163189},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        IndiCacheReset(&gCache, "Telescope Simulator"); // the configured device: nothing to replay
        IndiCacheFeed(&gCache, definitions.data(), definitions.size());
        ASSERT_DOUBLE_EQ(Read(&gCache).ra, 4.4442800684239163189);
        IndiCacheFeed(&gCache, c.bytes.data(), c.bytes.size());
        EXPECT_DOUBLE_EQ(Read(&gCache).ra, c.ra);
        IndiCacheFeed(&gCache, "\n", 1);
        IndiCacheFeed(&gCache, update.data(), update.size());
        EXPECT_DOUBLE_EQ(Read(&gCache).ra, 1.25);
        EXPECT_EQ(Read(&gCache).state, kIndiOk);
        EXPECT_EQ(Read(&gCache).properties, 3);
    }
}

TEST(IndiNumbers, DecimalAndSexagesimal)
{
    const struct {
        const char *text;
        int ok;
        double value;
    } cases[] = {
        {"4.4442800684239163189", 1, 4.4442800684239163189}, {"\n 90\n  ", 1, 90}, {"-1.5e-3", 1, -0.0015},
        {"5:30:00", 1, 5.5}, {"-12:30:36", 1, -12.51}, {"-12 30 36", 1, -12.51}, {"5;30", 1, 5.5},
        {"+0:00:36.5", 1, 36.5 / 3600}, {"", 0, 0}, {"abc", 0, 0}, {"1.2.3", 0, 0}, {"1e999", 0, 0},
        {"5:", 0, 0}, {"1 x", 0, 0},
    };
    for (const auto &c : cases) {
        double v = -99;
        EXPECT_EQ(IndiParseNumber(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_NEAR(v, c.value, 1e-12 * fabs(c.value) + 1e-15) << c.text;
        }
    }
}

TEST(IndiConfiguration, ItemsAndTheKeyOfABadOne)
{
    const struct {
        const char *text;
        char separator;
        const char *bad; // NULL: good
        int port, timeout, connect, epochJ2000;
    } cases[] = {
        {"", ',', NULL, 7624, 2000, 1, 1},
        {"host=10.0.0.5,port=7625,device=EQMod Mount,timeout=5000,connect=never,epoch=date,log=t.txt", ',', NULL,
         7625, 5000, 0, 0},
        {"[indi]\n# a comment\n; another\n port = 7000 \r\ntimeout=100\n\n", '\n', NULL, 7000, 100, 1, 1},
        {"\xEF\xBB\xBFport=7001 \t\r\ntimeout=200\r\n", '\n', NULL, 7001, 200, 1, 1}, // saved by Notepad
        {"port=0", ',', "port", 0, 0, 0, 0}, {"port=65536", ',', "port", 0, 0, 0, 0}, {"port=76x", ',', "port", 0, 0, 0, 0},
        {"timeout=5001", ',', "timeout", 0, 0, 0, 0}, {"timeout=", ',', "timeout", 0, 0, 0, 0}, {"connect=always", ',', "connect", 0, 0, 0, 0},
        {"epoch=1950", ',', "epoch", 0, 0, 0, 0}, {"hots=1.2.3.4", ',', "hots=1.2.3.4", 0, 0, 0, 0}, {"port", ',', "port", 0, 0, 0, 0},
        {"host=", ',', "host", 0, 0, 0, 0}, {"unpark=always", ',', "unpark", 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        IndiConfig config;
        ConfigDefaults(&config);
        char bad[64] = "";
        int good = ParseConfig(c.text, c.separator, &config, bad, sizeof bad);
        EXPECT_EQ(good, c.bad == NULL) << c.text;
        if (c.bad != NULL) {
            EXPECT_STREQ(bad, c.bad) << c.text;
            continue;
        }
        EXPECT_EQ(config.port, c.port) << c.text;
        EXPECT_EQ(config.timeoutMs, c.timeout) << c.text;
        EXPECT_EQ(config.connect, c.connect) << c.text;
        EXPECT_EQ(config.epochJ2000, c.epochJ2000) << c.text;
    }
}

// The last date's matrix serves readings within the hour after it (a few
// thousandths of an arc-second off), and a reading later than that, or of
// another date, gets its own: the same place as its date's matrix gives.
TEST(IndiPrecession, MatrixKeptOnlyWithinTheHour)
{
    const double t0 = 0.2693, a = 1.1, d = 0.7, minute = 1.0 / (36525.0 * 1440.0);
    const struct {
        double minutesLater, mostArcsec;
    } cases[] = {{59, 0.01}, {61, 1e-6}, {1440, 1e-6}, {-1440 * 365.25 * 30, 1e-6}};
    for (const auto &c : cases) {
        double ra, dec, m[3][3];
        PrecessFromJ2000(t0, a, d, &ra, &dec);
        const double t = t0 + c.minutesLater * minute;
        PrecessFromJ2000(t, a, d, &ra, &dec);
        PrecessionMatrix(t, m);
        const double v[3] = {cos(d) * cos(a), cos(d) * sin(a), sin(d)};
        const double got[3] = {cos(dec) * cos(ra), cos(dec) * sin(ra), sin(dec)};
        double chord = 0; // between unit vectors: the angle, this close
        for (int i = 0; i < 3; ++i)
            chord += pow(m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2] - got[i], 2);
        EXPECT_LE(sqrt(chord) * 206264.806247, c.mostArcsec) << c.minutesLater << " minutes later";
    }
}

#ifdef HAVE_ERFA
// Within one milliarcsecond of liberfa's IAU 2006 precession-bias from 1900
// to 2100, both ways, over the whole sky: the same formula, so what is left
// is rounding (a term of the polynomials dropped or mistyped shows).
TEST(IndiPrecession, AgreesWithLiberfa)
{
    std::mt19937 random(2006);
    std::uniform_real_distribution<double> year(1900, 2100), ra(0, 2 * M_PI), z(-1, 1);
    double worst = 0;
    for (int i = 0; i < 2000; ++i) {
        double t = (year(random) - 2000) / 100, a = ra(random), d = asin(z(random));
        double rbp[3][3], v[3], w[3];
        eraPmat06(2451545.0, t * 36525, rbp);
        eraS2c(a, d, v);
        eraRxp(rbp, v, w);
        double wantRa, wantDec, gotRa, gotDec, backRa, backDec;
        eraC2s(w, &wantRa, &wantDec);
        PrecessFromJ2000(t, a, d, &gotRa, &gotDec);
        PrecessToJ2000(t, gotRa, gotDec, &backRa, &backDec);
        EXPECT_GE(gotRa, 0);
        EXPECT_LT(gotRa, 2 * M_PI);
        worst = std::max({worst, eraSepp(w, (eraS2c(gotRa, gotDec, v), v)), eraSeps(a, d, backRa, backDec)});
    }
    EXPECT_LT(worst * 206264.806247, 0.001) << worst * 206264.806247 << " arc-seconds";
}
#endif

#ifndef _WIN32
// Loopback ports for the connection cases, on IPv4 or IPv6: one that
// accepts (into its queue), one whose queue is full so that a connect hangs,
// one that refuses. Closed with the record.
struct Port {
    NetAddress address;
    std::vector<int> fds;
    ~Port()
    {
        for (int fd : fds)
            close(fd);
    }
};

enum PortKind { kListening, kQueueFull, kRefusing };

void MakePort(Port *port, int family, PortKind kind)
{
    sockaddr_storage a = {};
    socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    a.ss_family = (sa_family_t)family;
    if (family == AF_INET)
        ((sockaddr_in *)&a)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        ((sockaddr_in6 *)&a)->sin6_addr = in6addr_loopback;
    int listener = socket(family, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, (sockaddr *)&a, length), 0);
    ASSERT_EQ(getsockname(listener, (sockaddr *)&a, &length), 0);
    port->address.family = family;
    port->address.length = (int)length;
    memcpy(port->address.address.bytes, &a, length);
    if (kind == kRefusing) {
        close(listener);
        return;
    }
    ASSERT_EQ(listen(listener, kind == kQueueFull ? 1 : 8), 0);
    port->fds.push_back(listener);
    // Connects that the queue takes complete at once; the first that does
    // not within 0.2 s shows it full.
    for (int i = 0; kind == kQueueFull; ++i) {
        ASSERT_LT(i, 64) << "the listen queue never filled";
        NetSocket s = NetConnectStart(&port->address);
        port->fds.push_back((int)s);
        pollfd p = {(int)s, POLLOUT, 0};
        if (poll(&p, 1, 200) == 0)
            break;
    }
}

// The server's addresses are all tried at once, on the host's idle path
// too, without a lookup and without a call that waits: one that hangs or
// refuses costs nothing while another answers. When none answers, the
// attempt ends after the timeout and the next starts a pause after its end.
TEST(IndiConnection, EveryAddressTriedAtOnceWithoutWaiting)
{
    const struct {
        const char *name;
        PortKind first, second; // the first address IPv6, the second IPv4
        bool connects;
    } cases[] = {
        {"IPv6 refuses", kRefusing, kListening, true},
        {"IPv6 hangs", kQueueFull, kListening, true},
        {"both hang", kQueueFull, kQueueFull, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Port first, second, closedPort;
        MakePort(&first, AF_INET6, c.first);
        MakePort(&second, AF_INET, c.second);
        MakePort(&closedPort, AF_INET, kRefusing);
        // A name, never looked up on this path: were it looked up, it would
        // lead to a port that refuses.
        gIndi = IndiSession();
        ConfigDefaults(&gIndi.config);
        strcpy(gIndi.config.host, "localhost");
        gIndi.config.port = ntohs(((const sockaddr_in *)closedPort.address.address.bytes)->sin_port);
        gIndi.config.timeoutMs = 600;
        IndiCacheReset(&gIndi.cache, "");
        AttemptReset(&gIndi.attempt, gIndi.config.host, gIndi.config.port);
        gIndi.loaded = 1;
        EXPECT_EQ(IndiReady(0), 0);
        EXPECT_EQ(gIndi.link, kLinkNone) << "no addresses yet, and no lookup here: no attempt";

        gIndi.attempt.addresses[0] = first.address;
        gIndi.attempt.addresses[1] = second.address;
        gIndi.attempt.addressCount = 2;
        uint64_t start = MonotonicMilliseconds(), longest = 0, firstAttemptEnd = 0, secondAttemptStart = 0;
        while (!IndiServerOpen() && MonotonicMilliseconds() - start < 2500) {
            uint64_t before = MonotonicMilliseconds();
            IndiReady(0);
            longest = std::max(longest, MonotonicMilliseconds() - before);
            // As seen between the calls: an attempt ended, the next started.
            if (firstAttemptEnd == 0 && gIndi.link == kLinkPaused)
                firstAttemptEnd = MonotonicMilliseconds();
            if (firstAttemptEnd != 0 && secondAttemptStart == 0 && gIndi.link == kLinkAttempting)
                secondAttemptStart = MonotonicMilliseconds();
            usleep(10000);
        }
        EXPECT_LT(longest, 50u) << "an idle call waited";
        EXPECT_EQ(IndiServerOpen(), c.connects ? 1 : 0);
        if (c.connects) {
            EXPECT_LT(MonotonicMilliseconds() - start, 300u) << "the second address was not tried at once";
        } else {
            EXPECT_GE(firstAttemptEnd - start, 600u);
            EXPECT_LT(firstAttemptEnd - start, 800u);
            EXPECT_GE(secondAttemptStart + 15, firstAttemptEnd + kReconnectPauseMs);
            EXPECT_GT(secondAttemptStart, 0u);
        }
        LibraryRelease();
    }
}

// A server that closes after a long burst: the call that reads the burst
// and the close loses the connection, and the next attempt comes a pause
// after that loss, not at once (the pause counted from before the read).
TEST(IndiConnection, TheNextAttemptAPauseAfterALoss)
{
    Port server;
    MakePort(&server, AF_INET, kListening);
    gIndi = IndiSession();
    ConfigDefaults(&gIndi.config);
    IndiCacheReset(&gIndi.cache, "");
    AttemptReset(&gIndi.attempt, gIndi.config.host, gIndi.config.port);
    gIndi.loaded = 1;
    gIndi.attempt.addresses[0] = server.address;
    gIndi.attempt.addressCount = 1;
    for (int i = 0; i < 100 && !IndiServerOpen(); ++i)
        IndiReady(0);
    ASSERT_EQ(IndiServerOpen(), 1);
    int peer = accept(server.fds[0], NULL, NULL);
    ASSERT_GE(peer, 0);
    std::thread burst([peer] {
        std::string text;
        while (text.size() < (1 << 20))
            text += "<setNumberVector device=\"Other\" name=\"N\"><oneNumber name=\"E\">1</oneNumber></setNumberVector>";
        for (int i = 0; i < 8; ++i)
            if (write(peer, text.data(), text.size()) != (ssize_t)text.size())
                break;
        close(peer);
    });
    uint64_t start = MonotonicMilliseconds(), lost = 0;
    while (lost == 0 && MonotonicMilliseconds() - start < 5000) {
        IndiReady(0);
        if (!IndiServerOpen() && lost == 0) {
            lost = MonotonicMilliseconds();
            EXPECT_NE(gIndi.link, kLinkAttempting) << "an attempt started at once after the loss";
        }
    }
    burst.join();
    ASSERT_GT(lost, 0u);
    while (gIndi.link != kLinkAttempting && !IndiServerOpen() && MonotonicMilliseconds() - lost < 3000) {
        IndiReady(0);
        usleep(5000);
    }
    EXPECT_GE(MonotonicMilliseconds() + 15, lost + kReconnectPauseMs);
    LibraryRelease();
}
#endif

} // namespace
