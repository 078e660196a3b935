// The HTTP/1.1 side of Alpaca, without a socket or a clock: a reader of the
// replies that a server sends on one connection, fed in pieces of any size,
// and a writer of the requests into a caller's buffer.
//
// The reader hands each body on as it arrives (Content-Length, chunked, or
// running to the close) and reports each reply's end, then goes on with the
// next reply in the same bytes. It holds one line at a time:
// - a header line longer than kHttpLineMax - 1 bytes, or a header section
//   beyond kHttpHeaderMax, fails the reply (kHttpHeaderTooLarge); its body is
//   still skipped to its end when its length or chunking is known, else the
//   connection must be dropped (a long Content-Length or Transfer-Encoding
//   line counts as unknown; a section beyond kHttpHeaderSkipMax too);
// - a body beyond kHttpBodyMax is skipped to its end and the reply fails
//   (kHttpTooLarge): what was handed on of it is to be thrown away;
// - malformed framing (a bad status line, chunk size or Content-Length, a
//   transfer coding other than chunked) fails the reply, and the connection
//   must be dropped.
// After a reply whose result says drop, or after which the server closes,
// the reader takes no more bytes until HttpReset.
#ifndef HTTP_STREAM_H
#define HTTP_STREAM_H

#include <stddef.h>

enum {
    kHttpLineMax = 1024,            // the status line or one header line, with the terminator
    kHttpHeaderMax = 8192,          // the status line and the headers
    kHttpHeaderSkipMax = 65536,     // what is skipped of an oversized header section
    kHttpBodyMax = 65536,           // one body, after chunked decoding
};

enum HttpResult {
    kHttpComplete,          // the whole reply arrived
    kHttpTooLarge,          // the body was beyond kHttpBodyMax, and skipped
    kHttpHeaderTooLarge,    // a header line or the header section was beyond its cap
    kHttpBadFraming,        // the bytes cannot be read as a reply
    kHttpCut,               // the connection closed before the reply was complete
};

struct HttpReply {
    int status;                     // 200, 404, ... (0 before the status line is read)
    int minorVersion;               // HTTP/1.0 or HTTP/1.1
    int chunked;
    long long contentLength;        // -1 when none was given
    unsigned long long bodyLength;  // body bytes received (after chunked decoding)
    int result;                     // an HttpResult, final at done
    int closes;                     // the server closes after this reply
    int drop;                       // the connection is of no further use: close it
};

struct HttpEvents {
    void *context;
    void (*start)(void *context, const HttpReply *reply);        // optional: the headers are read
    void (*header)(void *context, const char *name, const char *value); // optional: each header
    void (*body)(void *context, const char *data, size_t length);
    void (*done)(void *context, const HttpReply *reply);
};

struct HttpReader {
    HttpEvents events;
    int state;
    HttpReply reply;
    char line[kHttpLineMax];
    size_t lineLength;
    int lineOver;
    size_t headerBytes;
    int framingLost;                // a framing header came too long to be read
    int keepAlive, close;           // what the Connection header said
    unsigned long long remaining;   // body or chunk bytes still due
};

void HttpReset(HttpReader *reader, const HttpEvents *events);
void HttpFeed(HttpReader *reader, const char *data, size_t length);

enum HttpClosed {
    kHttpClosedIdle,        // no reply was under way
    kHttpClosedComplete,    // the reply running to the close is complete (reported done)
    kHttpClosedCut,         // the reply under way was cut short (reported done, kHttpCut)
};
// The peer has closed the connection.
int HttpClose(HttpReader *reader);

// --- Requests ---

enum HttpMethod { kHttpGet, kHttpPut };

struct HttpParameter {
    const char *name;
    const char *value;
};

// GET parameters go in the query string, PUT ones in a form-encoded body;
// ClientID and ClientTransactionID follow the others.
struct HttpRequest {
    int method;
    const char *host;                 // a name, an IPv4 address, or an IPv6 address (bracketed or not)
    int port;
    const char *path;                 // "/api/v1/telescope/0/rightascension"
    const HttpParameter *parameters;
    int count;
    unsigned long clientId, clientTransactionId;
};

// Writes the request into buffer; returns its length, or 0 when it does not
// fit (the buffer then holds nothing useful).
size_t HttpWriteRequest(char *buffer, size_t size, const HttpRequest *request);

// A parameter's text, in the C locale whatever the process's: a number with
// nine decimals at most (0.001" of right ascension in hours is 2e-8), its
// trailing zeros dropped. Returns the length, or 0 when it is not finite or
// does not fit.
size_t HttpFormatNumber(char *buffer, size_t size, double value);
const char *HttpBoolean(int value);   // "True" or "False"

#endif
