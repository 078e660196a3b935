// Reading a fuzz input: a byte stream that yields zeros once it runs out, and
// pickers that turn one byte into an interesting value (a table entry) or,
// for the top sixteen byte values, read a raw value from the stream.
#ifndef FUZZ_TAPE_H
#define FUZZ_TAPE_H

#include <limits>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

struct ByteStream {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    bool Empty() const { return pos >= size; }
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    uint16_t U16()
    {
        uint16_t low = Byte();
        return (uint16_t)(low | (uint16_t)(Byte() << 8));
    }
    uint32_t U32()
    {
        uint32_t low = U16();
        return low | ((uint32_t)U16() << 16);
    }
    double Double()
    {
        uint64_t bits = (uint64_t)U32() | ((uint64_t)U32() << 32);
        double value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }
};

const uint8_t kRawPick = 0xF0; // bytes from here on read a raw value

template <size_t N>
inline uint16_t PickU16(ByteStream &s, const uint16_t (&table)[N])
{
    uint8_t b = s.Byte();
    return b < kRawPick ? table[b % N] : s.U16();
}

template <size_t N>
inline int32_t PickI32(ByteStream &s, const int32_t (&table)[N])
{
    uint8_t b = s.Byte();
    return b < kRawPick ? table[b % N] : (int32_t)s.U32();
}

// Status codes the plug-in decides on, their neighbours and the extremes.
const uint16_t kStatusCodes[] = {1, 2, 3, 200, 201, 210, 211, 212, 213, 0, 7, 202, 65535};
// Go-to progress: the ends of the wait, values past 100 and the 16-bit top.
const uint16_t kPercents[] = {0, 1, 10, 40, 50, 99, 100, 101, 250, 65535};

// Angles: the usual ones, where the sexagesimal text wraps or stops fitting a
// 32-bit count, and values no mount should report.
inline double PickAngle(ByteStream &s)
{
    static const double kPi = 3.14159265358979323846;
    static const double table[] = {
        0.0, -0.0, 1.5, -0.25, 0.3, kPi / 2, -kPi / 2, kPi, 2 * kPi, 6.283181671076991,
        -2 * kPi, 1e-300, 5e-324, 1e9, -1e9, 1e300, -1e300, 15616.94178, 15616.95,
        10411.2945, -10411.3, std::numeric_limits<double>::max(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    const size_t n = sizeof table / sizeof table[0];
    uint8_t b = s.Byte();
    return b < kRawPick ? table[b % n] : s.Double();
}

#endif
