// The log's angle text and the host-string helper, called directly: the
// tables of hour and degree strings, rounding, the text for angles whose count
// does not fit, and a sweep around rounding boundaries whose strings must be
// the same on both builds (its digest comes from Tests/Unit/angle_sweep.py, a
// model that rounds and splits the count by exact rational arithmetic).
#include "ControlLibraryBinding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

unsigned char *PStringAssign(unsigned char *destination, const char *source);

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string HourText(double radians)
{
    char buff[kAngleTextSize];
    memset(buff, 'x', sizeof buff);
    LoadHourStrFromRads(buff, radians);
    return std::string(buff, strnlen(buff, sizeof buff));
}

std::string DegreeText(double radians, int form)
{
    char buff[kAngleTextSize];
    memset(buff, 'x', sizeof buff);
    LoadDegreeStrFromRads(buff, radians, form);
    return std::string(buff, strnlen(buff, sizeof buff));
}

// Runs `write` with the log stream pointed at a scratch file; returns what it logged.
template <class F> std::string Logged(F write)
{
    const char *path = "angle-text-log.tmp";
    LogFile = fopen(path, "w+b");
    EXPECT_NE(LogFile, nullptr);
    write();
    std::string text;
    if (LogFile) {
        fflush(LogFile);
        rewind(LogFile);
        char chunk[256];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, LogFile)) > 0)
            text.append(chunk, n);
        fclose(LogFile);
    }
    LogFile = nullptr;
    remove(path);
    return text;
}

TEST(Round, NearestWithHalvesUpward)
{
    const struct { double in, out; } cases[] = {
        {2.5, 3}, {2.4, 2}, {-2.5, -2}, {-2.6, -3}, {0.5, 1}, {-0.5, 0}, {-0.4, 0},
        {0.49999999999999994, 1},  // 1 - num rounds to exactly 0.5 in double arithmetic
        {4503599627370495.5, 4503599627370496.0},
        {1e300, 1e300}, {-1e300, -1e300}, {kInf, kInf}, {-kInf, -kInf},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Round(c.in), c.out) << "Round(" << c.in << ")";
    EXPECT_TRUE(std::isnan(Round(kNaN)));
}

