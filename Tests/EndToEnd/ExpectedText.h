// Texts the plug-in shows and logs, as they stand on disk (CR LF) or in a
// note (LF), shared by the suites that compare whole logs.
#ifndef EXPECTED_TEXT_H
#define EXPECTED_TEXT_H

#include <string>

// Initialisation against the simulator in its default version.
constexpr const char kSimulatorInitLog[] =
    "DRAV Version Vantorel Mount Simulator 1.0\r\nAPI plugins version 4\r\n";

// The status lines for an active provider and a mount with both alignments.
constexpr const char kActiveBothLines[] =
    "Control->TCS Provider is active\r\n"
    "Alignment-TCS Provider is both Celestial and Earth aligned\r\n";
constexpr const char kFineNote[] = "Quorvel is just fine!!\n Active and Aligned\n";
// op_TelescopeOpen on such a mount: four queries and the explanation.
inline std::string AlignedOpenLog()
{
    return std::string(kActiveBothLines) + kActiveBothLines +
           "Status->TCS Provider is active\r\n-TCS Provider is both Celestial and Earth aligned\r\n"
           "-Quorvel is just fine!!\r\n Active and Aligned\r\n";
}

constexpr const char kUnavailableNote[] = "Telescope Interface Unavailable\n Check if Vantorel is running\n";
constexpr const char kInactiveNote[] =
    "Quorvel is inactive,\n check if Quorvel is in 'startup' mode and change to 'land' mode\n";
constexpr const char kNotAlignedNote[] =
    "Quorvel is not aligned\n.  Execute 'one-star-alignment' before opening connection\n";
constexpr const char kMayNotBeAlignedNote[] = "Quorvel running but it may not be aligned, try 'one-star-alignment'";
constexpr const char kResetNote[] =
    "Telescope Interface Unavailable\n Check if Vantorel is running or reset system\n";

// A note as its "Status->" entry stores it.
inline std::string OnDisk(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

#endif
