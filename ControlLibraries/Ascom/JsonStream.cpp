// The streaming JSON reader: one state machine over the bytes, whatever the
// size of each piece fed.
#include "JsonStream.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

enum {
    kValue, kValueOrEnd, kKeyOrEnd, kKey, kColon, kAfterValue, kDone, kError,
    kString, kEscape, kHex, kLowBackslash, kLowU, kUtf8, kLiteral,
    kNumMinus, kNumZero, kNumInt, kNumDot, kNumFrac, kNumE, kNumExpSign, kNumExp,
};

static int IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static int IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

void JsonReset(JsonReader *reader, const JsonEvents *events)
{
    // The buffers need no clearing: each is written before it is read.
    reader->events = *events;
    reader->state = kValue;
    reader->depth = 0;
    reader->error = kJsonErrorNone;
    reader->complete = 0;
    reader->stringLength = 0;
    reader->numberLength = 0;
}

static void Fail(JsonReader *r, int error)
{
    if (r->error != kJsonErrorNone)
        return;
    r->error = error;
    r->state = kError;
    if (r->events.error)
        r->events.error(r->events.context, error);
}

static void Emit(JsonReader *r, JsonEvent *e)
{
    e->depth = r->depth;
    e->path = r->path;
    r->events.event(r->events.context, e);
}

static void EmitKind(JsonReader *r, int kind)
{
    JsonEvent e;
    memset(&e, 0, sizeof e);
    e.kind = kind;
    Emit(r, &e);
}

// A value has ended: the document, or one more member or element.
static void ValueEnded(JsonReader *r)
{
    if (r->depth > 0) {
        r->state = kAfterValue;
        return;
    }
    r->state = kDone;
    r->complete = 1;
    if (r->events.done)
        r->events.done(r->events.context);
}

// --- Containers ---

static void StartContainer(JsonReader *r, int object)
{
    if (r->depth == kJsonDepthMax)
        return Fail(r, kJsonErrorDepth);
    EmitKind(r, object ? kJsonObjectStart : kJsonArrayStart);
    JsonLevel *level = &r->path[r->depth];
    level->key[0] = '\0';
    level->keyCut = 0;
    level->index = object ? -1 : 0;
    r->inObject[r->depth++] = (unsigned char)object;
    r->state = object ? kKeyOrEnd : kValueOrEnd;
}

static void EndContainer(JsonReader *r)
{
    int object = r->inObject[--r->depth];
    EmitKind(r, object ? kJsonObjectEnd : kJsonArrayEnd);
    ValueEnded(r);
}

// --- Strings ---

// Cut text ends on a whole character: an incomplete UTF-8 sequence at its
// end goes (the text is valid UTF-8 up to there).
static size_t WholeCharacters(const char *text, size_t length)
{
    size_t at = length;
    for (int back = 0; back < 4 && at > 0; ++back) {
        unsigned char c = (unsigned char)text[at - 1];
        if (c < 0x80)
            return length;
        --at;
        if (c >= 0xC0) {
            size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return length - at >= need ? length : at;
        }
    }
    return length;
}

// A run of bytes, of which as many as fit.
static void AppendRun(JsonReader *r, const char *data, size_t n)
{
    if (r->stringCut)
        return;
    size_t room = kJsonStringMax - 1 - r->stringLength;
    if (n > room) {
        n = room;
        r->stringCut = 1;
    }
    memcpy(r->string + r->stringLength, data, n);
    r->stringLength += n;
}

