// The ASCOM library's figures, each with its floor from the same run: a
// coordinates read from a current cache against one non-blocking receive
// that finds nothing; a go-to reaching the server against a raw HTTP PUT
// round trip of the same bytes; the progress polls it takes to see the end
// of a slew; and discovery on loopback, from the version call to the
// device known. The library is the built DRAV.dll, loaded as the plug-in
// loads it, talking to an Alpaca server that this program plays on
// loopback: a thread answering canned HTTP/1.1 keep-alive replies, with a
// discovery responder beside it.
#include "BenchSession.h"
#include "DravInterface.h"

#include <benchmark/benchmark.h>
#include <atomic>
#include <dlfcn.h>
#include <errno.h>
#include <filesystem>
#include <mutex>
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
#include <vector>

namespace {

double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Whether fd has something to read within waitMs.
bool Readable(int fd, int waitMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, waitMs) == 1;
}

sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A socket of the given type bound to a free loopback port; its port in *port.
int BoundSocket(int type, unsigned short *port)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int ConnectTo(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (fd < 0 || connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

// The value of parameter name in a query or form body, as written.
std::string Param(const std::string &text, const char *name)
{
    const std::string key = std::string(name) + "=";
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('&', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, key.size(), key) == 0)
            return text.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return "";
}

// --- The server ---

// Where DeviceState shows the mount.
enum Pose { kAtRest, kSlewing, kArrived };

struct Request {
    std::string bytes, method, path, params; // params: the query of a GET, the body of a PUT
};

// One request from the front of in once it is whole: the head, and the
// body by its Content-Length.
bool TakeRequest(std::string *in, Request *r)
{
    const size_t head = in->find("\r\n\r\n");
    if (head == std::string::npos)
        return false;
    size_t length = 0;
    const size_t field = in->find("\r\nContent-Length: ");
    if (field != std::string::npos && field < head)
        length = strtoul(in->c_str() + field + 18, NULL, 10);
    if (in->size() < head + 4 + length)
        return false;
    r->bytes = in->substr(0, head + 4 + length);
    in->erase(0, r->bytes.size());
    const size_t space = r->bytes.find(' '), target = space + 1, end = r->bytes.find(' ', target);
    r->method = r->bytes.substr(0, space);
    std::string path = r->bytes.substr(target, end - target);
    const size_t query = path.find('?');
    r->path = path.substr(0, query);
    r->params = r->method == "PUT" ? r->bytes.substr(head + 4) : query == std::string::npos ? "" : path.substr(query + 1);
    return true;
}

struct Arrival {
    std::string path;
    double at; // when its last byte was read
};

struct Server {
    int listener = -1, udp = -1, wake[2] = {-1, -1};
    unsigned short port = 0, discoveryPort = 0;
    std::thread thread;
    std::atomic<int> pose{kAtRest};
    std::atomic<long> deviceStates{0}; // DeviceState replies sent
    std::atomic<bool> holding{false};  // DeviceState requests are held unanswered
    std::atomic<int> held{0};          // how many are
    long serverTransaction = 0;        // the serving thread's own

    std::mutex lock; // guards what follows
    bool recording = false;
    std::vector<Arrival> arrivals; // while recording
    std::string lastPut;           // the bytes of the last SlewToCoordinatesAsync
    std::string targetRa = "0", targetDec = "0"; // its target, as written

    bool Start();
    void Stop();
    // Answers the requests held, and returns once the server has (within a
    // second): the next run of a benchmark that holds them must not find
    // this run's count.
    void Release()
    {
        holding = false;
        if (write(wake[1], "r", 1) != 1)
            perror("write");
        const double end = Seconds() + 1;
        while (held != 0 && Seconds() < end)
            usleep(1000);
    }
    ~Server() { Stop(); }

    void Record()
    {
        std::lock_guard<std::mutex> hold(lock);
        recording = true;
        arrivals.clear();
    }
    std::vector<Arrival> Recorded()
    {
        std::lock_guard<std::mutex> hold(lock);
        recording = false;
        return arrivals;
    }
    std::string LastPut()
    {
        std::lock_guard<std::mutex> hold(lock);
        return lastPut;
    }
};

std::string DeviceState(Server *s)
{
    std::string ra = "3", dec = "40", slewing = "false";
    if (s->pose == kSlewing) {
        ra = "3.2", dec = "37", slewing = "true";
    } else if (s->pose == kArrived) {
        std::lock_guard<std::mutex> hold(s->lock);
        ra = s->targetRa, dec = s->targetDec;
    }
    return "[{\"Name\":\"RightAscension\",\"Value\":" + ra + "},{\"Name\":\"Declination\",\"Value\":" + dec +
           "},{\"Name\":\"Slewing\",\"Value\":" + slewing +
           "},{\"Name\":\"Tracking\",\"Value\":true},{\"Name\":\"AtPark\",\"Value\":false},"
           "{\"Name\":\"SideOfPier\",\"Value\":0},{\"Name\":\"UTCDate\",\"Value\":\"2026-12-09T06:00:00.0000000Z\"},"
           "{\"Name\":\"TimeStamp\",\"Value\":\"2026-12-09T06:00:00.0000000Z\"}]";
}

// A tracking mount at rest, not parked, that slews asynchronously, syncs
// and parks, on interface 4, giving its place of the date.
const char *const kCanned[][2] = {
    {"connected", "true"},     {"connecting", "false"},    {"interfaceversion", "4"},
    {"equatorialsystem", "1"}, {"canslewasync", "true"},   {"cansync", "true"},
    {"canpark", "true"},       {"canunpark", "true"},      {"cansetpark", "true"},
    {"cansettracking", "true"}, {"trackingrates", "[0,1,2,3]"}, {"name", "\"Bench Mount\""},
    {"driverinfo", "\"The benchmark's canned replies\""}, {"rightascension", "3"}, {"declination", "40"},
    {"slewing", "false"},      {"tracking", "true"},       {"atpark", "false"},
    {"sideofpier", "0"},
};

// The Value of a GET, or empty for a member this mount does not have.
std::string CannedValue(Server *s, const std::string &path, const std::string &member)
{
    if (path == "/management/v1/configureddevices")
        return "[{\"DeviceName\":\"Bench Mount\",\"DeviceType\":\"Telescope\",\"DeviceNumber\":0,"
               "\"UniqueID\":\"5c1e0a3b-7d2f-4e11-9a6c-000000000000\"}]";
    if (member == "devicestate")
        return DeviceState(s);
    for (const auto &canned : kCanned)
        if (member == canned[0])
            return canned[1];
    return "";
}

void Answer(Server *s, int fd, const Request &r, double at)
{
    const std::string member = r.path.substr(r.path.rfind('/') + 1);
    std::string value, transaction = Param(r.params, "ClientTransactionID");
    int error = 0;
    if (r.method == "GET") {
        value = CannedValue(s, r.path, member);
        error = value.empty() ? 0x400 : 0;
        if (member == "devicestate")
            ++s->deviceStates;
    } else if (member == "slewtocoordinatesasync") {
        std::lock_guard<std::mutex> hold(s->lock);
        s->lastPut = r.bytes;
        s->targetRa = Param(r.params, "RightAscension");
        s->targetDec = Param(r.params, "Declination");
    }
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (s->recording)
            s->arrivals.push_back({r.path, at});
    }
    char tail[160];
    snprintf(tail, sizeof tail, "\"ClientTransactionID\":%s,\"ServerTransactionID\":%ld,\"ErrorNumber\":%d,"
             "\"ErrorMessage\":\"%s\"}", transaction.empty() ? "0" : transaction.c_str(), ++s->serverTransaction,
             error, error ? "Not implemented" : "");
    const std::string body = (value.empty() ? "{" : "{\"Value\":" + value + ",") + tail;
    char head[128];
    snprintf(head, sizeof head, "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
             "Content-Length: %zu\r\n\r\n", body.size());
    const std::string reply = head + body;
    send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

struct Connection {
    int fd;
    std::string in;
};

void Serve(Server *s)
{
    std::vector<Connection> connections;
    std::vector<std::pair<int, Request>> held;
    for (;;) {
        std::vector<pollfd> fds = {{s->wake[0], POLLIN, 0}, {s->listener, POLLIN, 0}, {s->udp, POLLIN, 0}};
        for (const Connection &c : connections)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0) {
            char command = 'x';
            if (read(s->wake[0], &command, 1) != 1 || command == 'x')
                break;
            for (const auto &h : held)
                for (const Connection &c : connections)
                    if (c.fd == h.first)
                        Answer(s, c.fd, h.second, Seconds());
            held.clear();
            s->held = 0;
        }
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection &c = connections[i];
            if (fds[3 + i].revents == 0)
                continue;
            char buffer[16384];
            ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            const double at = Seconds();
            if (n <= 0) {
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buffer, (size_t)n);
            Request r;
            while (TakeRequest(&c.in, &r)) {
                if (s->holding && r.path.find("/devicestate") != std::string::npos) {
                    held.push_back({c.fd, r});
                    ++s->held;
                } else {
                    Answer(s, c.fd, r, at);
                }
            }
        }
        for (size_t i = connections.size(); i-- > 0;)
            if (connections[i].fd < 0)
                connections.erase(connections.begin() + (long)i);
        if (fds[1].revents & POLLIN) {
            int fd = accept(s->listener, NULL, NULL);
            int yes = 1;
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                connections.push_back({fd, ""});
            }
        }
        if (fds[2].revents & POLLIN) {
            char probe[64];
            sockaddr_in from = {};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(s->udp, probe, sizeof probe, 0, (sockaddr *)&from, &length);
            if (n == 16 && memcmp(probe, "alpacadiscovery1", 16) == 0) {
                char answer[40];
                int size = snprintf(answer, sizeof answer, "{\"AlpacaPort\": %u}", s->port);
                sendto(s->udp, answer, (size_t)size, 0, (sockaddr *)&from, length);
            }
        }
    }
    for (const Connection &c : connections)
        close(c.fd);
}

