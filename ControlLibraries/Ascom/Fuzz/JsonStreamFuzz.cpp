// Differential fuzzing of the streaming JSON reader against RapidJSON's SAX
// reader, both held to RFC 8259 (UTF-8 checked, nothing after the document):
// the same bytes, fed to ours in pieces whose size comes from the input, must
// give the same events (member names, strings, numbers as doubles, booleans,
// nulls, depths) whenever RapidJSON accepts them and nothing reaches our
// caps, and an error whenever RapidJSON rejects them.
// RapidJSON 1.1's own conversion of numbers goes wrong on some ("0e0000227"
// gives -5.6e73), so it hands their text on, and glibc's strtod (correctly
// rounded) gives the double to compare with; beyond a double's range ours
// must report kJsonErrorNumberRange. Where RapidJSON differs from the
// language, the case is passed by:
// - it lets a lone low surrogate (\uDC00) through, which we refuse;
// - it refuses an exponent beyond its own range even where the value is
//   within a double's ("0e400", "0.001e310"), which we read;
// - it takes a NUL byte for the end of the input.
// The same bytes then go through the HTTP reader, as the body of a reply with
// a length and of a chunked one (the body must come out whole), and as raw
// reply bytes, for the sanitizers.
#include "HttpStream.h"
#include "JsonStream.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::string Number(double value, bool exact, long long integer)
{
    char text[48];
    snprintf(text, sizeof text, "%.17g", value == 0 ? 0.0 : value);
    std::string t = text;
    if (exact)
        t += "=" + std::to_string(integer);
    return t;
}

std::string Text(const char *text, size_t length) { return std::to_string(length) + ":" + std::string(text, length); }

// --- RapidJSON ---

struct Rapid : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Rapid> {
    std::string events;
    int depth = 0, deepest = 0;
    bool overflow = false;   // a number beyond the range of a double
    void Add(const std::string &event) { events += event + " " + std::to_string(depth) + "\n"; }
    bool Null() { return Add("Z"), true; }
    bool Bool(bool b) { return Add(b ? "T" : "F"), true; }
    bool Int(int i) { return Add("N" + Number(i, true, i)), true; }
    bool Uint(unsigned u) { return Add("N" + Number(u, true, u)), true; }
    bool Int64(int64_t i) { return Add("N" + Number((double)i, true, i)), true; }
    bool Uint64(uint64_t u) { return Add("N" + Number((double)u, u <= INT64_MAX, (long long)u)), true; }
    bool Double(double d) { return Add("N" + Number(d, false, 0)), true; }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool)
    {
        std::string text(s, n);
        double value = strtod(text.c_str(), NULL);
        overflow |= isinf(value);
        errno = 0;
        long long integer = strtoll(text.c_str(), NULL, 10);
        bool exact = text.find_first_of(".eE") == std::string::npos && errno == 0;
        return Add("N" + Number(value, exact, integer)), true;
    }
    bool String(const char *s, rapidjson::SizeType n, bool) { return Add("S" + Text(s, n)), true; }
    bool Key(const char *s, rapidjson::SizeType n, bool) { return Add("K" + Text(s, n)), true; }
    bool Open(const char *mark)
    {
        Add(mark);
        if (++depth > deepest)
            deepest = depth;
        return true;
    }
    bool Close(const char *mark)
    {
        --depth;
        Add(mark);
        return true;
    }
    bool StartObject() { return Open("{"); }
    bool EndObject(rapidjson::SizeType) { return Close("}"); }
    bool StartArray() { return Open("["); }
    bool EndArray(rapidjson::SizeType) { return Close("]"); }
};

// --- Ours ---

struct Ours {
    std::string events;
    int limited = 0;   // a cap was reached
    int error = kJsonErrorNone;
    int done = 0;
    // What the path must say, from the events themselves.
    struct Level {
        bool object;
        std::string key;
        long index;
    };
    std::vector<Level> open;
};