TEST(HourText, Table)
{
    const struct { double radians; const char *text; } cases[] = {
        {0, "00:00:00.0"},
        {0.25, "00:57:17.7"},
        {1, "03:49:11.0"},
        {1.5707963267948966, "06:00:00.0"},
        {4, "15:16:43.9"},
        {6.28318, "23:59:59.9"},
        {6.283185307179586, "00:00:00.0"},  // a full day folds to 0
        {6.283285307179586, "24:00:01.4"},  // past a day: not folded
        {-0.001, "00:00:-13.-8"},
        {-0.5, "-01:-54:-35.-5"},
        {-0.0, "00:00:00.0"},
        // The last angles whose count of tenths fits a signed 32-bit integer, and the first that do not.
        {15616.941784005156, "59652:19:24.7"},
        {15616.941784005157, "--:--:--.-"},
        {-15616.941791277362, "-59652:-19:-24.-8"},
        {-15616.941791277364, "--:--:--.-"},
        {1e30, "--:--:--.-"}, {-1e30, "--:--:--.-"},
        {kInf, "--:--:--.-"}, {-kInf, "--:--:--.-"}, {kNaN, "--:--:--.-"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HourText(c.radians), c.text) << "radians " << c.radians;
}

TEST(DegreeText, TableWithLogEntries)
{
    const char *kProblem1 = "Problem #1 in RadsToDegreeStr()";
    const char *kProblem2 = "Problem #2 in RadsToDegreeStr()";
    const struct { double radians; int form; const char *text; const char *log; } cases[] = {
        {0.5, 1, "+28:38:52", ""},
        {-0.5, 1, "-28:38:52", ""},
        {-0.5, 2, "-028:38:52", ""},
        {-0.5, 3, "028:38:52", kProblem1},
        {0.12345, 1, "+07:04:23", ""},
        {1.5707963267948966, 1, "+90:00:00", ""},
        {3.141592653589793, 2, "+180:00:00", ""},
        {6.283185307179586, 2, "+360:00:00", ""},
        {4, 3, "229:10:59", ""},
        {-0.0000001, 1, "+00:00:00", ""},   // rounds to zero: positive
        {-0.0000001, 3, "000:00:00", ""},   // and so no complaint about the sign
        {-0.000003, 1, "-00:00:01", ""},
        {-0.0, 1, "+00:00:00", ""},
        {0.5, 0, "", kProblem2},
        {0.5, 4, "", kProblem2},
        {-0.5, -1, "", kProblem2},
        // Around the largest count of arcseconds that fits a signed 32-bit integer.
        {10411.29452267014, 1, "+596523:14:07", ""},
        {-10411.29452267014, 1, "-596523:14:07", ""},
        {10411.294522670141, 1, "--:--:--", ""},
        {-1e30, 1, "--:--:--", ""},
        {kInf, 1, "--:--:--", ""}, {-kInf, 2, "--:--:--", ""}, {kNaN, 1, "--:--:--", ""},
        {-kInf, 3, "--:--:--", kProblem1},
        {kNaN, 0, "", kProblem2},
    };
    for (const auto &c : cases) {
        std::string text;
        std::string log = Logged([&] { text = DegreeText(c.radians, c.form); });
        EXPECT_EQ(text, c.text) << "radians " << c.radians << " form " << c.form;
        EXPECT_EQ(log, c.log) << "radians " << c.radians << " form " << c.form;
    }
}

TEST(AngleText, ProblemEntriesAreDroppedWithoutALog)
{
    LogFile = nullptr;
    EXPECT_EQ(DegreeText(-0.5, 3), "028:38:52");
    EXPECT_EQ(DegreeText(0.5, 9), "");
}

// x and the two doubles on each side of it, in increasing order.
std::vector<double> Neighbours(double x)
{
    double below1 = std::nextafter(x, -kInf), above1 = std::nextafter(x, kInf);
    return {std::nextafter(below1, -kInf), below1, x, above1, std::nextafter(above1, kInf)};
}

// The sweep of angle_sweep.py, in its order: every 97th tenth-of-a-second
// boundary of the hour text and every 131st arcsecond boundary of the degree
// text (both signs, layouts 1 and 2), densely around a full day and 180
// degrees, each boundary with its four nearest neighbours.
std::vector<std::string> BoundarySweep()
{
    std::vector<std::string> out;
    std::vector<long> hourCounts, degreeCounts;
    for (long k = -20; k < 864021; k += 97) hourCounts.push_back(k);
    for (long k = 863990; k < 864011; ++k) hourCounts.push_back(k);
    for (long k = 0; k < 1296001; k += 131) degreeCounts.push_back(k);
    for (long k = 647990; k < 648011; ++k) degreeCounts.push_back(k);
    for (long k : hourCounts)
        for (double x : Neighbours((k + 0.5) / (10 * 13750.987083139727)))
            out.push_back(HourText(x));
    for (long k : degreeCounts)
        for (double x : Neighbours((k + 0.5) / 206264.8062470952))
            for (double v : {x, -x}) {
                out.push_back(DegreeText(v, 1));
                out.push_back(DegreeText(v, 2));
            }
    return out;
}

uint64_t Fnv1a64(const std::vector<std::string> &lines)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (const std::string &line : lines)
        for (unsigned char b : line + "\n") {
            h ^= b;
            h *= 0x100000001b3ull;
        }
    return h;
}

TEST(AngleText, BoundarySweepMatchesTheModelOnEveryBuild)
{
    // From `python3 Tests/Unit/angle_sweep.py`.
    const size_t kModelCount = 242945;
    const uint64_t kModelDigest = 0xab379542862a57cfull;
    std::vector<std::string> sweep = BoundarySweep();
    ASSERT_EQ(sweep.size(), kModelCount);
    uint64_t digest = Fnv1a64(sweep);
    if (digest != kModelDigest) {
        // Written for a diff with `angle_sweep.py --write model.txt`.
        FILE *f = fopen("angle-sweep-this-build.txt", "wb");
        for (const std::string &line : sweep)
            if (f) fprintf(f, "%s\n", line.c_str());
        if (f) fclose(f);
    }
    EXPECT_EQ(digest, kModelDigest) << "strings written to angle-sweep-this-build.txt";
}

TEST(PStringAssign, LengthByteCharactersAndZeroWithinTheField)
{
    const struct { size_t length; size_t stored; } cases[] = {
        {0, 0}, {8, 8}, {253, 253}, {254, 254}, {255, 254}, {300, 254},
    };
    for (const auto &c : cases) {
        std::string source(c.length, 'a');
        for (size_t i = 0; i < c.length; ++i)
            source[i] = (char)('a' + i % 26);
        unsigned char field[256 + 16];
        memset(field, 0xEE, sizeof field);
        EXPECT_EQ(PStringAssign(field, source.c_str()), field);
        EXPECT_EQ(field[0], c.stored) << "source of " << c.length;
        EXPECT_EQ(memcmp(field + 1, source.data(), c.stored), 0) << "source of " << c.length;
        EXPECT_EQ(field[c.stored + 1], 0) << "source of " << c.length;
        for (size_t i = c.stored + 2; i < sizeof field; ++i)
            ASSERT_EQ(field[i], 0xEE) << "byte " << i << " written, source of " << c.length;
    }
}

} // namespace