bool Server::Start()
{
    listener = BoundSocket(SOCK_STREAM, &port);
    udp = BoundSocket(SOCK_DGRAM, &discoveryPort);
    if (listener < 0 || udp < 0 || listen(listener, 8) != 0 || pipe(wake) != 0)
        return false;
    thread = std::thread(Serve, this);
    return true;
}

void Server::Stop()
{
    if (thread.joinable()) {
        if (write(wake[1], "x", 1) != 1)
            thread.detach();
        else
            thread.join();
    }
    for (int fd : {listener, udp, wake[0], wake[1]})
        if (fd >= 0)
            close(fd);
    listener = udp = wake[0] = wake[1] = -1;
}

// --- The library ---

struct Entries {
    TCS_GetVersion_Fn version = nullptr;
    TCS_GetControlStatus_Fn status = nullptr;
    TCS_GetCelestialCoords_Fn coords = nullptr;
    TCS_GoToCelestialCoords_Fn goTo = nullptr;
    TCS_GetGoToProgress_Fn progress = nullptr;

    bool Find(void *handle)
    {
        version = (TCS_GetVersion_Fn)dlsym(handle, "TCS_GetVersion");
        status = (TCS_GetControlStatus_Fn)dlsym(handle, "TCS_GetControlStatus");
        coords = (TCS_GetCelestialCoords_Fn)dlsym(handle, "TCS_GetCelestialCoords");
        goTo = (TCS_GoToCelestialCoords_Fn)dlsym(handle, "TCS_GoToCelestialCoords");
        progress = (TCS_GetGoToProgress_Fn)dlsym(handle, "TCS_GetGoToProgress");
        return version && status && coords && goTo && progress;
    }
};

