// The INDI control library's figures, each with its floor from the same run:
// a coordinates read from a current cache against one non-blocking receive
// that finds nothing; a go-to reaching the server against a raw loopback
// ping-pong of the same bytes; the polls it takes to see the server's Ok;
// and the reader's throughput on a recorded simulator stream against expat.
// The library is the built DRAV.dll, loaded as the plug-in loads it, talking
// to a server played by this program on loopback.
#include "DravInterface.h"
#include "IndiCache.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <expat.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A connected loopback pair: [0] the client's end, [1] the server's.
bool LoopbackPair(int ends[2])
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(listener, (sockaddr *)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr *)&a, &length) != 0)
        return false;
    ends[0] = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(ends[0], (sockaddr *)&a, sizeof a) != 0)
        return false;
    ends[1] = accept(listener, NULL, NULL);
    close(listener);
    int yes = 1;
    setsockopt(ends[0], IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    setsockopt(ends[1], IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return ends[1] >= 0;
}

#define BENCH_CONNECTION                                                                                   \
    "<defSwitchVector device=\"Bench Mount\" name=\"CONNECTION\" state=\"Ok\" perm=\"rw\">"                  \
    "<defSwitch name=\"CONNECT\">On</defSwitch><defSwitch name=\"DISCONNECT\">Off</defSwitch></defSwitchVector>\n"
const char kConnection[] = BENCH_CONNECTION;
const char kDefinitions[] =
    BENCH_CONNECTION
    "<defNumberVector device=\"Bench Mount\" name=\"EQUATORIAL_EOD_COORD\" state=\"Ok\" perm=\"rw\">"
    "<defNumber name=\"RA\">3</defNumber><defNumber name=\"DEC\">40</defNumber></defNumberVector>\n"
    "<defSwitchVector device=\"Bench Mount\" name=\"ON_COORD_SET\" state=\"Ok\" perm=\"rw\">"
    "<defSwitch name=\"TRACK\">On</defSwitch><defSwitch name=\"SLEW\">Off</defSwitch>"
    "<defSwitch name=\"SYNC\">Off</defSwitch></defSwitchVector>\n";

std::string Update(const char *state, double ra, double dec)
{
    char text[300];
    snprintf(text, sizeof text,
             "<setNumberVector device=\"Bench Mount\" name=\"EQUATORIAL_EOD_COORD\" state=\"%s\">"
             "<oneNumber name=\"RA\">%.6f</oneNumber><oneNumber name=\"DEC\">%.6f</oneNumber></setNumberVector>\n",
             state, ra, dec);
    return text;
}

// Reads from fd until text has come (or two seconds pass); what came.
std::string ReadUntil(int fd, const char *text)
{
    std::string got;
    char buffer[4096];
    double end = Seconds() + 2;
    while (got.find(text) == std::string::npos && Seconds() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, (size_t)n);
        }
    }
    return got;
}

// The library, connected to the server end of this program.
struct Library {
    void *handle = nullptr;
    int server = -1;
    TCS_GetCelestialCoords_Fn coords = nullptr;
    TCS_GoToCelestialCoords_Fn goTo = nullptr;
    TCS_GetGoToProgress_Fn progress = nullptr;
    std::string error;

    Library()
    {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener, (sockaddr *)&a, sizeof a);
        listen(listener, 1);
        getsockname(listener, (sockaddr *)&a, &length);
        char config[64];
        snprintf(config, sizeof config, "port=%d,timeout=2000,device=Bench Mount", ntohs(a.sin_port));
        setenv("DRAV_INDI", config, 1);
        // The server's side of the set-up runs while the library waits for it.
        std::thread serve([&] {
            server = accept(listener, NULL, NULL);
            // Each message leaves when it is sent, as a server writes it:
            // without this the Ok could wait in this end for the
            // acknowledgement of the Busy before it.
            int yes = 1;
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            ReadUntil(server, "getProperties");
            send(server, kDefinitions, sizeof kDefinitions - 1, 0);
        });
        handle = dlopen(INDI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            error = dlerror();
            serve.detach();
            return;
        }
        char version[80];
        ((TCS_GetVersion_Fn)dlsym(handle, "TCS_GetVersion"))(version, sizeof version);
        serve.join();
        close(listener);
        coords = (TCS_GetCelestialCoords_Fn)dlsym(handle, "TCS_GetCelestialCoords");
        goTo = (TCS_GoToCelestialCoords_Fn)dlsym(handle, "TCS_GoToCelestialCoords");
        progress = (TCS_GetGoToProgress_Fn)dlsym(handle, "TCS_GetGoToProgress");
        DRAV_Coords pos;
        if (coords(&pos) != 1)
            error = "the library does not see the bench mount";
    }
};

