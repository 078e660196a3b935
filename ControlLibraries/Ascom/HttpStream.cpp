// The reply reader (a state machine over lines and body bytes) and the
// request writer.
#include "HttpStream.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

enum { kStatus, kHeader, kBodyLength, kBodyClose, kChunkSize, kChunkData, kChunkEnd, kTrailer, kStopped };

static int LowerCase(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
static int IsBlank(char c) { return c == ' ' || c == '\t'; }

static int SameText(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (LowerCase((unsigned char)a[i]) != LowerCase((unsigned char)b[i]))
            return 0;
    return 1;
}

// a (of length n) is the word b, whatever the case.
static int IsWord(const char *a, size_t n, const char *b) { return strlen(b) == n && SameText(a, b, n); }

static void StartReply(HttpReader *r)
{
    memset(&r->reply, 0, sizeof r->reply);
    r->reply.contentLength = -1;
    r->reply.result = kHttpComplete;
    r->lineLength = 0;
    r->lineOver = 0;
    r->headerBytes = 0;
    r->framingLost = 0;
    r->keepAlive = 0;
    r->close = 0;
    r->remaining = 0;
    r->state = kStatus;
}

void HttpReset(HttpReader *reader, const HttpEvents *events)
{
    reader->events = *events;
    StartReply(reader);
}

// The first failure is the one reported.
static void Mark(HttpReader *r, int result)
{
    if (r->reply.result == kHttpComplete)
        r->reply.result = result;
}

static void Finish(HttpReader *r)
{
    r->events.done(r->events.context, &r->reply);
    if (r->reply.drop || r->reply.closes)
        r->state = kStopped;
    else
        StartReply(r);
}

static void Fail(HttpReader *r, int result)
{
    r->reply.result = result;
    r->reply.drop = 1;
    r->reply.closes = 1;
    r->state = kStopped;
    r->events.done(r->events.context, &r->reply);
}

static void Body(HttpReader *r, const char *data, size_t n)
{
    if (r->reply.bodyLength + n > kHttpBodyMax)
        Mark(r, kHttpTooLarge);
    r->reply.bodyLength += n;
    if (r->reply.result == kHttpComplete && n > 0)
        r->events.body(r->events.context, data, n);
}

// --- Lines ---

static int ParseStatusLine(HttpReader *r)
{
    const char *s = r->line;
    if (strncmp(s, "HTTP/1.", 7) != 0 || (s[7] != '0' && s[7] != '1') || s[8] != ' ')
        return 0;
    r->reply.minorVersion = s[7] - '0';
    const char *p = s + 9;
    while (*p == ' ')
        ++p;
    int status = 0;
    for (int i = 0; i < 3; ++i, ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        status = status * 10 + (*p - '0');
    }
    if ((*p != '\0' && *p != ' ') || status < 100 || status > 599)
        return 0;
    r->reply.status = status;
    return 1;
}

static int ParseContentLength(HttpReader *r, const char *value)
{
    long long n = 0;
    if (*value == '\0')
        return 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || p - value >= 18)
            return 0;
        n = n * 10 + (*p - '0');
    }
    if (r->reply.contentLength >= 0 && r->reply.contentLength != n)
        return 0;
    r->reply.contentLength = n;
    return 1;
}

static void ParseConnection(HttpReader *r, const char *value)
{
    for (const char *p = value; *p != '\0';) {
        while (*p == ',' || IsBlank(*p))
            ++p;
        const char *end = p;
        while (*end != '\0' && *end != ',')
            ++end;
        size_t n = (size_t)(end - p);
        while (n > 0 && IsBlank(p[n - 1]))
            --n;
        if (IsWord(p, n, "close"))
            r->close = 1;
        else if (IsWord(p, n, "keep-alive"))
            r->keepAlive = 1;
        p = end;
    }
}

// "Name: value". Lines without a colon, or folded onto the one before, are
// passed by; a long line keeps its beginning, enough to know its name.
static void HeaderLine(HttpReader *r)
{
    char *colon = strchr(r->line, ':');
    if (colon == NULL || colon == r->line || IsBlank(r->line[0]))
        return;
    size_t nameLength = (size_t)(colon - r->line);
    int framing = IsWord(r->line, nameLength, "content-length") || IsWord(r->line, nameLength, "transfer-encoding");
    if (r->lineOver) {
        Mark(r, kHttpHeaderTooLarge);
        r->framingLost |= framing;
        return;
    }
    *colon = '\0';
    char *value = colon + 1;
    while (IsBlank(*value))
        ++value;
    char *end = value + strlen(value);
    while (end > value && IsBlank(end[-1]))
        *--end = '\0';
    if (IsWord(r->line, nameLength, "content-length")) {
        if (!ParseContentLength(r, value))
            return Fail(r, kHttpBadFraming);
    } else if (IsWord(r->line, nameLength, "transfer-encoding")) {
        if (!IsWord(value, strlen(value), "chunked"))
            return Fail(r, kHttpBadFraming);
        r->reply.chunked = 1;
    } else if (IsWord(r->line, nameLength, "connection"))
        ParseConnection(r, value);
    if (r->events.header)
        r->events.header(r->events.context, r->line, value);
}