// The library's own end of a connection to port: the descriptor whose peer it is.
int EndConnectedTo(unsigned short port)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer = {};
        socklen_t length = sizeof peer;
        if (getpeername(fd, (sockaddr *)&peer, &length) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == port)
            return fd;
    }
    return -1;
}

// The library named by alpaca= to the server, opened as the plug-in opens it.
struct Library {
    Server server;
    void *handle = nullptr;
    Entries e;
    int client = -1; // the library's end of its connection
    std::string error;

    Library()
    {
        if (!server.Start()) {
            error = "no loopback server";
            return;
        }
        char config[96];
        snprintf(config, sizeof config, "alpaca=127.0.0.1:%u/0,timeout=2000", server.port);
        setenv("DRAV_ASCOM", config, 1);
        handle = dlopen(ASCOM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr || !e.Find(handle)) {
            error = handle == nullptr ? dlerror() : "the library lacks an entry point";
            return;
        }
        char version[256];
        unsigned short code = 0;
        DRAV_Coords pos;
        e.version(version, sizeof version);
        if (e.status(&code) != kTcsDone || code != kTcsActive || e.coords(&pos) != kTcsDone)
            error = "the library does not open the bench mount";
        client = EndConnectedTo(server.port);
        if (error.empty() && client < 0)
            error = "the library's end of the connection is not found";
    }
};

Library &TheLibrary()
{
    static Library library;
    return library;
}

