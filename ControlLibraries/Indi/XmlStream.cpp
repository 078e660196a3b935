// The streaming XML reader: one state machine over the bytes, whatever the
// size of each piece fed.
#include "XmlStream.h"

#include <string.h>

enum {
    kText, kSkip, kOpen, kBang, kComment, kInstruction, kCData, kDeclaration,
    kStartName, kInTag, kAttributeName, kAfterAttributeName, kBeforeValue, kValue,
    kAfterValue, kEmpty, kEndName, kEndSpace, kEntity,
};

static int IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static int IsNameStart(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}
static int IsNameChar(unsigned char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void XmlReset(XmlReader *reader, const XmlEvents *events)
{
    memset(reader, 0, sizeof *reader);
    reader->events = *events;
    reader->state = kText;
}

// --- Text runs ---

static void AppendText(XmlReader *r, char c)
{
    if (r->textLength + 1 < sizeof r->text)
        r->text[r->textLength++] = c;
    else
        r->textOversize = 1;
}

// Line ends as XML reads them: CR LF and a lone CR are one LF.
static void AppendTextChar(XmlReader *r, char c)
{
    if (c == '\n' && r->lastWasCR) {
        r->lastWasCR = 0;
        return;
    }
    r->lastWasCR = c == '\r';
    AppendText(r, c == '\r' ? '\n' : c);
}

static void FlushText(XmlReader *r)
{
    if (r->textLength > 0 || r->textOversize) {
        r->text[r->textLength] = '\0';
        if (r->events.text)
            r->events.text(r->events.context, r->depth, r->text, r->textLength, r->textOversize);
    }
    r->textLength = 0;
    r->textOversize = 0;
}

// --- Tags ---

static void AppendName(XmlReader *r, char *name, size_t *length, char c)
{
    if (*length + 1 < kXmlNameMax)
        name[(*length)++] = c;
    else
        r->tagOversize = 1;
    name[*length] = '\0';
}

static XmlAttribute *CurrentAttribute(XmlReader *r)
{
    return r->attributeCount > 0 && r->attributeCount <= kXmlAttributeMax ? &r->attributes[r->attributeCount - 1]
                                                                          : NULL;
}

static void AppendValue(XmlReader *r, char c)
{
    XmlAttribute *a = CurrentAttribute(r);
    if (a == NULL)
        return;
    if (r->valueLength + 1 < sizeof a->value)
        a->value[r->valueLength++] = c;
    else
        a->cut = 1;
    a->value[r->valueLength] = '\0';
}

// White space in a value reads as blanks, CR LF as one.
static void AppendValueChar(XmlReader *r, char c)
{
    if (c == '\n' && r->lastWasCR) {
        r->lastWasCR = 0;
        return;
    }
    r->lastWasCR = c == '\r';
    AppendValue(r, IsSpace((unsigned char)c) ? ' ' : c);
}

static void BeginTag(XmlReader *r)
{
    FlushText(r);
    r->nameLength = 0;
    r->name[0] = '\0';
    r->attributeCount = 0;
    r->tagOversize = 0;
}

static void BeginAttribute(XmlReader *r)
{
    if (++r->attributeCount > kXmlAttributeMax) {
        r->tagOversize = 1;
        r->attributeCount = kXmlAttributeMax + 1;
    }
    XmlAttribute *a = CurrentAttribute(r);
    if (a != NULL) {
        a->name[0] = '\0';
        a->value[0] = '\0';
        a->cut = 0;
    }
    r->nameLength = 0;
    r->valueLength = 0;
}

static void Fail(XmlReader *r)
{
    r->errors++;
    r->depth = 0;
    r->textLength = 0;
    r->textOversize = 0;
    r->state = kSkip;
    if (r->events.error)
        r->events.error(r->events.context);
}

static void StartElement(XmlReader *r, int empty)
{
    if (r->depth > 0 && r->events.topLevel && r->events.topLevel(r->events.context, r->name)) {
        r->errors++;
        r->depth = 0;
        if (r->events.error)
            r->events.error(r->events.context);
    }
    if (r->depth >= kXmlDepthMax) {
        Fail(r);
        return;
    }
    int count = r->attributeCount > kXmlAttributeMax ? kXmlAttributeMax : r->attributeCount;
    memcpy(r->stack[r->depth], r->name, sizeof r->name);
    if (r->events.start)
        r->events.start(r->events.context, r->depth, r->name, r->attributes, count, r->tagOversize);
    r->depth++;
    if (empty) {
        r->depth--;
        if (r->events.end)
            r->events.end(r->events.context, r->depth, r->name);
    }
    r->state = kText;
}

static void EndElement(XmlReader *r)
{
    if (r->depth == 0 || strcmp(r->stack[r->depth - 1], r->name) != 0) {
        Fail(r);
        return;
    }
    r->depth--;
    if (r->events.end)
        r->events.end(r->events.context, r->depth, r->name);
    r->state = kText;
}

// --- Entities: the five named ones and character references ---

static int AppendUtf8(char *out, unsigned long code)
{
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | (code >> 12));
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (code >> 18));
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