static void AppendCodepoint(JsonReader *r, unsigned cp)
{
    char bytes[4];
    size_t n;
    if (cp < 0x80) {
        bytes[0] = (char)cp;
        n = 1;
    } else if (cp < 0x800) {
        bytes[0] = (char)(0xC0 | cp >> 6);
        bytes[1] = (char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        bytes[0] = (char)(0xE0 | cp >> 12);
        bytes[1] = (char)(0x80 | (cp >> 6 & 0x3F));
        bytes[2] = (char)(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        bytes[0] = (char)(0xF0 | cp >> 18);
        bytes[1] = (char)(0x80 | (cp >> 12 & 0x3F));
        bytes[2] = (char)(0x80 | (cp >> 6 & 0x3F));
        bytes[3] = (char)(0x80 | (cp & 0x3F));
        n = 4;
    }
    AppendRun(r, bytes, n);
}

static void StartString(JsonReader *r, int key)
{
    r->stringIsKey = key;
    r->stringLength = 0;
    r->stringCut = 0;
    r->state = kString;
}

static void EndString(JsonReader *r)
{
    if (r->stringCut)
        r->stringLength = WholeCharacters(r->string, r->stringLength);
    r->string[r->stringLength] = '\0';
    JsonEvent e;
    memset(&e, 0, sizeof e);
    e.text = r->string;
    e.length = r->stringLength;
    e.cut = r->stringCut;
    if (r->stringIsKey) {
        // The member's name goes into the path before its own event.
        JsonLevel *level = &r->path[r->depth - 1];
        size_t n = r->stringLength;
        level->keyCut = n > kJsonKeyMax - 1 || r->stringCut;
        if (n > kJsonKeyMax - 1)
            n = WholeCharacters(r->string, kJsonKeyMax - 1);
        memcpy(level->key, r->string, n);
        level->key[n] = '\0';
        e.kind = kJsonKey;
        Emit(r, &e);
        if (r->state != kError)
            r->state = kColon;
        return;
    }
    e.kind = kJsonString;
    Emit(r, &e);
    ValueEnded(r);
}

// The first byte of a UTF-8 sequence: how many follow, and the range of the
// next (no overlong forms, no surrogates, nothing beyond U+10FFFF).
static void StartUtf8(JsonReader *r, unsigned char c)
{
    r->utf8Low = 0x80;
    r->utf8High = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        r->utf8Need = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
        r->utf8Need = 2;
        if (c == 0xE0)
            r->utf8Low = 0xA0;
        else if (c == 0xED)
            r->utf8High = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        r->utf8Need = 3;
        if (c == 0xF0)
            r->utf8Low = 0x90;
        else if (c == 0xF4)
            r->utf8High = 0x8F;
    } else
        return Fail(r, kJsonErrorEncoding);
    char byte = (char)c;
    AppendRun(r, &byte, 1);
    r->state = kUtf8;
}

static void Escape(JsonReader *r, unsigned char c)
{
    static const char kFrom[] = "\"\\/bfnrt";
    static const char kTo[] = "\"\\/\b\f\n\r\t";
    if (c == 'u') {
        r->codepoint = 0;
        r->hexCount = 0;
        r->highSurrogate = 0;
        r->state = kHex;
        return;
    }
    const char *at = c != 0 ? strchr(kFrom, c) : NULL;
    if (at == NULL)
        return Fail(r, kJsonErrorSyntax);
    AppendRun(r, &kTo[at - kFrom], 1);
    r->state = kString;
}

static void HexDigit(JsonReader *r, unsigned char c)
{
    unsigned digit;
    if (IsDigit(c))
        digit = c - '0';
    else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
    else
        return Fail(r, kJsonErrorSyntax);
    r->codepoint = r->codepoint << 4 | digit;
    if (++r->hexCount < 4)
        return;
    unsigned cp = r->codepoint;
    if (r->highSurrogate != 0) {
        if (cp < 0xDC00 || cp > 0xDFFF)
            return Fail(r, kJsonErrorSurrogate);
        cp = 0x10000 + ((r->highSurrogate - 0xD800) << 10) + (cp - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDBFF) {
        r->highSurrogate = cp;
        r->state = kLowBackslash;
        return;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF)
        return Fail(r, kJsonErrorSurrogate);
    AppendCodepoint(r, cp);
    r->state = kString;
}

// --- Numbers ---

static const double kPowersOfTen[] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

// The C library's conversion, correctly rounded on both builds: glibc's, and
// on Windows mingw's own (gdtoa) rather than msvcrt's, which the headers pick
// for strtod only with their C99 extensions on; __mingw_strtod names it
// whatever they say. It sees digits and an exponent only, no decimal point,
// so the process locale does not matter.
static double ConvertDigits(const char *text)
{
#ifdef __MINGW32__
    return __mingw_strtod(text, NULL);
#else
    return strtod(text, NULL);
#endif
}

// number holds a valid JSON number. Its value is digits x 10^exponent, from
// the significant digits alone; up to 15 digits and 10^22 the one rounding
// of a multiplication or division is the correct one, else the C library's.
static int ConvertNumber(const char *text, double *value)
{
    const char *p = text;
    int negative = *p == '-';
    if (negative)
        ++p;
    char digits[kJsonNumberMax + 16];
    size_t count = 0;
    long exponent = 0;
    unsigned long long mantissa = 0;
    for (int fraction = 0; *p != '\0' && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            fraction = 1;
            continue;
        }
        if (fraction)
            --exponent;
        if (count == 0 && *p == '0')
            continue;
        digits[count++] = *p;
        mantissa = mantissa * 10 + (unsigned)(*p - '0');
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        int minus = *p == '-';
        if (*p == '-' || *p == '+')
            ++p;
        long e = 0;
        for (; *p != '\0'; ++p)
            if (e < 100000)
                e = e * 10 + (*p - '0');
        exponent += minus ? -e : e;
    }
    double v;
    if (count == 0)
        v = 0;
    else if (count <= 15 && exponent >= -22 && exponent <= 22)
        v = exponent < 0 ? (double)mantissa / kPowersOfTen[-exponent] : (double)mantissa * kPowersOfTen[exponent];
    else {
        size_t n = count;
        digits[n++] = 'e';
        if (exponent < 0) {
            digits[n++] = '-';
            exponent = -exponent;
        }
        char reversed[12];
        int r = 0;
        do
            reversed[r++] = (char)('0' + exponent % 10);
        while ((exponent /= 10) != 0);
        while (r > 0)
            digits[n++] = reversed[--r];
        digits[n] = '\0';
        v = ConvertDigits(digits);
    }
    *value = negative ? -v : v;
    return isfinite(v);
}

// An integer's exact value, when it fits 64 bits.
static int ConvertInteger(const char *text, long long *value)
{
    int negative = *text == '-';
    const char *p = text + negative;
    unsigned long long u = 0;
    for (; *p != '\0'; ++p) {
        unsigned digit = (unsigned)(*p - '0');
        if (u > (~0ULL - digit) / 10)
            return 0;
        u = u * 10 + digit;
    }
    const unsigned long long limit = negative ? 1ULL << 63 : (1ULL << 63) - 1;
    if (u > limit)
        return 0;
    *value = negative ? (long long)(0 - u) : (long long)u;
    return 1;
}

static void AppendNumber(JsonReader *r, char c, int state)
{
    if (r->numberLength + 1 >= kJsonNumberMax)
        return Fail(r, kJsonErrorNumberLong);
    r->number[r->numberLength++] = c;
    r->state = state;
}

static void StartNumber(JsonReader *r, char c)
{
    r->numberLength = 0;
    r->numberInteger = 1;
    AppendNumber(r, c, c == '-' ? kNumMinus : c == '0' ? kNumZero : kNumInt);
}

static void EndNumber(JsonReader *r)
{
    r->number[r->numberLength] = '\0';
    JsonEvent e;
    memset(&e, 0, sizeof e);
    e.kind = kJsonNumber;
    if (!ConvertNumber(r->number, &e.number))
        return Fail(r, kJsonErrorNumberRange);
    e.isInteger = r->numberInteger && ConvertInteger(r->number, &e.integer);
    Emit(r, &e);
    ValueEnded(r);
}

// One byte in a number; returns 0 when the byte ends it (to be read again).
static int NumberByte(JsonReader *r, unsigned char c)
{
    switch (r->state) {
    case kNumMinus:
        if (!IsDigit(c))
            return Fail(r, kJsonErrorSyntax), 1;
        AppendNumber(r, (char)c, c == '0' ? kNumZero : kNumInt);
        return 1;
    case kNumZero:
    case kNumInt:
        if (IsDigit(c) && r->state == kNumInt)
            return AppendNumber(r, (char)c, kNumInt), 1;
        if (c == '.')
            return r->numberInteger = 0, AppendNumber(r, '.', kNumDot), 1;
        if (c == 'e' || c == 'E')
            return r->numberInteger = 0, AppendNumber(r, 'e', kNumE), 1;
        if (IsDigit(c))
            return Fail(r, kJsonErrorSyntax), 1;   // a leading zero
        break;
    case kNumDot:
        if (!IsDigit(c))
            return Fail(r, kJsonErrorSyntax), 1;
        AppendNumber(r, (char)c, kNumFrac);
        return 1;
    case kNumFrac:
        if (IsDigit(c))
            return AppendNumber(r, (char)c, kNumFrac), 1;
        if (c == 'e' || c == 'E')
            return AppendNumber(r, 'e', kNumE), 1;
        break;
    case kNumE:
        if (c == '+' || c == '-')
            return AppendNumber(r, (char)c, kNumExpSign), 1;
        /* fall through */
    case kNumExpSign:
        if (!IsDigit(c))
            return Fail(r, kJsonErrorSyntax), 1;
        AppendNumber(r, (char)c, kNumExp);
        return 1;
    case kNumExp:
        if (IsDigit(c))
            return AppendNumber(r, (char)c, kNumExp), 1;
        break;
    }
    EndNumber(r);
    return 0;
}

// --- Values ---

static void StartValue(JsonReader *r, unsigned char c)
{
    switch (c) {
    case '{':
        return StartContainer(r, 1);
    case '[':
        return StartContainer(r, 0);
    case '"':
        return StartString(r, 0);
    case 't':
        r->literal = "true";
        break;
    case 'f':
        r->literal = "false";
        break;
    case 'n':
        r->literal = "null";
        break;
    default:
        if (c == '-' || IsDigit(c))
            return StartNumber(r, (char)c);
        return Fail(r, kJsonErrorSyntax);
    }
    r->literalAt = 1;
    r->state = kLiteral;
}

static void LiteralByte(JsonReader *r, unsigned char c)
{
    if ((unsigned char)r->literal[r->literalAt] != c)
        return Fail(r, kJsonErrorSyntax);
    if (r->literal[++r->literalAt] != '\0')
        return;
    EmitKind(r, r->literal[0] == 't' ? kJsonTrue : r->literal[0] == 'f' ? kJsonFalse : kJsonNull);
    ValueEnded(r);
}

// Between tokens: white space, and the punctuation the state allows.
static void Structure(JsonReader *r, unsigned char c)
{
    if (IsSpace(c))
        return;
    switch (r->state) {
    case kValue:
        return StartValue(r, c);
    case kValueOrEnd:
        return c == ']' ? EndContainer(r) : StartValue(r, c);
    case kKeyOrEnd:
        if (c == '}')
            return EndContainer(r);
        /* fall through */
    case kKey:
        return c == '"' ? StartString(r, 1) : Fail(r, kJsonErrorSyntax);
    case kColon:
        if (c != ':')
            return Fail(r, kJsonErrorSyntax);
        r->state = kValue;
        return;
    case kAfterValue: {
        int object = r->inObject[r->depth - 1];
        if (c == ',') {
            if (!object)
                r->path[r->depth - 1].index++;
            r->state = object ? kKey : kValue;
        } else if (c == (object ? '}' : ']'))
            EndContainer(r);
        else
            Fail(r, kJsonErrorSyntax);
        return;
    }
    case kDone:
        return Fail(r, kJsonErrorTrailing);
    }
}

void JsonFeed(JsonReader *r, const char *data, size_t length)
{
    size_t i = 0;
    while (i < length && r->state != kError) {
        unsigned char c = (unsigned char)data[i];
        switch (r->state) {
        case kString: {
            // A run of plain characters at once.
            size_t end = i;
            while (end < length) {
                unsigned char b = (unsigned char)data[end];
                if (b < 0x20 || b >= 0x80 || b == '"' || b == '\\')
                    break;
                ++end;
            }
            if (end > i) {
                AppendRun(r, data + i, end - i);
                i = end;
                continue;
            }
            if (c == '"')
                EndString(r);
            else if (c == '\\')
                r->state = kEscape;
            else if (c < 0x20)
                Fail(r, kJsonErrorEncoding);
            else
                StartUtf8(r, c);
            break;
        }
        case kUtf8:
            if (c < r->utf8Low || c > r->utf8High) {
                Fail(r, kJsonErrorEncoding);
                break;
            }
            AppendRun(r, data + i, 1);
            r->utf8Low = 0x80;
            r->utf8High = 0xBF;
            if (--r->utf8Need == 0)
                r->state = kString;
            break;
        case kEscape:
            Escape(r, c);
            break;
        case kHex:
            HexDigit(r, c);
            break;
        case kLowBackslash:
            if (c == '\\')
                r->state = kLowU;
            else
                Fail(r, kJsonErrorSurrogate);
            break;
        case kLowU:
            if (c == 'u') {
                r->codepoint = 0;
                r->hexCount = 0;
                r->state = kHex;
            } else
                Fail(r, kJsonErrorSurrogate);
            break;
        case kLiteral:
            LiteralByte(r, c);
            break;
        case kNumMinus:
        case kNumZero:
        case kNumInt:
        case kNumDot:
        case kNumFrac:
        case kNumE:
        case kNumExpSign:
        case kNumExp:
            if (!NumberByte(r, c))
                continue;    // the number ended before this byte
            break;
        default:
            Structure(r, c);
            break;
        }
        ++i;
    }
}

int JsonFinish(JsonReader *r)
{
    if (r->error != kJsonErrorNone)
        return 0;
    if (r->depth == 0 &&
        (r->state == kNumZero || r->state == kNumInt || r->state == kNumFrac || r->state == kNumExp))
        EndNumber(r);
    if (r->complete && r->error == kJsonErrorNone)
        return 1;
    Fail(r, kJsonErrorTruncated);
    return 0;
}
