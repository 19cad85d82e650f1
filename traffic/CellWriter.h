// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace flowsentry {

// Writes the text of a cell (CellText is made by one), without making a string for each cell: with 100,000
// rows the strings and the local-time conversions cost more than reading the capture. One writer serves one
// thread; it keeps the texts it has made.
class CCellWriter {
public:
    // Longest cell: a 45-character IPv6 address; a date text is longer only in years past 9999, which
    // strftime writes in full (DateTimeText allows 64).
    static constexpr std::size_t kMaxCell = 64;

    CCellWriter();

    // Writes the cell at `at`, which has room for kMaxCell characters; returns the end.
    char* Write(char* at, const CTrafficEntry& e, int column);
    void Append(std::string& out, const CTrafficEntry& e, int column);

private:
    struct Text {
        std::array<char, 3> m_chars{};
        std::uint8_t m_nLength = 0;
    };

    char* WriteAddress(char* at, Ipv4Address address) const;
    char* WriteAddress(char* at, const CTrafficEntry& e, bool source) const;
    static char* Copy(char* at, const std::string& text);
    const std::string& DateText(std::int64_t seconds);

    struct DateSlot {
        std::int64_t m_tSeconds = 0;
        bool m_bFilled = false;
        std::string m_strText;
    };
    std::array<Text, 256> m_octets{};
    std::array<std::string, 256> m_protocols;
    std::array<DateSlot, 1024> m_dates{};
};

// The text of one cell of an entry's row, for columns 0 to 9.
std::string CellText(const CTrafficEntry& entry, int column);

// A rate for people: "0 B/s", "512 B/s", "1.5 KB/s", "12.3 MB/s", "1.2 GB/s" (powers of 1000, as link
// speeds are given), or in bits per second: "kb/s", "Mb/s", "Gb/s".
std::string RateText(double bytesPerSecond, bool bits);
// An amount of bytes in the same units: "0 B", "1.5 KB", "12.3 MB", "4.1 TB".
std::string AmountText(std::uint64_t bytes);

} // namespace flowsentry