// Decodes the entity collected in r->entity into out; 0 when it is not one.
static int DecodeEntity(const XmlReader *r, char *out)
{
    static const struct { const char *name; char c; } named[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    const char *e = r->entity;
    if (e[0] != '#') {
        for (const auto &n : named)
            if (strcmp(e, n.name) == 0) {
                out[0] = n.c;
                return 1;
            }
        return 0;
    }
    int hex = e[1] == 'x';
    const char *p = e + 1 + hex;
    if (*p == '\0')
        return 0;
    unsigned long code = 0;
    for (; *p; ++p) {
        int digit = *p >= '0' && *p <= '9' ? *p - '0'
                    : hex && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                    : hex && *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                                   : -1;
        if (digit < 0)
            return 0;
        code = code * (hex ? 16 : 10) + (unsigned long)digit;
        if (code > 0x10FFFF)
            return 0;
    }
    if (code == 0 || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return AppendUtf8(out, code);
}

static void EntityChar(XmlReader *r, char c)
{
    if (c != ';') {
        // Leading zeros of a character reference take no room.
        if (c == '0' && r->entityLength > 0 && r->entity[0] == '#' &&
            r->entityLength == (r->entityLength >= 2 && r->entity[1] == 'x' ? 2u : 1u))
            return;
        if (r->entityLength + 1 >= sizeof r->entity) {
            Fail(r);
            return;
        }
        r->entity[r->entityLength++] = c;
        r->entity[r->entityLength] = '\0';
        return;
    }
    char out[4];
    int n = DecodeEntity(r, out);
    if (n == 0) {
        Fail(r);
        return;
    }
    for (int i = 0; i < n; ++i) {
        if (r->returnState == kValue)
            AppendValue(r, out[i]);
        else
            AppendText(r, out[i]);
    }
    r->lastWasCR = 0;
    r->state = r->returnState;
}

// --- Sections skipped to a closing mark: comments, instructions, CDATA ---

static void Expect(XmlReader *r, const char *mark, int state)
{
    strcpy(r->match, mark);
    r->matchLength = strlen(mark);
    r->matched = 0;
    r->state = state;
}

// Advances the match of the closing mark by c; 1 when the mark is complete.
// The marks are "X>" or "XX>", so a run of X keeps the longest match; with
// keepText what falls out of the match is text (CDATA).
static int Match(XmlReader *r, char c, int keepText)
{
    if (c == r->match[r->matched])
        return ++r->matched == r->matchLength;
    size_t keep = 0;
    if (c == r->match[0])
        keep = r->matchLength == 3 && r->matched == 2 ? 2 : 1;
    if (keepText) {
        // Of the matched marks and c, all but the last `keep` are text.
        size_t dropped = r->matched + 1 - keep;
        for (size_t i = 0; i < dropped; ++i)
            AppendTextChar(r, i < r->matched ? r->match[i] : c);
    }
    r->matched = keep;
    return 0;
}

static void BangChar(XmlReader *r, char c)
{
    static const char cdata[] = "[CDATA[";
    r->entity[r->entityLength++] = c;
    r->entity[r->entityLength] = '\0';
    if (strcmp(r->entity, "--") == 0) {
        Expect(r, "-->", kComment);
    } else if (strcmp(r->entity, cdata) == 0) {
        r->lastWasCR = 0;
        Expect(r, "]]>", kCData);
    } else if (strncmp(cdata, r->entity, r->entityLength) != 0 && strncmp("--", r->entity, r->entityLength) != 0) {
        r->state = c == '>' ? kText : kDeclaration;
    }
}

// --- The machine ---

// Text, and the markup that is not an element's tag.
static void StepOutsideTags(XmlReader *r, char c)
{
    unsigned char u = (unsigned char)c;
    switch (r->state) {
    case kText:
        if (c == '<') {
            r->lastWasCR = 0;
            r->state = kOpen;
        } else if (c == '&') {
            r->lastWasCR = 0;
            r->entityLength = 0;
            r->entity[0] = '\0';
            r->returnState = kText;
            r->state = kEntity;
        } else {
            AppendTextChar(r, c);
        }
        break;
    case kSkip:
        if (c == '<')
            r->state = kOpen;
        break;
    case kOpen:
        if (c == '/') {
            BeginTag(r);
            r->state = kEndName;
        } else if (c == '?') {
            Expect(r, "?>", kInstruction);
        } else if (c == '!') {
            r->entityLength = 0;
            r->state = kBang;
        } else if (IsNameStart(u)) {
            BeginTag(r);
            AppendName(r, r->name, &r->nameLength, c);
            r->state = kStartName;
        } else {
            Fail(r);
        }
        break;
    case kBang:
        BangChar(r, c);
        break;
    case kComment:
    case kInstruction:
        if (Match(r, c, 0))
            r->state = kText;
        break;
    case kCData:
        if (Match(r, c, 1))
            r->state = kText;
        break;
    case kDeclaration:
        if (c == '>')
            r->state = kText;
        break;
    }
}

// An element's start tag: its name and its attributes' names.
static void StepInTag(XmlReader *r, char c)
{
    unsigned char u = (unsigned char)c;
    switch (r->state) {
    case kStartName:
        if (IsNameChar(u))
            AppendName(r, r->name, &r->nameLength, c);
        else if (IsSpace(u))
            r->state = kInTag;
        else if (c == '>')
            StartElement(r, 0);
        else if (c == '/')
            r->state = kEmpty;
        else
            Fail(r);
        break;
    case kInTag:
        if (IsSpace(u))
            break;
        if (c == '>') {
            StartElement(r, 0);
        } else if (c == '/') {
            r->state = kEmpty;
        } else if (IsNameStart(u)) {
            BeginAttribute(r);
            XmlAttribute *a = CurrentAttribute(r);
            static char discard[kXmlNameMax];
            AppendName(r, a ? a->name : discard, &r->nameLength, c);
            r->state = kAttributeName;
        } else {
            Fail(r);
        }
        break;
    case kAttributeName:
        if (IsNameChar(u)) {
            XmlAttribute *a = CurrentAttribute(r);
            static char discard[kXmlNameMax];
            AppendName(r, a ? a->name : discard, &r->nameLength, c);
        } else if (c == '=') {
            r->state = kBeforeValue;
        } else if (IsSpace(u)) {
            r->state = kAfterAttributeName;
        } else {
            Fail(r);
        }
        break;
    case kAfterAttributeName:
        if (c == '=')
            r->state = kBeforeValue;
        else if (!IsSpace(u))
            Fail(r);
        break;
    }
}

// An attribute's value, quoted.
static void StepValue(XmlReader *r, char c)
{
    unsigned char u = (unsigned char)c;
    switch (r->state) {
    case kBeforeValue:
        if (c == '"' || c == '\'') {
            r->quote = c;
            r->lastWasCR = 0;
            r->state = kValue;
        } else if (!IsSpace(u)) {
            Fail(r);
        }
        break;
    case kValue:
        if (c == r->quote) {
            r->state = kAfterValue;
        } else if (c == '&') {
            r->lastWasCR = 0;
            r->entityLength = 0;
            r->entity[0] = '\0';
            r->returnState = kValue;
            r->state = kEntity;
        } else if (c == '<') {
            Fail(r);
        } else {
            AppendValueChar(r, c);
        }
        break;
    case kAfterValue:
        if (IsSpace(u))
            r->state = kInTag;
        else if (c == '>')
            StartElement(r, 0);
        else if (c == '/')
            r->state = kEmpty;
        else
            Fail(r);
        break;
    }
}

// An empty element's end, an end tag, an entity.
static void StepTagEnd(XmlReader *r, char c)
{
    unsigned char u = (unsigned char)c;
    switch (r->state) {
    case kEmpty:
        if (c == '>')
            StartElement(r, 1);
        else
            Fail(r);
        break;
    case kEndName:
        if (r->nameLength == 0 ? IsNameStart(u) : IsNameChar(u))
            AppendName(r, r->name, &r->nameLength, c);
        else if (c == '>' && r->nameLength > 0)
            EndElement(r);
        else if (IsSpace(u) && r->nameLength > 0)
            r->state = kEndSpace;
        else
            Fail(r);
        break;
    case kEndSpace:
        if (c == '>')
            EndElement(r);
        else if (!IsSpace(u))
            Fail(r);
        break;
    case kEntity:
        EntityChar(r, c);
        break;
    }
}

static void Step(XmlReader *r, char c)
{
    switch (r->state) {
    case kText:
    case kSkip:
    case kOpen:
    case kBang:
    case kComment:
    case kInstruction:
    case kCData:
    case kDeclaration:
        StepOutsideTags(r, c);
        break;
    case kStartName:
    case kInTag:
    case kAttributeName:
    case kAfterAttributeName:
        StepInTag(r, c);
        break;
    case kBeforeValue:
    case kValue:
    case kAfterValue:
        StepValue(r, c);
        break;
    default:
        StepTagEnd(r, c);
        break;
    }
}

void XmlFeed(XmlReader *r, const char *data, size_t length)
{
    const char *end = data + length;
    while (data < end) {
        if (r->state == kText) {
            // The common case: a run of plain text, copied without the machine.
            const char *p = data;
            while (p < end && *p != '<' && *p != '&' && *p != '\r' && *p != '\n')
                ++p;
            size_t n = (size_t)(p - data);
            if (n > 0) {
                size_t room = sizeof r->text - 1 - r->textLength;
                if (n > room) {
                    r->textOversize = 1;
                    memcpy(r->text + r->textLength, data, room);
                    r->textLength += room;
                } else {
                    memcpy(r->text + r->textLength, data, n);
                    r->textLength += n;
                }
                r->lastWasCR = 0;
                data = p;
                continue;
            }
        } else if (r->state == kSkip) {
            const char *p = (const char *)memchr(data, '<', (size_t)(end - data));
            if (p == NULL)
                return;
            data = p;
        }
        char c = *data++;
        // An error at a '<' resumes at that very '<'.
        int before = r->state;
        Step(r, c);
        if (r->state == kSkip && before != kSkip && c == '<')
            r->state = kOpen;
    }
}
