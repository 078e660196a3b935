// A streaming reader for the JSON of one Alpaca reply, fed in pieces of any
// size. It never touches a socket or a clock and holds a fixed amount of
// memory; it reports each token as it ends, with its depth and the path of
// member names and array indices that leads to it, so that a consumer picks
// the values it knows without keeping the document.
//
// The language is RFC 8259 exactly: any value at the top, UTF-8 checked,
// no comments, no trailing commas. Within it:
// - a string (or member name) longer than kJsonStringMax - 1 bytes is cut at
//   a character boundary and marked cut, which is not an error;
// - \u escapes become UTF-8, a surrogate pair one character; a lone or
//   mismatched surrogate is an error (kJsonErrorSurrogate);
// - a number is converted correctly rounded, whatever the process locale;
//   an integer is also kept exactly when it fits 64 bits. A number whose
//   text is longer than kJsonNumberMax - 1 characters is an error
//   (kJsonErrorNumberLong), and so is one beyond the range of a double;
// - more than kJsonDepthMax open arrays and objects is an error.
// After an error the reader stays in error until the next JsonReset: one
// reply is one document.
#ifndef JSON_STREAM_H
#define JSON_STREAM_H

#include <stddef.h>

enum {
    kJsonDepthMax = 16,      // open arrays and objects
    kJsonStringMax = 512,    // one string or member name, with the terminator
    kJsonKeyMax = 32,        // a member name as kept in the path, with the terminator
    kJsonNumberMax = 64,     // the text of one number, with the terminator
};

// What an event is.
enum JsonKind {
    kJsonObjectStart, kJsonObjectEnd, kJsonArrayStart, kJsonArrayEnd,
    kJsonKey, kJsonString, kJsonNumber, kJsonTrue, kJsonFalse, kJsonNull,
};

enum JsonError {
    kJsonErrorNone,
    kJsonErrorSyntax,        // a byte that cannot come there
    kJsonErrorDepth,         // nesting beyond kJsonDepthMax
    kJsonErrorEncoding,      // bad UTF-8, or a control character in a string
    kJsonErrorSurrogate,     // a \u surrogate without its other half
    kJsonErrorNumberLong,    // a number's text beyond kJsonNumberMax
    kJsonErrorNumberRange,   // a number beyond the range of a double
    kJsonErrorTrailing,      // something after the document
    kJsonErrorTruncated,     // the document ended early (JsonFinish)
};

// Where a value at depth d + 1 sits in the container at depth d: its member
// name (cut to kJsonKeyMax - 1 bytes, keyCut set) or its index in an array
// (index counts from 0; it is -1 in an object and key is "" in an array).
struct JsonLevel {
    char key[kJsonKeyMax];
    int keyCut;
    long index;
};

// depth is 0 for the document's own value, 1 for the members of the top
// object (its member names and their values), and so on; a container's start
// and end have the depth of the container. path[0 .. depth - 1] leads there:
// {"Value":[{"Name":"Slewing"}]} reports the string "Slewing" at depth 3,
// path[0].key "Value", path[1].index 0, path[2].key "Name".
struct JsonEvent {
    int kind;
    int depth;
    const JsonLevel *path;
    const char *text;        // a member name or string, terminated (it may hold \u0000)
    size_t length;
    int cut;                 // the string was longer than kJsonStringMax - 1
    double number;           // a number, correctly rounded
    long long integer;       // the same, exactly, when isInteger
    int isInteger;           // no fraction, no exponent, and within 64 bits
};

struct JsonEvents {
    void *context;
    void (*event)(void *context, const JsonEvent *event);
    void (*error)(void *context, int error);     // optional
    void (*done)(void *context);                 // optional: the document is complete
};

struct JsonReader {
    JsonEvents events;
    int state;
    int depth;                           // open containers
    unsigned char inObject[kJsonDepthMax];
    JsonLevel path[kJsonDepthMax];
    int stringIsKey;
    char string[kJsonStringMax];
    size_t stringLength;
    int stringCut;
    unsigned utf8Need;                   // continuation bytes still due
    unsigned char utf8Low, utf8High;     // the range of the next one
    unsigned codepoint, highSurrogate;
    int hexCount;
    const char *literal;                 // "true", "false" or "null" being matched
    int literalAt;
    char number[kJsonNumberMax];
    size_t numberLength;
    int numberInteger;
    int error;                           // the first error, kJsonErrorNone while none
    int complete;
};

void JsonReset(JsonReader *reader, const JsonEvents *events);
void JsonFeed(JsonReader *reader, const char *data, size_t length);
// The end of the document's bytes: a number at the top ends here. Returns 1
// when the document is complete and without error; otherwise reports
// kJsonErrorTruncated unless an error came already, and returns 0.
int JsonFinish(JsonReader *reader);

#endif
