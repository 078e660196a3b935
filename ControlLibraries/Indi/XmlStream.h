// A streaming reader for the XML that an INDI server sends: a sequence of
// top-level elements, fed in pieces of any size. It never touches a socket
// or a clock and holds a fixed amount of memory: a name, an attribute value
// or a run of text longer than its cap is cut and reported (an attribute
// value marked cut, a name or a text run as oversize), and nesting deeper
// than kXmlDepthMax is an error.
//
// After an error (bad markup, a mismatched end tag) the reader reports it,
// forgets every open element and resumes at the next '<'.
#ifndef XML_STREAM_H
#define XML_STREAM_H

#include <stddef.h>

enum {
    kXmlNameMax = 48,        // element and attribute names, with the terminator
    kXmlAttributeMax = 12,   // attributes kept per tag
    kXmlValueMax = 256,      // one attribute value, with the terminator
    kXmlTextMax = 512,       // one run of text between two tags, with the terminator
    kXmlDepthMax = 8,
};

struct XmlAttribute {
    char name[kXmlNameMax];
    char value[kXmlValueMax];
    int cut;                 // the value was longer than the cap
};

// What the reader reports. depth is 0 for a top-level element. text runs
// are reported whole (across comments, CDATA and entities), just before the
// next tag; oversize says something was cut: for a start tag, a name or
// attributes beyond kXmlAttributeMax (a value cut is marked on its own).
struct XmlEvents {
    void *context;
    void (*start)(void *context, int depth, const char *name, const XmlAttribute *attributes,
                  int count, int oversize);
    void (*text)(void *context, int depth, const char *text, size_t length, int oversize);
    void (*end)(void *context, int depth, const char *name);
    void (*error)(void *context);
    // Optional: names that only ever come at the top level. One met inside
    // another element means that element was cut short: an error, and the
    // reader starts again at the top with it.
    int (*topLevel)(void *context, const char *name);
};

struct XmlReader {
    XmlEvents events;
    int state;
    int returnState;     // where an entity or a skipped section goes back to
    int depth;
    char stack[kXmlDepthMax][kXmlNameMax];
    char name[kXmlNameMax];
    size_t nameLength;
    XmlAttribute attributes[kXmlAttributeMax];
    int attributeCount;
    size_t valueLength;
    char quote;
    int tagOversize;
    char text[kXmlTextMax];
    size_t textLength;
    int textOversize;
    int lastWasCR;
    char entity[16];
    size_t entityLength;
    char match[12];      // the end of a section being skipped ("-->", "?>", "]]>")
    size_t matchLength, matched;
    unsigned long long errors;
};

void XmlReset(XmlReader *reader, const XmlEvents *events);
void XmlFeed(XmlReader *reader, const char *data, size_t length);

#endif
