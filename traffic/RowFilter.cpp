// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowFilter.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>

namespace flowsentry {
namespace {

struct ProtocolName {
    std::string_view m_name;
    std::uint8_t m_nNumber;
};

// IANA's keywords in lower case, with the names tcpdump and /etc/protocols use beside them. A fixed table:
// a minimal system has no /etc/protocols, and the filter must mean the same everywhere.
// clang-format off
constexpr ProtocolName kProtocolNames[] = {
    {"hopopt", 0}, {"icmp", 1}, {"igmp", 2}, {"ggp", 3}, {"ipv4", 4}, {"ipencap", 4},
    {"st", 5}, {"tcp", 6}, {"egp", 8}, {"igp", 9}, {"pup", 12}, {"udp", 17},
    {"rdp", 27}, {"iso-tp4", 29}, {"dccp", 33}, {"xtp", 36}, {"ipv6", 41}, {"ipv6-route", 43},
    {"ipv6-frag", 44}, {"idrp", 45}, {"rsvp", 46}, {"gre", 47}, {"esp", 50}, {"ah", 51},
    {"skip", 57}, {"ipv6-icmp", 58}, {"icmpv6", 58}, {"icmp6", 58}, {"ipv6-nonxt", 59}, {"ipv6-opts", 60},
    {"vmtp", 81}, {"eigrp", 88}, {"ospf", 89}, {"ospfigp", 89}, {"ax.25", 93}, {"ipip", 94},
    {"etherip", 97}, {"encap", 98}, {"pim", 103}, {"ipcomp", 108}, {"vrrp", 112}, {"pgm", 113},
    {"l2tp", 115}, {"isis", 124}, {"sctp", 132}, {"fc", 133}, {"mobility-header", 135}, {"udplite", 136},
    {"mpls-in-ip", 137}, {"manet", 138}, {"hip", 139}, {"shim6", 140}, {"wesp", 141}, {"rohc", 142},
    {"ethernet", 143},
};
// clang-format on

constexpr std::string_view kOtherText = "other";

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char ToLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A number of at most three digits, so that "99999999999" is simply not one rather than an overflow.
std::optional<unsigned> SmallNumber(std::string_view text) {
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), IsDigit)) {
        return std::nullopt;
    }
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

void SetBit(std::array<std::uint64_t, 4>& bits, unsigned index) {
    bits[index / 64] |= std::uint64_t{1} << (index % 64);
}

bool TestBit(const std::array<std::uint64_t, 4>& bits, unsigned index) {
    return ((bits[index / 64] >> (index % 64)) & 1U) != 0;
}

// Host names are compared without regard to case, as DNS compares them.
bool NameHolds(std::string_view name, std::string_view lowerWord) {
    return !name.empty() && std::search(name.begin(), name.end(), lowerWord.begin(), lowerWord.end(),
                                        [](char a, char b) { return ToLower(a) == b; }) != name.end();
}

} // namespace

CRowFilter CRowFilter::Parse(std::string_view text) {
    CRowFilter filter;
    std::string lower;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsSpace(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !IsSpace(text[end])) {
            ++end;
        }
        const std::string_view typed = text.substr(i, end - i);
        lower.assign(typed);
        std::transform(lower.begin(), lower.end(), lower.begin(), ToLower);
        Word word;
        std::string error = ParseWord(lower, typed, word);
        if (!error.empty()) {
            filter.m_words.clear();
            filter.m_strError = std::move(error);
            return filter;
        }
        filter.m_words.push_back(std::move(word));
        i = end;
    }
    return filter;
}

