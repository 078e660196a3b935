// The JSON reader: each document fed whole, byte by byte and at random
// split points must give the same transcript of events.
#include "JsonStream.h"
#include "WireTest.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

// K key, S string (~ when cut), N number (=integer when exact), T F Z for
// true false null, { } [ ] containers; each with its depth. $ complete,
// !n error n.
void OnEvent(void *context, const JsonEvent *e)
{
    std::string &t = *(std::string *)context;
    static const char kMarks[] = "{}[]KSNTFZ";
    t += kMarks[e->kind] + std::to_string(e->depth);
    if (e->kind == kJsonKey || e->kind == kJsonString)
        t += "\"" + Printable(std::string(e->text, e->length)) + (e->cut ? "\"~" : "\"");
    if (e->kind == kJsonNumber) {
        char text[40];
        snprintf(text, sizeof text, "%.17g", e->number);
        t += text;
        if (e->isInteger)
            t += "=" + std::to_string(e->integer);
    }
    t += " ";
}
void OnError(void *context, int error) { *(std::string *)context += "!" + std::to_string(error); }
void OnDone(void *context) { *(std::string *)context += "$"; }

std::string Read(const std::string &document, const std::vector<size_t> &pieces)
{
    std::string t;
    JsonEvents events = {&t, OnEvent, OnError, OnDone};
    JsonReader reader;
    JsonReset(&reader, &events);
    size_t at = 0;
    for (size_t i = 0; at < document.size(); ++i) {
        size_t n = i < pieces.size() ? pieces[i] : document.size() - at;
        n = n < document.size() - at ? n : document.size() - at;
        JsonFeed(&reader, document.data() + at, n);
        at += n;
    }
    JsonFinish(&reader);
    return t;
}

std::string ReadAllWays(const std::string &document)
{
    std::string whole = Read(document, {});
    EXPECT_EQ(whole, Read(document, std::vector<size_t>(document.size(), 1))) << document;
    for (unsigned seed = 1; seed <= 3; ++seed)
        EXPECT_EQ(whole, Read(document, RandomPieces(document.size(), seed))) << document;
    return whole;
}

const std::string kLong(600, 'a');

struct Case {
    std::string document;
    std::string transcript;
} const kCases[] = {
    {R"({"Value":12.5,"ClientTransactionID":4294967295,"ErrorNumber":0,"ErrorMessage":""})",
     R"({0 K1"Value" N112.5 K1"ClientTransactionID" N14294967295=4294967295 K1"ErrorNumber" N10=0 )"
     R"(K1"ErrorMessage" S1"" }0 $)"},
    {" {\"Value\" : [ true , false,null, {} ,[]]}\r\n\t ", R"({0 K1"Value" [1 T2 F2 Z2 {2 }2 [2 ]2 ]1 }0 $)"},
    {"42", "N042=42 $"},
    {"-0", "N0-0=0 $"},
    {"[9223372036854775807,-9223372036854775808,18446744073709551616,1.0,2e0]",
     "[0 N19.2233720368547758e+18=9223372036854775807 N1-9.2233720368547758e+18=-9223372036854775808 "
     "N11.8446744073709552e+19 N11 N12 ]0 $"},
    // Escapes and \u, surrogate pairs and raw UTF-8.
    {R"("\"\\\/\b\f\n\r\t")", R"(S0"\x22\x5c/\x08\x0c\x0a\x0d\x09" $)"},
    {R"(["\u0041\u00e9\u20AC\ud83d\ude00\u0000", "é"])", R"([0 S1"A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x00" S1"\xc3\xa9" ]0 $)"},
    {R"("\ud800x")", "!4"},
    {R"("\udc00")", "!4"},
    {R"("\ud800\u0041")", "!4"},
    {"\"\xC0\x80\"", "!3"},
    {"\"\xED\xA0\x80\"", "!3"},
    {"\"a\x01\"", "!3"},
    {R"("\x")", "!1"},
    // Strings beyond the cap: cut on a whole character, not an error.
    {"\"" + kLong + "\"", "S0\"" + std::string(511, 'a') + "\"~ $"},
    {"\"" + std::string(510, 'a') + "\xC3\xA9\"", "S0\"" + std::string(510, 'a') + "\"~ $"},
    {"{\"" + std::string(40, 'k') + "\":1}", "{0 K1\"" + std::string(40, 'k') + "\" N11=1 }0 $"},
    // Nesting, numbers beyond their caps, and garbage.
    {std::string(16, '[') + std::string(16, ']'), "[0 [1 [2 [3 [4 [5 [6 [7 [8 [9 [10 [11 [12 [13 [14 [15 ]15 ]14 ]13 ]12 "
                                                  "]11 ]10 ]9 ]8 ]7 ]6 ]5 ]4 ]3 ]2 ]1 ]0 $"},
    {std::string(17, '[') + std::string(17, ']'), "[0 [1 [2 [3 [4 [5 [6 [7 [8 [9 [10 [11 [12 [13 [14 [15 !2"},
    {std::string(64, '1'), "!5"},
    {"[1e400]", "[0 !6"},
    {"[1e-400]", "[0 N10 ]0 $"},
    {"{} x", "{0 }0 $!7"},
    {"{}{}", "{0 }0 $!7"},
    {R"({"a":1,})", R"({0 K1"a" N11=1 !1)"},
    {"[1,]", "[0 N11=1 !1"},
    {"[01]", "[0 !1"},
    {"[1.]", "[0 !1"},
    {"[-]", "[0 !1"},
    {"[.5]", "[0 !1"},
    {"[1e]", "[0 !1"},
    {R"({"a" 1})", R"({0 K1"a" !1)"},
    {"{'a':1}", "{0 !1"},
    {"[tru]", "[0 !1"},
    {"tru", "!8"},
    {"[1", "[0 !8"},
    {"", "!8"},
    {"\xEF\xBB\xBF{}", "!1"},
};

