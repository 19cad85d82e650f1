// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/CellWriter.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace flowsentry {
CCellWriter::CCellWriter() {
    for (unsigned octet = 0; octet < m_octets.size(); ++octet) {
        Text& text = m_octets[octet];
        text.m_nLength = static_cast<std::uint8_t>(
            std::to_chars(text.m_chars.data(), text.m_chars.data() + text.m_chars.size(), octet).ptr -
            text.m_chars.data());
    }
    for (unsigned proto = 0; proto < m_protocols.size(); ++proto) {
        m_protocols[proto] = ProtocolText(static_cast<std::uint8_t>(proto));
    }
}

char* CCellWriter::Write(char* at, const CTrafficEntry& e, int column) {
    switch (column) {
    case ColSrcAddress:
        return WriteAddress(at, e, true);
    case ColDestAddress:
        return WriteAddress(at, e, false);
    case ColDateTime:
        return Copy(at, DateText(e.m_tLastUpdate));
    case ColProto:
        return Copy(at, m_protocols[e.m_nProto]);
    default:
        return std::to_chars(at, at + kMaxCell, CounterValue(e, column)).ptr;
    }
}

void CCellWriter::Append(std::string& out, const CTrafficEntry& e, int column) {
    std::array<char, kMaxCell> cell;
    out.append(cell.data(), Write(cell.data(), e, column));
}

char* CCellWriter::WriteAddress(char* at, const CTrafficEntry& e, bool source) const {
    if (e.IsIpv6()) {
        return WriteIpv6Text(at, source ? e.m_src6 : e.m_dest6);
    }
    if (e.IsOverflow()) {
        return std::copy(kOtherAddressText.begin(), kOtherAddressText.end(), at);
    }
    return WriteAddress(at, source ? e.m_dwSrcAddress : e.m_dwDestAddress);
}

char* CCellWriter::WriteAddress(char* at, Ipv4Address address) const {
    for (unsigned shift = 24;; shift -= 8) {
        const Text& octet = m_octets[(address >> shift) & 0xFFU];
        std::copy_n(octet.m_chars.data(), octet.m_chars.size(), at); // always 3 bytes: a fixed, cheap copy
        at += octet.m_nLength;
        if (shift == 0) {
            return at;
        }
        *at++ = '.';
    }
}

char* CCellWriter::Copy(char* at, const std::string& text) {
    const std::size_t length = std::min(text.size(), kMaxCell);
    std::copy_n(text.data(), length, at);
    return at + length;
}

// Rows updated in the same second share one text. The slot is picked by the second itself, so rows from a
// few minutes of traffic, in any order, mostly find their text made.
const std::string& CCellWriter::DateText(std::int64_t seconds) {
    DateSlot& slot = m_dates[static_cast<std::uint64_t>(seconds) % m_dates.size()];
    if (!slot.m_bFilled || slot.m_tSeconds != seconds) {
        slot.m_strText = DateTimeText(seconds);
        slot.m_tSeconds = seconds;
        slot.m_bFilled = true;
    }
    return slot.m_strText;
}

std::string CellText(const CTrafficEntry& entry, int column) {
    if (column < 0 || column >= ColumnCount) {
        return {};
    }
    // One writer per thread: it caches texts, and cells are asked for from the window and the CLI alike.
    thread_local CCellWriter writer;
    std::array<char, CCellWriter::kMaxCell> cell{};
    return {cell.data(), writer.Write(cell.data(), entry, column)};
}

namespace {

// A number in powers of 1000 with the name of its unit, whole below the first power.
std::string ScaledText(double value, const char* const* units, std::size_t count) {
    std::size_t unit = 0;
    while (unit + 1 < count && value >= (unit == 0 ? 999.5 : 999.95)) {
        value /= 1000;
        ++unit;
    }
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text.data();
}

} // namespace

std::string RateText(double bytesPerSecond, bool bits) {
    static constexpr std::array<const char*, 4> kBytes = {"B/s", "KB/s", "MB/s", "GB/s"};
    static constexpr std::array<const char*, 4> kBits = {"b/s", "kb/s", "Mb/s", "Gb/s"};
    return bits ? ScaledText(bytesPerSecond * 8, kBits.data(), kBits.size())
                : ScaledText(bytesPerSecond, kBytes.data(), kBytes.size());
}

std::string AmountText(std::uint64_t bytes) {
    static constexpr std::array<const char*, 6> kUnits = {"B", "KB", "MB", "GB", "TB", "PB"};
    return ScaledText(static_cast<double>(bytes), kUnits.data(), kUnits.size());
}

} // namespace flowsentry