std::string CRowFilter::ParseWord(std::string_view lower, std::string_view typed, Word& word) {
    if (lower.find('/') != std::string_view::npos) {
        return ParseNetwork(lower, typed, word);
    }
    word.m_strName.assign(lower);
    ParseV4Prefix(lower, word);

    // Only hex digits, colons and dots can start an RFC 5952 text (dots for an IPv4-mapped address).
    const bool v6Chars = std::all_of(lower.begin(), lower.end(), [](char c) {
        return IsDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.';
    });
    if (v6Chars && lower.size() <= kMaxIpv6Text) {
        word.m_strV6Prefix.assign(lower);
    }

    word.m_bOther = StartsWith(kOtherText, lower);

    for (const ProtocolName& name : kProtocolNames) {
        if (name.m_name == lower) {
            SetBit(word.m_protocols, name.m_nNumber);
        }
    }
    if (const auto number = SmallNumber(lower); number && *number <= 255) {
        SetBit(word.m_protocols, *number);
    }
    for (unsigned proto = 0; proto < 256; ++proto) {
        std::string shown = ProtocolText(static_cast<std::uint8_t>(proto));
        std::transform(shown.begin(), shown.end(), shown.begin(), ToLower);
        if (StartsWith(shown, lower)) {
            SetBit(word.m_protocols, proto);
        }
    }
    return {};
}

// An IPv4 address's text is a prefix "A.B.C" exactly when its first octets are the complete ones (A, B)
// and the text of the next one starts with the partial one (C: 3 or 30-39). Octets are written without
// leading zeros, so a complete octet "01" never matches, and "1." does not match 10.x.
void CRowFilter::ParseV4Prefix(std::string_view lower, Word& word) {
    if (!std::all_of(lower.begin(), lower.end(), [](char c) { return IsDigit(c) || c == '.'; })) {
        return;
    }
    std::uint32_t value = 0;
    unsigned complete = 0;
    std::string_view rest = lower;
    for (std::size_t dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
        const std::string_view octet = rest.substr(0, dot);
        const auto number = SmallNumber(octet);
        if (complete == 3 || !number || *number > 255 || (octet.size() > 1 && octet[0] == '0')) {
            return;
        }
        value = (value << 8U) | *number;
        ++complete;
        rest.remove_prefix(dot + 1);
    }
    Bits256 octets{};
    bool any = false;
    char text[4];
    for (unsigned octet = 0; octet < 256; ++octet) {
        const std::string_view shown(
            text, static_cast<std::size_t>(std::to_chars(text, text + 4, octet).ptr - text));
        if (StartsWith(shown, rest)) {
            SetBit(octets, octet);
            any = true;
        }
    }
    if (!any) {
        return;
    }
    const unsigned bits = 8 * complete;
    word.m_dwV4Mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    word.m_dwV4Value = bits == 0 ? 0 : value << (32 - bits);
    word.m_nV4Shift = 24 - bits;
    word.m_v4Octets = octets;
}

std::string CRowFilter::ParseNetwork(std::string_view lower, std::string_view typed, Word& word) {
    const std::string quoted = "'" + std::string(typed) + "' is not a network: ";
    const std::size_t slash = lower.find('/');
    const std::string_view address = lower.substr(0, slash);
    const std::string_view length = lower.substr(slash + 1);
    if (address.empty()) {
        return quoted + "an address must come before the / (like 10.1.0.0/16 or fd00::/8)";
    }
    const auto ip = IpFromText(address);
    if (!ip) {
        return quoted + "'" + std::string(typed.substr(0, slash)) + "' is not an IPv4 or IPv6 address";
    }
    const bool v6 = ip->m_family == IpFamily::Ipv6;
    const unsigned maxLength = v6 ? 128 : 32;
    const std::string range =
        std::string(v6 ? "an IPv6" : "an IPv4") + " prefix length is 0 to " + std::to_string(maxLength);
    if (length.empty()) {
        return quoted + "a prefix length must follow the / (" + range + ")";
    }
    if (!std::all_of(length.begin(), length.end(), IsDigit)) {
        return quoted + "'" + std::string(typed.substr(slash + 1)) + "' is not a prefix length (" + range +
               ")";
    }
    const auto bits = SmallNumber(length);
    if (!bits || *bits > maxLength) {
        return quoted + range;
    }
    // Host bits set ("10.1.2.3/16") are taken as the network that holds the address, as a user means it.
    if (v6) {
        word.m_bV6Network = true;
        word.m_nV6Length = *bits;
        word.m_v6Network = ip->m_v6;
        for (unsigned bit = *bits; bit < 128; ++bit) {
            word.m_v6Network[bit / 8] &= static_cast<std::uint8_t>(~(0x80U >> (bit % 8)));
        }
    } else {
        word.m_dwV4Mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (32 - *bits);
        word.m_dwV4Value = ip->m_dwV4 & word.m_dwV4Mask;
        word.m_nV4Shift = 0;
        word.m_v4Octets.fill(~std::uint64_t{0});
    }
    return {};
}