// The library's own end of the connection: the descriptor whose address is
// the server end's peer.
int ClientEnd(int server)
{
    sockaddr_in peer = {}, local = {};
    socklen_t length = sizeof peer;
    if (getpeername(server, (sockaddr *)&peer, &length) != 0)
        return -1;
    for (int fd = 0; fd < 1024; ++fd) {
        length = sizeof local;
        if (fd != server && getsockname(fd, (sockaddr *)&local, &length) == 0 && local.sin_family == AF_INET &&
            local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr)
            return fd;
    }
    return -1;
}

// The library, freshly heard from. It takes a server quiet for 4 s as one
// to ask, and one that does not answer within 4 s more as lost: between two
// of its figures the other benchmarks may run longer than that. So each
// starts with the CONNECTION definition sent, as a live server answers the
// question, and read by the library before the figure's own calls.
Library &TheLibrary()
{
    static Library library;
    const int client = library.error.empty() ? ClientEnd(library.server) : -1;
    if (client >= 0 && send(library.server, kConnection, sizeof kConnection - 1, 0) > 0) {
        struct pollfd readable = {client, POLLIN, 0};
        poll(&readable, 1, 2000);
        DRAV_Coords pos;
        library.coords(&pos);
        char question[4096];
        while (recv(library.server, question, sizeof question, MSG_DONTWAIT) > 0) {
        }
    }
    return library;
}

void Indi_CoordsRead(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    DRAV_Coords pos;
    for (auto _ : state)
        benchmark::DoNotOptimize(l.coords(&pos));
}
BENCHMARK(Indi_CoordsRead);

void Floor_ReceiveNothing(benchmark::State &state)
{
    int ends[2];
    if (!LoopbackPair(ends))
        return state.SkipWithError("no loopback pair");
    char buffer[16384];
    for (auto _ : state)
        benchmark::DoNotOptimize(recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT));
    close(ends[0]);
    close(ends[1]);
}
BENCHMARK(Floor_ReceiveNothing);

// From the call to the last byte of the request at the server.
void Indi_GoToReachesServer(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    for (auto _ : state) {
        double start = Seconds();
        l.goTo(DRAV_Coords{0.9, 0.6});
        ReadUntil(l.server, "</newNumberVector>");
        state.SetIterationTime(Seconds() - start);
    }
}
BENCHMARK(Indi_GoToReachesServer)->UseManualTime();

// The same bytes to the server and one byte back, on a raw socket pair.
void Floor_PingPong(benchmark::State &state)
{
    int ends[2];
    if (!LoopbackPair(ends))
        return state.SkipWithError("no loopback pair");
    const std::string request = "<newNumberVector device=\"Bench Mount\" name=\"EQUATORIAL_EOD_COORD\">"
                                "<oneNumber name=\"RA\">3.438312001</oneNumber>"
                                "<oneNumber name=\"DEC\">34.484539617</oneNumber></newNumberVector>\n";
    char buffer[4096];
    for (auto _ : state) {
        double start = Seconds();
        send(ends[0], request.data(), request.size(), 0);
        ReadUntil(ends[1], "</newNumberVector>");
        send(ends[1], "k", 1, 0);
        recv(ends[0], buffer, 1, 0);
        state.SetIterationTime(Seconds() - start);
    }
    close(ends[0]);
    close(ends[1]);
}
BENCHMARK(Floor_PingPong)->UseManualTime();