// The empty line after the headers: how the body is framed.
static void HeadersDone(HttpReader *r)
{
    HttpReply *reply = &r->reply;
    if (reply->status < 200) {
        if (reply->status == 101)
            return Fail(r, kHttpBadFraming);
        return StartReply(r);   // an interim reply: the real one follows
    }
    reply->closes = reply->minorVersion == 1 ? r->close : !r->keepAlive;
    int noBody = reply->status == 204 || reply->status == 304;
    if (reply->chunked && reply->contentLength >= 0)
        reply->closes = 1;     // both framings given: this connection is not to be trusted further
    if (noBody)
        r->state = kBodyLength;
    else if (r->framingLost) {
        reply->drop = 1;
        reply->closes = 1;
    } else if (reply->chunked)
        r->state = kChunkSize;
    else if (reply->contentLength >= 0) {
        if (reply->contentLength > kHttpBodyMax)
            Mark(r, kHttpTooLarge);
        r->remaining = (unsigned long long)reply->contentLength;
        r->state = kBodyLength;
    } else {
        reply->closes = 1;
        reply->drop = reply->result != kHttpComplete;   // nothing tells where a skipped body ends
        r->state = kBodyClose;
    }
    if (r->events.start)
        r->events.start(r->events.context, reply);
    if (reply->drop) {
        r->state = kStopped;
        r->events.done(r->events.context, reply);
    } else if (r->state == kBodyLength && r->remaining == 0)
        Finish(r);
}

static void ChunkSizeLine(HttpReader *r)
{
    unsigned long long size = 0;
    int digits = 0;
    const char *p = r->line;
    for (;; ++p, ++digits) {
        int c = LowerCase((unsigned char)*p);
        int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0)
            break;
        if (digits == 15)
            return Fail(r, kHttpBadFraming);
        size = size << 4 | (unsigned)value;
    }
    while (IsBlank(*p))
        ++p;
    if (digits == 0 || r->lineOver || (*p != '\0' && *p != ';'))
        return Fail(r, kHttpBadFraming);
    r->remaining = size;
    r->headerBytes = 0;
    r->state = size == 0 ? kTrailer : kChunkData;
}

static void Line(HttpReader *r)
{
    if (r->lineLength > 0 && r->line[r->lineLength - 1] == '\r' && !r->lineOver)
        --r->lineLength;
    r->line[r->lineLength] = '\0';
    int empty = r->lineLength == 0 && !r->lineOver;
    switch (r->state) {
    case kStatus:
        if (empty)
            r->headerBytes = 0;   // blank lines before a reply are passed by
        else if (!ParseStatusLine(r))
            Fail(r, kHttpBadFraming);
        else {
            if (r->lineOver)
                Mark(r, kHttpHeaderTooLarge);
            r->state = kHeader;
        }
        break;
    case kHeader:
        if (empty)
            HeadersDone(r);
        else
            HeaderLine(r);
        break;
    case kChunkSize:
        ChunkSizeLine(r);
        break;
    case kChunkEnd:
        if (!empty)
            Fail(r, kHttpBadFraming);
        else
            r->state = kChunkSize;
        break;
    case kTrailer:
        if (empty)
            Finish(r);
        break;
    }
    r->lineLength = 0;
    r->lineOver = 0;
}

// Bytes of a line, up to and with its LF; returns how many were taken.
static size_t LineBytes(HttpReader *r, const char *data, size_t length)
{
    const char *lf = (const char *)memchr(data, '\n', length);
    size_t n = lf != NULL ? (size_t)(lf - data) : length;
    size_t room = kHttpLineMax - 1 - r->lineLength;
    if (n > room)
        r->lineOver = 1;
    memcpy(r->line + r->lineLength, data, n < room ? n : room);
    r->lineLength += n < room ? n : room;
    size_t taken = lf != NULL ? n + 1 : n;
    if (r->state == kStatus || r->state == kHeader || r->state == kTrailer) {
        r->headerBytes += taken;
        if (r->headerBytes > kHttpHeaderSkipMax)
            return Fail(r, kHttpHeaderTooLarge), taken;
        if (r->headerBytes > kHttpHeaderMax && r->state != kTrailer)
            Mark(r, kHttpHeaderTooLarge);
    }
    if (lf != NULL)
        Line(r);
    return taken;
}

void HttpFeed(HttpReader *r, const char *data, size_t length)
{
    size_t i = 0;
    while (i < length && r->state != kStopped) {
        size_t left = length - i;
        switch (r->state) {
        case kBodyLength:
        case kChunkData: {
            size_t n = r->remaining < left ? (size_t)r->remaining : left;
            Body(r, data + i, n);
            r->remaining -= n;
            i += n;
            if (r->remaining == 0) {
                if (r->state == kChunkData)
                    r->state = kChunkEnd;
                else
                    Finish(r);
            }
            break;
        }
        case kBodyClose:
            Body(r, data + i, left);
            i = length;
            break;
        default:
            i += LineBytes(r, data + i, left);
            break;
        }
    }
}

