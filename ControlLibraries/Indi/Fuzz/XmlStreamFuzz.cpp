// Differential fuzzing of the streaming XML reader against expat: the same
// bytes, wrapped in one root element, must give the same starts (name and
// attributes), text runs and ends, whenever expat takes them as well-formed
// and nothing in them reaches the reader's caps. The reader is fed in pieces
// whose sizes come from the input, and the INDI cache reads the same bytes
// too, for its own invariants under the sanitizers.
#include "IndiCache.h"
#include "XmlStream.h"

#include <expat.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

struct Transcript {
    std::string events, text;
    int depth = 0, deepest = 0, limited = 0;
    void Flush()
    {
        if (!text.empty())
            events += "T" + text + "\n";
        text.clear();
    }
};

// --- expat ---

void XMLCALL ExpatStart(void *data, const XML_Char *name, const XML_Char **attributes)
{
    Transcript *t = (Transcript *)data;
    t->Flush();
    t->events += std::string("S") + name;
    for (int i = 0; attributes[i] != NULL; i += 2)
        t->events += std::string(" ") + attributes[i] + "=" + attributes[i + 1];
    t->events += "\n";
    if (++t->depth > t->deepest)
        t->deepest = t->depth;
}

void XMLCALL ExpatEnd(void *data, const XML_Char *name)
{
    Transcript *t = (Transcript *)data;
    t->Flush();
    t->events += std::string("E") + name + "\n";
    t->depth--;
}

void XMLCALL ExpatText(void *data, const XML_Char *text, int length)
{
    ((Transcript *)data)->text.append(text, (size_t)length);
}

// --- ours ---

void OurStart(void *context, int, const char *name, const XmlAttribute *attributes, int count, int oversize)
{
    Transcript *t = (Transcript *)context;
    t->Flush();
    t->events += std::string("S") + name;
    for (int i = 0; i < count; ++i) {
        t->events += std::string(" ") + attributes[i].name + "=" + attributes[i].value;
        t->limited |= attributes[i].cut;
    }
    t->events += "\n";
    t->limited |= oversize;
}

void OurText(void *context, int, const char *text, size_t length, int oversize)
{
    Transcript *t = (Transcript *)context;
    t->text.append(text, length);
    t->limited |= oversize;
}

void OurEnd(void *context, int, const char *name)
{
    Transcript *t = (Transcript *)context;
    t->Flush();
    t->events += std::string("E") + name + "\n";
}

void OurError(void *context)
{
    ((Transcript *)context)->limited |= 2;
}

XmlReader gReader;
IndiCache gCache;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t piece = data[0] % 64 + 1;
    std::string document = "<r>" + std::string((const char *)data + 1, size - 1) + "</r>";

    Transcript expat;
    XML_Parser parser = XML_ParserCreate(NULL);
    XML_SetUserData(parser, &expat);
    XML_SetElementHandler(parser, ExpatStart, ExpatEnd);
    XML_SetCharacterDataHandler(parser, ExpatText);
    int wellFormed = XML_Parse(parser, document.data(), (int)document.size(), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);

    Transcript ours;
    XmlEvents events = {&ours, OurStart, OurText, OurEnd, OurError, NULL};
    XmlReset(&gReader, &events);
    for (size_t at = 0; at < document.size(); at += piece)
        XmlFeed(&gReader, document.data() + at, document.size() - at < piece ? document.size() - at : piece);

    if (wellFormed && expat.deepest <= kXmlDepthMax && (ours.limited & 1) == 0) {
        if ((ours.limited & 2) != 0 || ours.events != expat.events) {
            fprintf(stderr, "reader and expat differ\n--- expat\n%s--- reader (errors %llu)\n%s", expat.events.c_str(),
                    gReader.errors, ours.events.c_str());
            abort();
        }
    }

    // The cache over the raw bytes, fed in the same pieces.
    IndiCacheReset(&gCache, "");
    for (size_t at = 1; at < size; at += piece)
        IndiCacheFeed(&gCache, (const char *)data + at, size - at < piece ? size - at : piece);
    if (gCache.count > kIndiProperties)
        abort();
    for (int i = 0; i < gCache.count; ++i)
        if (gCache.properties[i].count > kIndiElements || gCache.properties[i].state > kIndiAlert)
            abort();
    return 0;
}