// A go-to shown Busy and then Ok: the polls from the Ok to the arrival
// (one means no extra round trip), and the time of that poll. Every other
// iteration counts from the moment the Ok can be read at the library's end,
// the others from its send, so that a delay of the bytes in the kernel is
// told apart from one of the library.
void Indi_ArrivalPoll(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    const int client = ClientEnd(l.server);
    if (client < 0)
        return state.SkipWithError("the library's end of the connection is not found");
    double polls[2] = {0, 0}, runs[2] = {0, 0}; // [0] from the Ok readable, [1] from its send
    unsigned short percent = 0;
    const std::string busy = Update("Busy", 3.2, 37), ok = Update("Ok", 3.438312, 34.484540),
                      back = Update("Ok", 3, 40);
    // Whether what the server sent can be read at the library's end.
    auto delivered = [client] {
        struct pollfd readable = {client, POLLIN, 0};
        return poll(&readable, 1, 2000) == 1;
    };
    for (auto _ : state) {
        state.PauseTiming();
        l.goTo(DRAV_Coords{0.9, 0.6});
        ReadUntil(l.server, "</newNumberVector>");
        send(l.server, busy.data(), busy.size(), 0);
        delivered();
        l.progress(&percent);
        send(l.server, ok.data(), ok.size(), 0);
        const int fromSend = (int)(runs[0] > runs[1]);
        if (!fromSend && !delivered())
            return state.SkipWithError("the Ok did not reach the library's end");
        state.ResumeTiming();
        double start = Seconds();
        int n = 0;
        do {
            l.progress(&percent);
            ++n;
        } while (percent < 100 && n < 1000);
        state.SetIterationTime(Seconds() - start);
        polls[fromSend] += n;
        runs[fromSend] += 1;
        state.PauseTiming();
        send(l.server, back.data(), back.size(), 0); // the mount back at its start
        delivered();
        DRAV_Coords pos;
        l.coords(&pos);
        state.ResumeTiming();
    }
    state.counters["polls_after_ok"] = runs[0] > 0 ? polls[0] / runs[0] : 0;
    state.counters["polls_after_send"] = runs[1] > 0 ? polls[1] / runs[1] : 0;
}
BENCHMARK(Indi_ArrivalPoll)->UseManualTime()->Iterations(20000);

// --- Parsing the recorded stream ---

std::string RecordedStream()
{
    std::string text;
    FILE *f = fopen(INDI_RECORDED_STREAM, "rb");
    if (f == NULL)
        return text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text.substr(1); // the fuzzer's piece-size byte
}

IndiCache gCache;

void Indi_ParseStream(benchmark::State &state)
{
    std::string stream = RecordedStream();
    if (stream.empty())
        return state.SkipWithError("no recorded stream");
    IndiCacheReset(&gCache, "");
    for (auto _ : state)
        IndiCacheFeed(&gCache, stream.data(), stream.size());
    state.SetBytesProcessed((int64_t)(state.iterations() * stream.size()));
    if (gCache.count < 10 || gCache.reader.errors != 0)
        state.SkipWithError("the stream did not fill the cache");
}
BENCHMARK(Indi_ParseStream);

void XMLCALL CountStart(void *data, const XML_Char *, const XML_Char **) { ++*(long *)data; }
void XMLCALL CountEnd(void *data, const XML_Char *) { ++*(long *)data; }
void XMLCALL CountText(void *data, const XML_Char *, int) { ++*(long *)data; }

// expat over the same bytes (in one root element), with handlers that only count.
void Floor_ExpatParseStream(benchmark::State &state)
{
    std::string stream = RecordedStream();
    if (stream.empty())
        return state.SkipWithError("no recorded stream");
    std::string document = "<r>" + stream + "</r>";
    long events = 0;
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(NULL);
        XML_SetUserData(parser, &events);
        XML_SetElementHandler(parser, CountStart, CountEnd);
        XML_SetCharacterDataHandler(parser, CountText);
        if (XML_Parse(parser, document.data(), (int)document.size(), 1) != XML_STATUS_OK)
            state.SkipWithError("expat rejects the stream");
        XML_ParserFree(parser);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * stream.size()));
    benchmark::DoNotOptimize(events);
}
BENCHMARK(Floor_ExpatParseStream);

} // namespace