#ifndef INDI_LIBRARY
// The INDI library's figures bring this floor; without them, it is here.
void Floor_ReceiveNothing(benchmark::State &state)
{
    unsigned short port = 0;
    int listener = BoundSocket(SOCK_STREAM, &port);
    int client = listener >= 0 && listen(listener, 1) == 0 ? ConnectTo(port) : -1;
    int server = client >= 0 ? accept(listener, NULL, NULL) : -1;
    if (server < 0)
        return state.SkipWithError("no loopback pair");
    char buffer[16384];
    for (auto _ : state)
        benchmark::DoNotOptimize(recv(client, buffer, sizeof buffer, MSG_DONTWAIT));
    close(client);
    close(server);
    close(listener);
}
BENCHMARK(Floor_ReceiveNothing);
#endif

// The idle read from a current cache: the poll's request is out and its
// reply not yet come, so each call finds nothing new. The server holds
// DeviceState's replies meanwhile (for one run of the benchmark: the
// library counts a link silent for 4 s as lost).
void Ascom_CoordsRead(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    DRAV_Coords pos;
    l.server.holding = true;
    const double end = Seconds() + 2;
    while (l.server.held == 0 && Seconds() < end) {
        l.e.coords(&pos);
        Readable(l.client, 1);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(l.e.coords(&pos));
    const unsigned short code = l.e.coords(&pos);
    const bool held = l.server.held == 1;
    l.server.Release();
    if (code != kTcsDone || !held)
        return state.SkipWithError("the read is refused, or the poll was not held");
}
BENCHMARK(Ascom_CoordsRead);

// The same back to back, with the server answering each poll at once:
// most calls find nothing new, a few read the DeviceState their last poll
// asked for and send the next one.
void Ascom_CoordsReadBackToBack(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    DRAV_Coords pos;
    const long before = l.server.deviceStates;
    for (auto _ : state)
        benchmark::DoNotOptimize(l.e.coords(&pos));
    if (l.e.coords(&pos) != kTcsDone)
        return state.SkipWithError("the read is refused");
    state.counters["polls_per_call"] = (double)(l.server.deviceStates - before) / (double)state.iterations();
}
BENCHMARK(Ascom_CoordsReadBackToBack);

// The same read at the host's pace (a call a second while tracking, every
// 50 ms in a go-to wait): each call finds the reply its last poll asked
// for, reads it into the cache and sends the next poll.
void Ascom_CoordsReadFreshReply(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    DRAV_Coords pos;
    l.e.coords(&pos); // a poll outstanding
    for (auto _ : state) {
        state.PauseTiming();
        if (!Readable(l.client, 2000))
            return state.SkipWithError("the poll's reply did not come");
        state.ResumeTiming();
        benchmark::DoNotOptimize(l.e.coords(&pos));
    }
}
BENCHMARK(Ascom_CoordsReadFreshReply);

// From the call to the last byte of the SlewToCoordinatesAsync at the
// server; what came before it and the whole call as counters.
void Ascom_GoToReachesServer(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    l.server.pose = kAtRest;
    double before = 0, call = 0, first = 0;
    for (auto _ : state) {
        l.server.Record();
        const double start = Seconds();
        const unsigned short code = l.e.goTo(DRAV_Coords{0.9, 0.6});
        const double returned = Seconds();
        double put = -1;
        int requests = 0;
        for (const Arrival &a : l.server.Recorded()) {
            if (a.path == "/api/v1/telescope/0/slewtocoordinatesasync") {
                put = a.at - start;
                break;
            }
            first += requests++ == 0 ? a.at - start : 0;
        }
        if (code != kTcsDone || put < 0)
            return state.SkipWithError("the go-to did not reach the server");
        state.SetIterationTime(put);
        before += requests;
        call += returned - start;
    }
    const double n = (double)state.iterations();
    state.counters["requests_before_put"] = before / n;
    state.counters["first_request_us"] = first / n * 1e6;
    state.counters["call_us"] = call / n * 1e6;
}
BENCHMARK(Ascom_GoToReachesServer)->UseManualTime();

// The go-to's PUT, its very bytes, sent on a connection of its own to the
// same server, and its reply read to the end.
void Floor_HttpPutRoundTrip(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    if (l.server.LastPut().empty())
        l.e.goTo(DRAV_Coords{0.9, 0.6});
    const std::string request = l.server.LastPut();
    int fd = ConnectTo(l.server.port);
    if (request.empty() || fd < 0)
        return state.SkipWithError("no request to send");
    std::string in;
    char buffer[4096];
    for (auto _ : state) {
        const double start = Seconds();
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        Request reply;
        in.clear();
        while (!TakeRequest(&in, &reply) && Readable(fd, 2000)) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            in.append(buffer, (size_t)n);
        }
        state.SetIterationTime(Seconds() - start);
        if (reply.method != "HTTP/1.1")
            return state.SkipWithError("no reply");
    }
    close(fd);
}
BENCHMARK(Floor_HttpPutRoundTrip)->UseManualTime();