TEST(JsonStream, Documents)
{
    for (const Case &c : kCases)
        EXPECT_EQ(c.transcript, ReadAllWays(c.document)) << c.document;
}

// Correctly rounded, in the C locale and with a decimal comma alike.
struct NumberCase {
    const char *text;
    uint64_t bits;
} const kNumbers[] = {
    {"0.1", 0x3fb999999999999aULL},
    {"1e23", 0x44b52d02c7e14af6ULL},
    {"9007199254740993", 0x4340000000000000ULL},
    {"9007199254740993.0000000001", 0x4340000000000001ULL},
    {"2.2250738585072011e-308", 0x000fffffffffffffULL},
    {"2.2250738585072012e-308", 0x0010000000000000ULL},
    {"2.225073858507201136057409796709131975934819546351645648e-308", 0x000fffffffffffffULL},
    {"1.7976931348623157e308", 0x7fefffffffffffffULL},
    {"1.7976931348623158e308", 0x7fefffffffffffffULL},
    {"4.9406564584124654e-324", 0x0000000000000001ULL},
    {"2.4703282292062327e-324", 0x0000000000000000ULL},
    {"2.4703282292062328e-324", 0x0000000000000001ULL},
    {"5e-324", 0x0000000000000001ULL},
    {"0.30000000000000004", 0x3fd3333333333334ULL},
    {"123456789012345678901234567890", 0x45f8ee90ff6c373eULL},
    {"1.00000000000000011102230246251565404236316680908203125", 0x3ff0000000000000ULL},
    {"1.00000000000000011102230246251565404236316680908203126", 0x3ff0000000000001ULL},
    {"7083340984143366.6", 0x43392a42d72ece07ULL},
    {"76550321682.30567235", 0x4231d2c136124e41ULL},
    {"7.4", 0x401d99999999999aULL},
    {"23.999999999999996", 0x4037ffffffffffffULL},
    {"-89.99999999999999", 0xc0567fffffffffffULL},
    {"3.14159265358979323846264338327950288", 0x400921fb54442d18ULL},
    {"1e-7", 0x3e7ad7f29abcaf48ULL},
    {"8.5e-9", 0x3e4240eca6a943feULL},
    {"0.000001234e5", 0x3fbf972474538ef3ULL},
    {"1E+2", 0x4059000000000000ULL},
    {"-0.0", 0x8000000000000000ULL},
};

void OnNumber(void *context, const JsonEvent *e)
{
    if (e->kind == kJsonNumber)
        memcpy(context, &e->number, sizeof e->number);
}

void CheckNumbers(const char *locale)
{
    for (const NumberCase &c : kNumbers) {
        double value = 1234;
        JsonEvents events = {&value, OnNumber, NULL, NULL};
        JsonReader reader;
        JsonReset(&reader, &events);
        JsonFeed(&reader, c.text, strlen(c.text));
        EXPECT_EQ(1, JsonFinish(&reader)) << c.text;
        uint64_t bits;
        memcpy(&bits, &value, sizeof bits);
        EXPECT_EQ(c.bits, bits) << c.text << " in " << locale;
    }
}

TEST(JsonStream, NumbersCorrectlyRounded)
{
    CheckNumbers("C");
    std::string why;
    if (!UseDecimalComma(&why))
        GTEST_SKIP() << why;
    CheckNumbers("a decimal-comma locale");
    UseCLocale();
}

// What a consumer needs of the path: the pairs of a DeviceState reply.
void OnPair(void *context, const JsonEvent *e)
{
    std::string &t = *(std::string *)context;
    if (e->depth == 3 && strcmp(e->path[0].key, "Value") == 0 && e->kind != kJsonKey)
        t += std::to_string(e->path[1].index) + e->path[2].key + "=" + (e->text ? e->text : "#") + " ";
}

TEST(JsonStream, PathLeadsToListMembers)
{
    const std::string reply = R"({"ClientTransactionID":5,"Value":[{"Name":"RightAscension","Value":1.5},)"
                              R"({"Name":"Slewing","Value":true,"Extra":{"Value":"x"}}],"ErrorNumber":0})";
    std::string t;
    JsonEvents events = {&t, OnPair, NULL, NULL};
    JsonReader reader;
    JsonReset(&reader, &events);
    JsonFeed(&reader, reply.data(), reply.size());
    EXPECT_EQ(1, JsonFinish(&reader));
    EXPECT_EQ("0Name=RightAscension 0Value=# 1Name=Slewing 1Value=# 1Extra=# 1Extra=# ", t);
}

} // namespace