// A cut string still ends on a whole character.
bool WholeUtf8(const char *text, size_t length)
{
    for (size_t i = 0; i < length;) {
        unsigned char c = (unsigned char)text[i];
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > length)
            return false;
        for (size_t k = 1; k < n; ++k)
            if (((unsigned char)text[i + k] & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

void CheckPath(Ours *t, const JsonEvent *e)
{
    if ((size_t)e->depth != t->open.size() || e->depth > kJsonDepthMax)
        abort();
    if (e->depth == 0)
        return;
    const Ours::Level &level = t->open.back();
    const JsonLevel &path = e->path[e->depth - 1];
    // The path keeps a name's beginning, whole characters, terminated.
    size_t n = strlen(path.key);
    if (!WholeUtf8(path.key, n))
        abort();
    if (level.object ? (path.index != -1 || level.key.compare(0, n, path.key) != 0 ||
                        (!path.keyCut && level.key.size() > kJsonKeyMax - 1))
                     : (path.index != level.index || path.key[0] != '\0'))
        abort();
}

void OurEvent(void *context, const JsonEvent *e)
{
    Ours *t = (Ours *)context;
    static const char *const kMarks[] = {"{", "}", "[", "]", "K", "S", "N", "T", "F", "Z"};
    if (e->kind == kJsonObjectEnd || e->kind == kJsonArrayEnd)
        t->open.pop_back();
    if (e->kind == kJsonKey)
        t->open.back().key = std::string(e->text, e->length);
    CheckPath(t, e);
    std::string event = kMarks[e->kind];
    if (e->kind == kJsonKey || e->kind == kJsonString) {
        event += Text(e->text, e->length);
        t->limited |= e->cut;
        if (e->text[e->length] != '\0' || e->length >= kJsonStringMax || !WholeUtf8(e->text, e->length))
            abort();
    } else if (e->kind == kJsonNumber)
        event += Number(e->number, e->isInteger, e->integer);
    t->events += event + " " + std::to_string(e->depth) + "\n";
    if (e->kind == kJsonObjectStart || e->kind == kJsonArrayStart)
        t->open.push_back({e->kind == kJsonObjectStart, "", 0});
    // The next element of an array: its index counts on.
    bool value = e->kind != kJsonKey && e->kind != kJsonObjectStart && e->kind != kJsonArrayStart;
    if (value && !t->open.empty() && !t->open.back().object && e->depth == (int)t->open.size())
        t->open.back().index++;
}

void OurError(void *context, int error)
{
    Ours *t = (Ours *)context;
    if (t->error != kJsonErrorNone)
        abort();   // one error, then nothing
    t->error = error;
    t->limited |= error == kJsonErrorNumberLong;
}

void OurDone(void *context) { ((Ours *)context)->done++; }

JsonReader gReader;
HttpReader gHttp;

// --- Through the HTTP reader ---

struct Received {
    std::string body;
    int replies = 0, result = -1;
};

void ReceivedBody(void *context, const char *data, size_t length) { ((Received *)context)->body.append(data, length); }
void ReceivedDone(void *context, const HttpReply *reply)
{
    Received *r = (Received *)context;
    r->replies++;
    r->result = reply->result;
    if (reply->bodyLength > (1u << 30) || (reply->result == kHttpComplete && reply->bodyLength != r->body.size()))
        abort();
}

void FeedHttp(Received *received, const std::string &stream, size_t piece)
{
    HttpEvents events = {received, NULL, NULL, ReceivedBody, ReceivedDone};
    HttpReset(&gHttp, &events);
    for (size_t at = 0; at < stream.size(); at += piece)
        HttpFeed(&gHttp, stream.data() + at, stream.size() - at < piece ? stream.size() - at : piece);
    HttpClose(&gHttp);
}

void CheckHttp(const std::string &document, size_t piece)
{
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < document.size(); at += piece) {
        size_t n = document.size() - at < piece ? document.size() - at : piece;
        char size[24];
        snprintf(size, sizeof size, "%zx;x=y\r\n", n);
        chunked += size + document.substr(at, n) + "\r\n";
    }
    chunked += "0\r\n\r\n";
    const std::string framed[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(document.size()) + "\r\n\r\n" + document, chunked};
    for (const std::string &stream : framed) {
        Received received;
        FeedHttp(&received, stream, piece);
        if (received.replies != 1 || received.result != kHttpComplete || received.body != document)
            abort();
    }
    Received raw;
    FeedHttp(&raw, document, piece);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t piece = data[0] % 64 + 1;
    std::string document((const char *)data + 1, size - 1);

    Rapid rapid;
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(document.data(), document.size());
    const unsigned kFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag |
                            rapidjson::kParseIterativeFlag;
    rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, rapid);

    Ours ours;
    JsonEvents events = {&ours, OurEvent, OurError, OurDone};
    JsonReset(&gReader, &events);
    for (size_t at = 0; at < document.size(); at += piece)
        JsonFeed(&gReader, document.data() + at, document.size() - at < piece ? document.size() - at : piece);
    int complete = JsonFinish(&gReader);
    if (complete != (ours.error == kJsonErrorNone) || ours.done > 1 || (complete && ours.done != 1))
        abort();

    // RapidJSON reads a NUL byte as the end of its input; the language has
    // no place for one outside a \u escape.
    if (document.find('\0') != std::string::npos) {
        if (complete)
            abort();
    } else if (!parsed.IsError()) {
        bool loneLow = false;   // a surrogate encoded as UTF-8 in what RapidJSON gave
        for (size_t i = 0; i + 1 < rapid.events.size() && ours.error == kJsonErrorSurrogate; ++i)
            loneLow |= (unsigned char)rapid.events[i] == 0xED && (unsigned char)rapid.events[i + 1] >= 0xA0;
        bool same = rapid.overflow ? ours.error == kJsonErrorNumberRange : complete && ours.events == rapid.events;
        if (rapid.deepest <= kJsonDepthMax && !ours.limited && !loneLow && !same) {
            fprintf(stderr, "reader and RapidJSON differ\n--- RapidJSON\n%s--- reader (error %d)\n%s",
                    rapid.events.c_str(), ours.error, ours.events.c_str());
            abort();
        }
    } else if (complete && parsed.Code() != rapidjson::kParseErrorNumberTooBig) {
        fprintf(stderr, "RapidJSON rejects (%s at %zu), the reader accepts\n%s",
                rapidjson::GetParseError_En(parsed.Code()), parsed.Offset(), ours.events.c_str());
        abort();
    }

    CheckHttp(document, piece);
    return 0;
}
