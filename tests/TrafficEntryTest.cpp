// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/TrafficEntry.h"

#include "TestUtil.h"
#include "traffic/CellWriter.h"

#include <gtest/gtest.h>
#include <limits>

namespace flowsentry {
namespace {

using test::Ip;

TEST(EntryId, ReadsEachAddressLittleEndianAndXorsTheProtocol) {
    struct Case {
        const char* src;
        const char* dest;
        std::uint8_t proto;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"10.0.0.1", "10.0.0.2", 6, 0x03000000U ^ 6U},
        {"10.0.0.5", "10.0.0.6", 6, 0x03000000U ^ 6U},
        {"1.2.3.4", "7.2.3.4", 6, 0U},
        {"1.0.0.0", "0.0.0.0", 0, 1U},
        {"0.0.0.1", "0.0.0.0", 0, 0x01000000U},
        {"192.168.1.10", "192.168.1.1", 17, 0x0B000000U ^ 17U},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.src) + " " + c.dest);
        EXPECT_EQ(EntryId(Ip(c.src), Ip(c.dest), c.proto), c.expected);
        EXPECT_EQ(EntryId(Ip(c.dest), Ip(c.src), c.proto), c.expected) << "must not depend on direction";
        CTrafficEntry entry;
        EXPECT_EQ(entry.MakeEntryId(Ip(c.src), Ip(c.dest), c.proto), c.expected);
        EXPECT_EQ(entry.m_dwEntryId, c.expected);
        EXPECT_EQ(entry.m_dwSrcAddress, Ip(c.src));
        EXPECT_EQ(entry.m_dwDestAddress, Ip(c.dest));
        EXPECT_EQ(entry.m_nProto, c.proto);
    }
}

TEST(Ipv4Text, WritesDottedQuadWithoutLeadingZeros) {
    EXPECT_EQ(Ipv4ToText(Ipv4FromOctets(0x0A, 0x00, 0x00, 0x01)), "10.0.0.1");
    EXPECT_EQ(Ipv4ToText(Ipv4FromOctets(0xC0, 0xA8, 0x00, 0xFF)), "192.168.0.255");
    EXPECT_EQ(Ipv4ToText(Ipv4FromOctets(0xC0, 0xA8, 0x01, 0x0A)), "192.168.1.10");
    EXPECT_EQ(Ipv4ToText(0), "0.0.0.0");
    EXPECT_EQ(Ipv4ToText(0xFFFFFFFFU), "255.255.255.255");
}

TEST(Ipv4Text, ParsesOnlyPlainDottedQuads) {
    EXPECT_EQ(Ipv4FromText("10.0.0.1"), Ipv4FromOctets(10, 0, 0, 1));
    EXPECT_EQ(Ipv4FromText("255.255.255.255"), 0xFFFFFFFFU);
    EXPECT_EQ(Ipv4FromText("0.0.0.0"), 0U);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "a.b.c.d",
                            "1..2.3", "1.2.3.", "1234.1.1.1", "-1.2.3.4", "1.2.3.4/24", "::1"}) {
        EXPECT_FALSE(Ipv4FromText(bad).has_value()) << bad;
    }
}

// RFC 5952: lower case, no leading zeros, the longest run of two or more zero groups (the first of equal
// runs) as "::", a lone zero group as 0, IPv4-mapped addresses with their dotted quad.
TEST(Ipv6Text, CanonicalForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"fe80:0:0:0:0:0:0:0", "fe80::"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        {"fd00:f5::abcd:ef01", "fd00:f5::abcd:ef01"},
        {"::ffff:c000:0201", "::ffff:192.0.2.1"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& [in, out] : cases) {
        const auto address = Ipv6FromText(in);
        ASSERT_TRUE(address.has_value()) << in;
        EXPECT_EQ(Ipv6ToText(*address), out) << in;
        EXPECT_EQ(IpToText(*IpFromText(in)), out) << in;
    }
    for (const char* bad : {"", "1:2:3:4:5:6:7:8:9", "fe80::1%eth0", "::g", "1.2.3", " ::1"}) {
        EXPECT_FALSE(IpFromText(bad).has_value()) << bad;
    }
    EXPECT_EQ(IpFromText("10.0.0.1"), IpAddress(Ipv4FromOctets(10, 0, 0, 1)));
}

TEST(CellText, ProtocolNames) {
    EXPECT_EQ(ProtocolText(58), "ICMPv6");
    EXPECT_EQ(ProtocolText(6), "TCP");
    EXPECT_EQ(ProtocolText(17), "UDP");
    EXPECT_EQ(ProtocolText(1), "ICMP");
    EXPECT_EQ(ProtocolText(2), "Proto:2");
    EXPECT_EQ(ProtocolText(0), "Proto:0");
    EXPECT_EQ(ProtocolText(255), "Proto:255");
}

TEST(CellText, EveryColumnOfAnEntry) {
    const test::ScopedUtc utc;
    CTrafficEntry e;
    e.m_dwSrcAddress = Ip("192.168.1.10");
    e.m_dwDestAddress = Ip("192.168.1.1");
    e.m_nProto = 17;
    // Beyond 2^31 and 2^32: the counters and their sums are shown in full.
    e.m_nSendData = 5'000'000'000ULL;
    e.m_nRcvData = 2'147'483'648ULL;
    e.m_nSendPackets = 4'294'967'296ULL;
    e.m_nRcvPackets = 1;
    e.m_tLastUpdate = 1'700'000'000; // 2023-11-14 22:13:20 UTC
    const char* expected[ColumnCount] = {"192.168.1.10",        "192.168.1.1", "5000000000", "2147483648",
                                         "7147483648",          "4294967296",  "1",          "4294967297",
                                         "22:13:20 11/14/2023", "UDP"};
    for (int c = 0; c < ColumnCount; ++c) {
        EXPECT_EQ(CellText(e, c), expected[c]) << "column " << c;
    }
    EXPECT_EQ(CellText(e, ColumnCount), "");
    // An IPv6 row: its own addresses, whatever the IPv4 fields hold.
    e.m_family = IpFamily::Ipv6;
    e.m_src6 = *Ipv6FromText("2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff");
    e.m_dest6 = *Ipv6FromText("::ffff:10.0.0.1");
    e.m_nProto = 58;
    EXPECT_EQ(CellText(e, ColSrcAddress), "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff");
    EXPECT_EQ(CellText(e, ColDestAddress), "::ffff:10.0.0.1");
    EXPECT_EQ(CellText(e, ColProto), "ICMPv6");
    EXPECT_EQ(DateTimeText(0), "00:00:00 01/01/1970");
    EXPECT_EQ(DateTimeText(std::numeric_limits<std::int64_t>::max()), "") << "unconvertible time is empty";
}

} // namespace
} // namespace flowsentry
