// The reply reader (each stream fed whole, byte by byte and at random split
// points) and the request writer.
#include "HttpStream.h"
#include "WireTest.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string>
#include <vector>

namespace {

// <status> when the headers are read, the body, then |result closes drop|
// at each reply's end; a close at the end adds @ and what it answered.
struct Transcript {
    std::string text, body;
};

void OnStart(void *context, const HttpReply *reply)
{
    ((Transcript *)context)->text += "<" + std::to_string(reply->status) + ">";
}
void OnBody(void *context, const char *data, size_t length) { ((Transcript *)context)->body.append(data, length); }
void OnDone(void *context, const HttpReply *reply)
{
    Transcript *t = (Transcript *)context;
    t->text += t->body.size() <= 64 ? t->body : std::to_string(t->body.size()) + " bytes";
    t->text += "|" + std::to_string(reply->result) + " " + std::to_string(reply->closes) + " " +
               std::to_string(reply->drop) + "|";
    t->body.clear();
}

std::string Read(const std::string &stream, const std::vector<size_t> &pieces, bool close)
{
    Transcript t;
    HttpEvents events = {&t, OnStart, NULL, OnBody, OnDone};
    HttpReader reader;
    HttpReset(&reader, &events);
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        size_t n = i < pieces.size() ? pieces[i] : stream.size() - at;
        n = n < stream.size() - at ? n : stream.size() - at;
        HttpFeed(&reader, stream.data() + at, n);
        at += n;
    }
    if (close)
        t.text += "@" + std::to_string(HttpClose(&reader));
    return t.text;
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"Value\":1}\n";
const std::string kJunk = "X-Junk: " + std::string(1100, 'j') + "\r\n";

std::string Repeat(const std::string &text, int times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}
const std::string kPadding = Repeat("X-Pad: " + std::string(300, 'p') + "\r\n", 30);

struct Case {
    std::string stream;
    bool close;
    std::string transcript;
} const kCases[] = {
    {kOk, false, "<200>{\"Value\":1}\n|0 0 0|"},
    {kOk + kOk, true, "<200>{\"Value\":1}\n|0 0 0|<200>{\"Value\":1}\n|0 0 0|@0"},
    {"HTTP/1.1 200 OK\r\ntransfer-ENCODING: Chunked\r\n\r\n4;name=x\r\n{\"Va\r\nA\r\nlue\":true}\r\n0\r\nX-T: 1\r\n\r\n" + kOk,
     false, "<200>{\"Value\":true}|0 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    {"HTTP/1.1 200 OK\nContent-Length: 2\n\n{}", false, "<200>{}|0 0 0|"},
    {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"Value\":2}", true, "<200>{\"Value\":2}|0 1 0|@1"},
    {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}" + kOk, false, "<200>{}|0 1 0|"},
    {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\n{}" + kOk, false,
     "<200>{}|0 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    {"HTTP/1.1 200 OK\r\nConnection: upgrade, close\r\nContent-Length: 2\r\n\r\n{}", true, "<200>{}|0 1 0|@0"},
    {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n\r\n" + kOk, false,
     "<204>|0 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    // Errors of the server: the status and the body, whatever the body.
    {"HTTP/1.1 400 Bad Request\r\nContent-Length: 26\r\n\r\nValue 'x' is not a number.", false,
     "<400>Value 'x' is not a number.|0 0 0|"},
    {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, "<404>|0 0 0|"},
    {"HTTP/1.1 422 Unprocessable Entity\r\nContent-Length: 21\r\n\r\n{\"detail\":\"missing\"}\n", false,
     "<422>{\"detail\":\"missing\"}\n|0 0 0|"},
    {"HTTP/1.1 500 Internal Server Error\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nerror\r\n0\r\n\r\n", false,
     "<500>error|0 0 0|"},
    // Cut short.
    {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"Val", true, "<200>{\"Val|4 1 1|@2"},
    {"HTTP/1.1 200 OK\r\nContent-Le", true, "|4 1 1|@2"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nerror\r\n", true, "<200>error|4 1 1|@2"},
    {"", true, "@0"},
    // Beyond the caps: skipped to the end when the framing is known.
    {"HTTP/1.1 200 OK\r\n" + kJunk + "Content-Length: 2\r\n\r\n{}" + kOk, false,
     "<200>|2 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked" + std::string(1100, ' ') + "\r\n\r\n{}" + kOk,
     false, "<200>|2 1 1|"},
    {"HTTP/1.1 200 OK\r\n" + kJunk + "\r\n{}", true, "<200>|2 1 1|@0"},
    {"HTTP/1.1 200 OK\r\n" + kPadding + "Content-Length: 2\r\n\r\n{}" + kOk,
     false, "<200>|2 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    {"HTTP/1.1 200 OK\r\n" + Repeat(kPadding, 8) + "Content-Length: 2\r\n\r\n{}", false, "|2 1 1|"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'b') + kOk, false,
     "<200>|1 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n" + std::string(65536, 'c') + "\r\n1\r\nc\r\n0\r\n\r\n" + kOk,
     false, "<200>65536 bytes|1 0 0|<200>{\"Value\":1}\n|0 0 0|"},
    // Framing that cannot be read: the connection is dropped.
    {"HTTP/2 200 OK\r\n\r\n", false, "|3 1 1|"},
    {"HTTP/1.1 2000 OK\r\n\r\n", false, "|3 1 1|"},
    {"<html>\r\n", false, "|3 1 1|"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, "<200>|3 1 1|"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}x\r\n", false, "<200>{}|3 1 1|"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false, "|3 1 1|"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", false, "|3 1 1|"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", false, "|3 1 1|"},
};

TEST(HttpStream, Replies)
{
    for (const Case &c : kCases) {
        std::string whole = Read(c.stream, {}, c.close);
        EXPECT_EQ(c.transcript, whole) << Printable(c.stream.substr(0, 200));
        EXPECT_EQ(whole, Read(c.stream, std::vector<size_t>(c.stream.size(), 1), c.close)) << Printable(c.stream.substr(0, 200));
        for (unsigned seed = 1; seed <= 2; ++seed)
            EXPECT_EQ(whole, Read(c.stream, RandomPieces(c.stream.size(), seed), c.close)) << Printable(c.stream.substr(0, 200));
    }
}

// --- Requests ---

const HttpParameter kSlew[] = {{"RightAscension", "5.5"}, {"Declination", "-7.25"}, {"Name", "M 31 & co=1%"}};

struct RequestCase {
    HttpRequest request;
    const char *bytes;
} const kRequests[] = {
    {{kHttpGet, "127.0.0.1", 11111, "/api/v1/telescope/0/rightascension", NULL, 0, 7, 4294967295UL},
     "GET /api/v1/telescope/0/rightascension?ClientID=7&ClientTransactionID=4294967295 HTTP/1.1\r\n"
     "Host: 127.0.0.1:11111\r\nConnection: keep-alive\r\n\r\n"},
    {{kHttpPut, "::1", 32323, "/api/v1/telescope/1/slewtocoordinatesasync", kSlew, 3, 1, 42},
     "PUT /api/v1/telescope/1/slewtocoordinatesasync HTTP/1.1\r\nHost: [::1]:32323\r\nConnection: keep-alive\r\n"
     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 94\r\n\r\n"
     "RightAscension=5.5&Declination=-7.25&Name=M+31+%26+co%3D1%25&ClientID=1&ClientTransactionID=42"},
};

TEST(HttpWriter, RequestBytesAndFit)
{
    for (const RequestCase &c : kRequests) {
        char buffer[512];
        size_t n = strlen(c.bytes);
        EXPECT_EQ(n, HttpWriteRequest(buffer, sizeof buffer, &c.request));
        EXPECT_EQ(std::string(c.bytes), std::string(buffer, n));
        EXPECT_EQ(n, HttpWriteRequest(buffer, n + 1, &c.request));
        EXPECT_EQ(0u, HttpWriteRequest(buffer, n, &c.request));
    }
}

// Right ascension in hours and declination in degrees come back from the
// text within 0.001", in the C locale and with a decimal comma alike (the
// same text in both).
std::vector<std::string> FormatGrid()
{
    std::vector<std::string> texts;
    const double kValues[] = {0, 5.5, -7.4, 1e-10, -1e-10, 23.999999999, 1e10, -45.1234567891};
    for (double v : kValues) {
        char text[64];
        texts.push_back(HttpFormatNumber(text, sizeof text, v) > 0 ? text : "-");
    }
    unsigned state = 12345;
    for (int i = 0; i < 2000; ++i) {
        state = state * 1103515245u + 12345u;
        double v = (state >> 8) / 16777216.0;
        double value = i % 2 ? v * 24 : v * 180 - 90;
        char text[64];
        HttpFormatNumber(text, sizeof text, value);
        double back = strtod(text, NULL);
        double arcseconds = fabs(back - value) * 3600 * (i % 2 ? 15 : 1);
        EXPECT_LT(arcseconds, 0.001) << value << " written " << text;
        texts.push_back(text);
    }
    return texts;
}

TEST(HttpWriter, NumbersRoundTrip)
{
    const std::vector<std::string> texts = FormatGrid();
    const char *kExpected[] = {"0", "5.5", "-7.4", "0", "0", "23.999999999", "10000000000", "-45.123456789"};
    for (size_t i = 0; i < sizeof kExpected / sizeof *kExpected; ++i)
        EXPECT_EQ(kExpected[i], texts[i]);
    char text[8];
    EXPECT_EQ(0u, HttpFormatNumber(text, sizeof text, NAN));
    EXPECT_EQ(0u, HttpFormatNumber(text, 5, 12.345));
    EXPECT_STREQ("True", HttpBoolean(1));
    std::string why;
    if (!UseDecimalComma(&why))
        GTEST_SKIP() << why;
    // strtod reads the comma there: the round trip goes through the C locale.
    const std::vector<std::string> comma = [] {
        std::vector<std::string> t;
        for (double v : {0.0, 5.5, -7.4, 1e-10, -1e-10, 23.999999999, 1e10, -45.1234567891, 12.3456789}) {
            char text[64];
            t.push_back(HttpFormatNumber(text, sizeof text, v) > 0 ? text : "-");
        }
        return t;
    }();
    UseCLocale();
    for (size_t i = 0; i < sizeof kExpected / sizeof *kExpected; ++i)
        EXPECT_EQ(kExpected[i], comma[i]);
    EXPECT_EQ("12.3456789", comma.back());
}

} // namespace
