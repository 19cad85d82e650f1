// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/NameLookup.h"
#include "traffic/TrafficEntry.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry {

// The traffic list's filter: words separated by whitespace, every one of which must match a row, without
// regard to case. A word matches a row when an address the row shows starts with it ("10.1", "fe80:"), when
// it is a network ("10.1.0.0/16", "fd00::/8") holding either address, or when it names the row's protocol
// ("tcp", "gre", "47", or the start of the text the list shows, "Proto:4"). Rows that are neither IPv4 nor
// IPv6 show "other" as their addresses and match an address word by that text. With names, a word that is
// not a network also matches a row when the host name of either address holds it ("github" matches
// lb-140-82-112-3-iad.github.com): names are read in pieces, so a part of one is what a user types.
//
// The list re-filters up to a million rows on the window thread whenever the text changes, so each word is
// turned into numbers once here, and Matches makes no string and formats no IPv4 address.
class CRowFilter {
public:
    static CRowFilter Parse(std::string_view text);

    // No words: every row matches.
    [[nodiscard]] bool IsEmpty() const { return m_words.empty() && m_strError.empty(); }
    // What is wrong with the text, naming the word; empty when it is valid. A filter with an error matches
    // no row.
    [[nodiscard]] const std::string& Error() const { return m_strError; }
    [[nodiscard]] bool Matches(const CTrafficEntry& entry) const;
    // The same, where a word may also match the names `names` knows for the row's addresses (none: as
    // above).
    [[nodiscard]] bool Matches(const CTrafficEntry& entry, const INameLookup* names) const;

private:
    using Bits256 = std::array<std::uint64_t, 4>;

    struct Word {
        // IPv4, one test for both forms: (address & mask) == value, and the octet at m_nV4Shift in
        // m_v4Octets. A text prefix "10.2.3" gives the mask of its complete octets (10.2) and the octets
        // whose text starts with the partial one (3, 30-39); a network gives its mask and every octet.
        // A word that matches no IPv4 address keeps a value the mask can never produce.
        std::uint32_t m_dwV4Mask = 0;
        std::uint32_t m_dwV4Value = 1;
        std::uint32_t m_nV4Shift = 0;
        Bits256 m_v4Octets{};

        // IPv6: an IPv6 network, and a text prefix compared with the row's RFC 5952 text.
        bool m_bV6Network = false;
        Ipv6Address m_v6Network{};
        unsigned m_nV6Length = 0;
        std::string m_strV6Prefix; // empty: the word cannot start an IPv6 text

        // Rows of neither family: "other" starts with the word.
        bool m_bOther = false;

        // The protocols the word names by name, by number or by the start of their text.
        Bits256 m_protocols{};

        // The word in lower case, looked for in host names; empty for a network.
        std::string m_strName;

        [[nodiscard]] bool MatchesV4(std::uint32_t address) const;
        [[nodiscard]] bool MatchesV4Row(const CTrafficEntry& entry) const;
        [[nodiscard]] bool MatchesV6(const Ipv6Address& address) const;
        [[nodiscard]] bool Matches(const CTrafficEntry& entry) const;
        // The same, where a word may also match the names `names` knows for the row's addresses (none: as
        // above).
        [[nodiscard]] bool Matches(const CTrafficEntry& entry, const INameLookup* names) const;
    };

    // Fills `word` from one word in lower case; returns an error message naming `typed`, or an empty one.
    static std::string ParseWord(std::string_view lower, std::string_view typed, Word& word);
    static std::string ParseNetwork(std::string_view lower, std::string_view typed, Word& word);
    static void ParseV4Prefix(std::string_view lower, Word& word);

    std::vector<Word> m_words;
    std::string m_strError;
};

} // namespace flowsentry