// A go-to seen slewing, then its end: the progress polls until the
// library answers 100, each after the reply to the last one's request has
// come (the plug-in polls every 50 ms, a loopback reply takes tens of
// microseconds), and the time of the poll that answers 100. Every other
// iteration counts from the end of the slew, between two polls (so the
// reply waiting at the library's end still shows it slewing), the others
// from the first reply that shows it at rest at the target.
void Ascom_ArrivalPoll(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    double polls[2] = {0, 0}, runs[2] = {0, 0}; // [0] from the end of the slew, [1] from the first reply showing it
    unsigned short percent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const int fromReply = (int)(runs[0] > runs[1]);
        l.server.pose = kSlewing;
        if (l.e.goTo(DRAV_Coords{0.9, 0.6}) != kTcsDone)
            return state.SkipWithError("the go-to is refused");
        l.e.progress(&percent);
        Readable(l.client, 2000);
        l.e.progress(&percent);
        if (!Readable(l.client, 2000) || percent >= 100)
            return state.SkipWithError("the go-to is not seen slewing");
        l.server.pose = kArrived;
        if (fromReply) {
            l.e.progress(&percent); // reads the reply that shows it slewing, asks again
            if (!Readable(l.client, 2000))
                return state.SkipWithError("the poll's reply did not come");
        }
        int n = 0;
        unsigned short code;
        double last = 0;
        do {
            if (n > 0 && !Readable(l.client, 2000))
                return state.SkipWithError("the poll's reply did not come");
            state.ResumeTiming();
            const double start = Seconds();
            code = l.e.progress(&percent);
            last = Seconds() - start;
            state.PauseTiming();
            ++n;
        } while (code == kTcsDone && percent < 100 && n < 10);
        if (code != kTcsDone || percent != 100)
            return state.SkipWithError("the arrival is not seen");
        state.ResumeTiming();
        state.SetIterationTime(last);
        polls[fromReply] += n;
        runs[fromReply] += 1;
    }
    state.counters["polls_after_end"] = runs[0] > 0 ? polls[0] / runs[0] : 0;
    state.counters["polls_after_reply"] = runs[1] > 0 ? polls[1] / runs[1] : 0;
}
BENCHMARK(Ascom_ArrivalPoll)->UseManualTime()->Iterations(400);

// A library that discovers, a copy of its own loaded afresh each time
// (one load keeps what it found): from the version call to the first
// request to the device it took, which it sends once it knows it. The
// configureddevices request and the open's end as counters.
void Ascom_Discovery(benchmark::State &state)
{
    Library &l = TheLibrary();
    if (!l.error.empty())
        return state.SkipWithError(l.error.c_str());
    const std::string copy = ScratchFolder() + "/discovering-DRAV.dll";
    std::error_code failed;
    std::filesystem::copy_file(ASCOM_LIBRARY, copy, std::filesystem::copy_options::overwrite_existing, failed);
    char config[96];
    snprintf(config, sizeof config, "discovery=127.0.0.1:%u,timeout=2000", l.server.discoveryPort);
    double asked = 0, opened = 0;
    for (auto _ : state) {
        setenv("DRAV_ASCOM", config, 1);
        void *handle = failed ? nullptr : dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        Entries e;
        if (handle == nullptr || !e.Find(handle))
            return state.SkipWithError("cannot load the library's copy");
        char version[256];
        unsigned short code = 0;
        l.server.Record();
        const double start = Seconds();
        e.version(version, sizeof version);
        e.status(&code);
        const double end = Seconds();
        double known = -1, devices = -1;
        for (const Arrival &a : l.server.Recorded()) {
            if (devices < 0 && a.path == "/management/v1/configureddevices")
                devices = a.at - start;
            if (a.path.compare(0, 18, "/api/v1/telescope/") == 0) {
                known = a.at - start;
                break;
            }
        }
        e.version(version, sizeof version);
        dlclose(handle);
        if (code != kTcsActive || known < 0 || devices < 0 || strstr(version, "\"Bench Mount\"") == NULL)
            return state.SkipWithError("the discovering library does not find the bench mount");
        state.SetIterationTime(known);
        asked += devices;
        opened += end - start;
    }
    state.counters["asked_s"] = asked / (double)state.iterations();
    state.counters["open_returned_s"] = opened / (double)state.iterations();
}
BENCHMARK(Ascom_Discovery)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