int HttpClose(HttpReader *r)
{
    switch (r->state) {
    case kStopped:
        return kHttpClosedIdle;
    case kBodyClose:
        r->state = kStopped;
        r->events.done(r->events.context, &r->reply);
        return kHttpClosedComplete;
    case kStatus:
        if (r->lineLength == 0 && !r->lineOver) {
            r->state = kStopped;
            return kHttpClosedIdle;
        }
        break;
    }
    Fail(r, kHttpCut);
    return kHttpClosedCut;
}

// --- Requests ---

// A buffer written up to its size; past it, only the length counts on.
struct Writer {
    char *buffer;
    size_t size, length;
};

static void Put(Writer *w, const char *data, size_t n)
{
    if (w->length + n < w->size)
        memcpy(w->buffer + w->length, data, n);
    w->length += n;
}

static void PutText(Writer *w, const char *text) { Put(w, text, strlen(text)); }

static void PutUnsigned(Writer *w, unsigned long long value)
{
    char digits[24];
    int n = 0;
    do
        digits[sizeof digits - 1 - n++] = (char)('0' + value % 10);
    while ((value /= 10) != 0);
    Put(w, digits + sizeof digits - n, (size_t)n);
}

// Form encoding: letters, digits and *-._ as they are, a space as +, every
// other byte as %XX.
static void PutEncoded(Writer *w, const char *text)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
            c == '.' || c == '_')
            Put(w, (const char *)p, 1);
        else if (c == ' ')
            Put(w, "+", 1);
        else {
            char escape[3] = {'%', kHex[c >> 4], kHex[c & 15]};
            Put(w, escape, 3);
        }
    }
}

static void PutParameter(Writer *w, const char *name, const char *value, int first)
{
    if (!first)
        Put(w, "&", 1);
    PutEncoded(w, name);
    Put(w, "=", 1);
    PutEncoded(w, value);
}

static void PutParameters(Writer *w, const HttpRequest *q)
{
    for (int i = 0; i < q->count; ++i)
        PutParameter(w, q->parameters[i].name, q->parameters[i].value, i == 0);
    if (q->count > 0)
        Put(w, "&", 1);
    PutText(w, "ClientID=");
    PutUnsigned(w, q->clientId);
    PutText(w, "&ClientTransactionID=");
    PutUnsigned(w, q->clientTransactionId);
}

size_t HttpWriteRequest(char *buffer, size_t size, const HttpRequest *q)
{
    Writer w = {buffer, size, 0};
    PutText(&w, q->method == kHttpPut ? "PUT " : "GET ");
    PutText(&w, q->path);
    if (q->method == kHttpGet) {
        Put(&w, "?", 1);
        PutParameters(&w, q);
    }
    PutText(&w, " HTTP/1.1\r\nHost: ");
    int literal = strchr(q->host, ':') != NULL && q->host[0] != '[';
    if (literal)
        Put(&w, "[", 1);
    PutText(&w, q->host);
    PutText(&w, literal ? "]:" : ":");
    PutUnsigned(&w, (unsigned)q->port);
    PutText(&w, "\r\nConnection: keep-alive\r\n");
    if (q->method == kHttpPut) {
        Writer measure = {NULL, 0, 0};
        PutParameters(&measure, q);
        PutText(&w, "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ");
        PutUnsigned(&w, measure.length);
        PutText(&w, "\r\n\r\n");
        PutParameters(&w, q);
    } else
        PutText(&w, "\r\n");
    if (w.length >= size)
        return 0;
    buffer[w.length] = '\0';
    return w.length;
}

size_t HttpFormatNumber(char *buffer, size_t size, double value)
{
    if (!isfinite(value))
        return 0;
    Writer w = {buffer, size, 0};
    double magnitude = fabs(value);
    if (magnitude >= 9e9) {
        // Beyond any angle or site value: whole units (%.0f writes no decimal point).
        char text[400];
        snprintf(text, sizeof text, "%.0f", value);
        PutText(&w, text);
    } else {
        const unsigned long long kScale = 1000000000ULL;
        unsigned long long scaled = (unsigned long long)llround(magnitude * 1e9);
        if (value < 0 && scaled != 0)
            Put(&w, "-", 1);
        PutUnsigned(&w, scaled / kScale);
        unsigned long long fraction = scaled % kScale;
        if (fraction != 0) {
            char digits[10] = {'.'};
            int n = 9;
            for (int i = 9; i >= 1; --i, fraction /= 10)
                digits[i] = (char)('0' + fraction % 10);
            while (digits[n] == '0')
                --n;
            Put(&w, digits, (size_t)n + 1);
        }
    }
    if (w.length >= size)
        return 0;
    buffer[w.length] = '\0';
    return w.length;
}

const char *HttpBoolean(int value) { return value ? "True" : "False"; }
