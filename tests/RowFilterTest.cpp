// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowFilter.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <sstream>

namespace flowsentry {
namespace {

// "SRC DEST PROTO": two IPv4 or two IPv6 addresses, or "other other" for a row of neither family.
CTrafficEntry Row(const std::string& text) {
    std::istringstream in(text);
    std::string src;
    std::string dest;
    unsigned proto = 0;
    in >> src >> dest >> proto;
    CTrafficEntry entry;
    entry.m_nProto = static_cast<std::uint8_t>(proto);
    if (src == "other") {
        entry.m_family = static_cast<IpFamily>(2);
    } else if (src.find(':') != std::string::npos) {
        entry.m_family = IpFamily::Ipv6;
        entry.m_src6 = test::Ip6(src);
        entry.m_dest6 = test::Ip6(dest);
    } else {
        entry.m_dwSrcAddress = test::Ip(src);
        entry.m_dwDestAddress = test::Ip(dest);
    }
    return entry;
}

TEST(RowFilter, MatchesRowsByAddressNetworkAndProtocol) {
    struct Case {
        const char* filter;
        const char* row;
        bool expected;
    };
    const Case cases[] = {
        // Empty text: every row.
        {"", "10.0.0.1 10.0.0.2 6", true},
        {" \t ", "fd00::1 fd00::2 17", true},
        // IPv4 text prefixes: complete octets, then the start of the next one's text.
        {"10.1", "10.1.2.3 192.168.0.1 6", true},
        {"10.1", "10.10.0.1 192.168.0.1 6", true},
        {"10.1", "10.2.0.1 192.168.0.1 6", false},
        {"10.1", "192.168.0.1 10.199.0.1 6", true},
        {"10.1", "110.1.0.1 192.168.0.1 6", false},
        {"10.1.", "10.1.2.3 192.168.0.1 6", true},
        {"10.1.", "10.10.0.1 192.168.0.1 6", false},
        {"1.", "10.0.0.1 192.168.0.1 6", false},
        {"1.", "1.2.3.4 192.168.0.1 6", true},
        {"10.1.2.3", "10.1.2.34 192.168.0.1 6", true},
        {"10.1.2.3", "10.1.2.4 192.168.0.1 6", false},
        {"10.1.2.3.", "10.1.2.3 192.168.0.1 6", false},
        {"10.01", "10.1.0.0 192.168.0.1 6", false},
        {"10.01.", "10.1.0.0 192.168.0.1 6", false},
        {"25", "250.0.0.1 192.168.0.1 6", true},
        {"25", "26.0.0.1 192.168.0.1 6", false},
        {"0.", "0.0.0.0 192.168.0.1 6", true},
        {"256", "25.0.0.1 192.168.0.1 6", false},
        {"256.0", "0.0.0.1 192.168.0.1 6", false},
        // IPv6 text prefixes against RFC 5952 texts, in any case.
        {"fe80::", "fe80::1 fd00::2 58", true},
        {"fe80:", "fd00::2 fe80::1 58", true},
        {"FE80", "fe80::1 fd00::2 58", true},
        {"fe80::1", "fe80::10 fd00::2 58", true},
        {"fe80::2", "fe80::1 fd00::2 58", false},
        {"2001:db8::", "2001:0DB8:0:0:0:0:0:1 fd00::2 6", true},
        {"2001:0db8", "2001:db8::1 fd00::2 6", false},
        {"::ffff:10.1", "::ffff:10.1.2.3 fd00::2 6", true},
        {"10.1", "::ffff:10.1.2.3 fd00::2 6", false},
        {"fe80", "10.0.0.1 192.168.0.1 6", false},
        // IPv4 networks and their boundaries.
        {"10.1.0.0/16", "10.1.255.255 192.168.0.1 6", true},
        {"10.1.0.0/16", "192.168.0.1 10.1.0.0 6", true},
        {"10.1.0.0/16", "10.2.0.0 192.168.0.1 6", false},
        {"10.1.0.0/16", "10.0.255.255 192.168.0.1 6", false},
        {"10.1.2.3/16", "10.1.9.9 192.168.0.1 6", true},
        {"0.0.0.0/0", "255.255.255.255 1.2.3.4 6", true},
        {"0.0.0.0/0", "fd00::1 fd00::2 6", false},
        {"10.0.0.1/32", "10.0.0.1 192.168.0.1 6", true},
        {"10.0.0.1/32", "10.0.0.2 192.168.0.1 6", false},
        {"128.0.0.0/1", "128.0.0.0 1.2.3.4 6", true},
        {"128.0.0.0/1", "127.255.255.255 1.2.3.4 6", false},
        // IPv6 networks and their boundaries.
        {"fd00::/8", "fe80::1 fd12::1 17", true},
        {"fd00::/8", "fe00::1 fcff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 17", false},
        {"::/0", "fe80::1 fd00::2 17", true},
        {"::/0", "10.0.0.1 10.0.0.2 17", false},
        {"fd00::1/128", "fd00::1 fe80::1 17", true},
        {"fd00::1/128", "fd00::2 fe80::1 17", false},
        {"8000::/1", "8000:: fe80::1 17", true},
        {"8000::/1", "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ::1 17", false},
        {"2001:db8:8000::/33", "2001:db8:8000::1 ::1 17", true},
        {"2001:db8:8000::/33", "2001:db8:7fff:ffff:: ::1 17", false},
        {"2001:db8::/31", "2001:db9::1 ::1 17", true},
        {"2001:db8::/31", "2001:dba:: ::1 17", false},
        // Protocols by name, number and the start of the text the list shows.
        {"udp", "10.0.0.1 10.0.0.2 17", true},
        {"UDP", "10.0.0.1 10.0.0.2 17", true},
        {"udp", "10.0.0.1 10.0.0.2 6", false},
        {"udplite", "10.0.0.1 10.0.0.2 17", false},
        {"udplite", "10.0.0.1 10.0.0.2 136", true},
        {"47", "192.168.0.1 192.168.0.2 47", true},
        {"47", "192.168.0.1 192.168.0.2 4", false},
        {"256", "192.168.0.1 192.168.0.2 0", false},
        {"gre", "10.0.0.1 10.0.0.2 47", true},
        {"gr", "10.0.0.1 10.0.0.2 47", false},
        {"icmpv6", "fe80::1 ff02::1 58", true},
        {"ipv6-icmp", "fe80::1 ff02::1 58", true},
        {"icmpv6", "10.0.0.1 10.0.0.2 1", false},
        {"icmp", "fe80::1 ff02::1 58", true},
        {"tc", "10.0.0.1 10.0.0.2 6", true},
        {"Proto:47", "10.0.0.1 10.0.0.2 47", true},
        {"proto:4", "10.0.0.1 10.0.0.2 47", true},
        {"proto:47", "10.0.0.1 10.0.0.2 4", false},
        {"proto", "10.0.0.1 10.0.0.2 6", false},
        {"sctp", "10.0.0.1 10.0.0.2 132", true},
        // Several words: every one must match.
        {"10.1 tcp", "10.1.2.3 192.168.0.1 6", true},
        {"10.1 tcp", "10.1.2.3 192.168.0.1 17", false},
        {"10.1 tcp", "10.2.0.1 192.168.0.1 6", false},
        {"10.1\t 192.168 ", "192.168.0.1 10.1.2.3 17", true},
        {"tcp udp", "10.0.0.1 10.0.0.2 6", false},
        {"fd00::/8 udp", "fd00::1 fe80::1 17", true},
        {"fd00::/8 udp", "fd00::1 fe80::1 6", false},
        // Rows of neither family show "other" as their addresses.
        {"other", "other other 0", true},
        {"OTH", "other other 0", true},
        {"others", "other other 0", false},
        {"10", "other other 0", false},
        {"0.0.0.0/0", "other other 0", false},
        {"::/0", "other other 0", false},
        {"other", "10.0.0.1 10.0.0.2 6", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("filter '") + c.filter + "' row " + c.row);
        const CRowFilter filter = CRowFilter::Parse(c.filter);
        EXPECT_EQ(filter.Error(), "");
        EXPECT_EQ(filter.Matches(Row(c.row)), c.expected);
    }
}

TEST(RowFilter, EmptyOnlyWithoutWords) {
    EXPECT_TRUE(CRowFilter::Parse("").IsEmpty());
    EXPECT_TRUE(CRowFilter::Parse(" \t\n ").IsEmpty());
    EXPECT_FALSE(CRowFilter::Parse(" tcp ").IsEmpty());
    EXPECT_FALSE(CRowFilter::Parse("10.0.0.0/33").IsEmpty());
}

// A word with a '/' that is not a network makes the whole filter an error that names it, and no row shows,
// not even one that every other word matches.
TEST(RowFilter, BadNetworkIsAnErrorNamingTheWordAndMatchesNothing) {
    const char* const bad[] = {"10.0.0.0/33", "FD00::/129",   "/",
                               "10.0.0.0/",   "10.1/16",      "tcp/udp",
                               "10.0.0.0/x",  "10.0.0.0/8/8", "fe80::1%eth0/64",
                               "10.0.0.0/-1", "::/1280",      "10.0.0.256/8",
                               "/8"};
    const CTrafficEntry rows[] = {Row("10.0.0.1 10.0.0.2 6"), Row("fd00::1 fe80::1 17"),
                                  Row("other other 0")};
    for (const char* word : bad) {
        for (const std::string& text : {std::string(word), "tcp " + std::string(word) + " 10"}) {
            SCOPED_TRACE(text);
            const CRowFilter filter = CRowFilter::Parse(text);
            EXPECT_NE(filter.Error().find(std::string("'") + word + "'"), std::string::npos)
                << filter.Error();
            for (const CTrafficEntry& row : rows) {
                EXPECT_FALSE(filter.Matches(row));
            }
        }
    }
    EXPECT_NE(CRowFilter::Parse("10.0.0.0/33").Error().find("0 to 32"), std::string::npos);
    EXPECT_NE(CRowFilter::Parse("fd00::/129").Error().find("0 to 128"), std::string::npos);
}

} // namespace
} // namespace flowsentry