// Bitwise rather than short-circuit operators: see Matches.
bool CRowFilter::Word::MatchesV4(std::uint32_t address) const {
    const bool network = (address & m_dwV4Mask) == m_dwV4Value;
    const bool octet = TestBit(m_v4Octets, (address >> m_nV4Shift) & 0xFFU);
    return network & octet;
}

bool CRowFilter::Word::MatchesV4Row(const CTrafficEntry& entry) const {
    const bool proto = TestBit(m_protocols, entry.m_nProto);
    const bool src = MatchesV4(entry.m_dwSrcAddress);
    const bool dest = MatchesV4(entry.m_dwDestAddress);
    return proto | src | dest;
}

bool CRowFilter::Word::MatchesV6(const Ipv6Address& address) const {
    if (m_bV6Network) {
        const unsigned whole = m_nV6Length / 8;
        if (std::memcmp(address.data(), m_v6Network.data(), whole) == 0 &&
            (m_nV6Length % 8 == 0 ||
             (address[whole] & static_cast<std::uint8_t>(0xFF00U >> (m_nV6Length % 8))) ==
                 m_v6Network[whole])) {
            return true;
        }
    }
    if (!m_strV6Prefix.empty()) {
        char text[kMaxIpv6Text];
        const char* end = WriteIpv6Text(text, address);
        return static_cast<std::size_t>(end - text) >= m_strV6Prefix.size() &&
               std::memcmp(text, m_strV6Prefix.data(), m_strV6Prefix.size()) == 0;
    }
    return false;
}

bool CRowFilter::Word::Matches(const CTrafficEntry& entry) const {
    if (TestBit(m_protocols, entry.m_nProto)) {
        return true;
    }
    switch (entry.m_family) {
    case IpFamily::Ipv4:
        return MatchesV4Row(entry);
    case IpFamily::Ipv6:
        return MatchesV6(entry.m_src6) || MatchesV6(entry.m_dest6);
    default:
        return m_bOther;
    }
}

bool CRowFilter::Matches(const CTrafficEntry& entry) const {
    if (!m_strError.empty()) {
        return false;
    }
    // IPv4 rows, most of the list, are tested without a branch per word: whether a word matches a row in
    // random order is a coin toss the processor cannot foresee, and a wrong guess costs more than the test.
    if (entry.m_family == IpFamily::Ipv4) {
        bool all = true;
        for (const Word& word : m_words) {
            all &= word.MatchesV4Row(entry);
        }
        return all;
    }
    return std::all_of(m_words.begin(), m_words.end(),
                       [&entry](const Word& word) { return word.Matches(entry); });
}

bool CRowFilter::Matches(const CTrafficEntry& entry, const INameLookup* names) const {
    if (names == nullptr) {
        return Matches(entry);
    }
    if (!m_strError.empty()) {
        return false;
    }
    // The names are looked up once per row, and only when a word does not match the numbers.
    bool looked = false;
    std::string_view source;
    std::string_view destination;
    for (const Word& word : m_words) {
        if (word.Matches(entry)) {
            continue;
        }
        if (word.m_strName.empty()) {
            return false;
        }
        if (!looked) {
            looked = true;
            if (!entry.IsOverflow()) {
                source = names->NameOf(entry.Source());
                destination = names->NameOf(entry.Destination());
            }
        }
        if (!NameHolds(source, word.m_strName) && !NameHolds(destination, word.m_strName)) {
            return false;
        }
    }
    return true;
}

} // namespace flowsentry
