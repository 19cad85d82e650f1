// SPDX-License-Identifier: GPL-3.0-or-later
#include "FrameUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

namespace flowsentry {
namespace {

using test::Hex;
using test::Ip;

// A UDP header from 10.0.0.1 to 192.168.0.255 (total length 28), padded out by the cases below.
const char* const kHeader = "45 00 00 1c 00 01 00 00 40 11 00 00 0a 00 00 01 c0 a8 00 ff";

// DLT_IPV4 frames are bare datagrams: what the decoder sees is what the case gives.
TEST(Datagram, WhichBuffersBecomeSamplesAndTheirBytes) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t received;     // the wire length
        std::uint64_t countedBytes; // 0: not counted
        bool notIpv4;
    };
    auto header = [](const char* firstByte) {
        auto b = Hex(kHeader);
        b[0] = Hex(firstByte)[0];
        return b;
    };
    auto sized = [](std::size_t n) {
        auto b = Hex(kHeader);
        b.resize(n);
        return b;
    };
    auto withTotalLength = [](std::vector<std::uint8_t> b, std::uint16_t total, std::size_t captured) {
        b[2] = static_cast<std::uint8_t>(total >> 8U);
        b[3] = static_cast<std::uint8_t>(total);
        b.resize(captured);
        return b;
    };
    const std::vector<Case> cases = {
        {"zero bytes", {}, 0, 0, false},
        {"19 bytes", sized(19), 19, 0, false},
        {"count says 20, fewer captured", sized(12), 20, 0, false},
        {"version 6", header("60"), 20, 0, true},
        {"version 6, one byte", Hex("60"), 1, 0, true},
        // A total length above what arrived is not believed: the datagram counts as received.
        {"20 bytes, total length 28", sized(20), 20, 20, false},
        // A record whose wire length is below what it holds counts what it holds.
        {"wire length 0 with bytes", sized(20), 0, 20, false},
        {"header length 15 words, total length 28", header("4f"), 20, 20, false},
        {"header length 0", header("40"), 20, 20, false},
        // A trailer after the datagram is not part of it.
        {"1500 bytes, total length 28", sized(1500), 1500, 28, false},
        {"total length 22 below a 24-byte header", withTotalLength(header("46"), 22, 30), 30, 30, false},
        {"largest datagram", test::Datagram("10.0.0.1", "192.168.0.255", 17, 65535), 65535, 65535, false},
        // Captured with a small snaplen: the header is there, the total length is the real size.
        {"cut by snaplen", withTotalLength(sized(20), 9000, 20), 9000, 9000, false},
        // BIG TCP writes a total length of 0 for a datagram over 64 KiB: it counts as received.
        {"total length 0, 100,000 bytes", withTotalLength(sized(20), 0, 20), 100000, 100000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTrafficTable table;
        CaptureCounters counters;
        test::Fold(table, std::nullopt, DLT_IPV4, c.bytes, c.received, counters);
        if (c.countedBytes != 0) {
            EXPECT_EQ(counters, (CaptureCounters{1, 1, 0, 0, 0}));
            const auto e = table.Find(Ip("10.0.0.1"), Ip("192.168.0.255"), 17);
            ASSERT_TRUE(e.has_value());
            EXPECT_EQ(e->m_nSendData, c.countedBytes);
            EXPECT_EQ(e->m_nSendPackets, 1U);
            EXPECT_EQ(e->m_nRcvData + e->m_nRcvPackets, 0U);
        } else {
            EXPECT_EQ(counters, (CaptureCounters{1, 0, c.notIpv4 ? 1U : 0U, c.notIpv4 ? 0U : 1U, 0}));
            EXPECT_EQ(table.EntryCount(), 0U);
        }
    }
}

TEST(Datagram, ReadsProtocolAndAddressesFromTheirOffsets) {
    for (const int value : {6, 17, 1, 0, 47, 255}) {
        const auto proto = static_cast<std::uint8_t>(value);
        const auto sample =
            test::Decode(DLT_IPV4, test::Datagram("10.0.0.1", "192.168.0.255", proto, 60), 60, 0, 77);
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(*sample,
                  (PacketSample{Ip("10.0.0.1"), Ip("192.168.0.255"), 60, proto, IpFamily::Ipv4, 1, 77}));
    }
}

TEST(Datagram, FoldsWithTheLocalAddressAsReference) {
    CTrafficTable table;
    CaptureCounters counters;
    const auto local = Ip("192.168.1.10");
    test::Fold(table, local, DLT_IPV4, test::Datagram("192.168.1.1", "192.168.1.10", 17, 60), 60, counters);
    test::Fold(table, local, DLT_IPV4, test::Datagram("192.168.1.10", "192.168.1.1", 17, 80), 80, counters);
    test::Fold(table, local, DLT_IPV4, test::Datagram("192.168.1.10", "192.168.1.10", 6, 40), 40, counters);
    const auto udp = table.Find(Ip("192.168.1.1"), Ip("192.168.1.10"), 17);
    ASSERT_TRUE(udp.has_value());
    EXPECT_EQ(udp->m_dwSrcAddress, local);
    EXPECT_EQ(udp->m_nSendData, 80U);
    EXPECT_EQ(udp->m_nRcvData, 60U);
    const auto self = table.Find(local, local, 6);
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->m_nRcvPackets, 1U);
}

// An IPv4 datagram of `size` bytes with a header of `ipWords` 32-bit words, then for TCP a header of
// `tcpWords` words (its data offset); `captured` bytes of it are kept, as a snapshot length would.
std::vector<std::uint8_t> Transport(std::uint8_t proto, std::uint32_t size, std::uint8_t ipWords = 5,
                                    std::uint8_t tcpWords = 5, std::size_t captured = 128) {
    std::vector<std::uint8_t> d = test::Datagram("10.0.0.1", "10.0.0.2", proto, 128);
    d[0] = static_cast<std::uint8_t>(0x40U | ipWords);
    d[2] = size > 0xFFFF ? 0 : static_cast<std::uint8_t>(size >> 8U); // BIG TCP: 0 above 64 KiB
    d[3] = size > 0xFFFF ? 0 : static_cast<std::uint8_t>(size);
    d[ipWords * 4U + 12] = static_cast<std::uint8_t>(tcpWords << 4U);
    d.resize(std::min<std::size_t>(captured, size));
    return d;
}

// In a live capture, a TCP or UDP datagram longer than the interface's MTU is a super-packet that GRO built
// or TSO/GSO had yet to cut: it counts as the segments it stands for, each with its own headers. A capture
// file has no MTU (0) and counts it as it stands, as does anything that cannot be a super-packet.
TEST(Datagram, SuperPacketsCountAsTheSegmentsTheyStandFor) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> datagram;
        std::uint32_t size;
        std::uint32_t mtu;
        std::uint64_t packets;
        std::uint64_t bytes;
    };
    auto fragment = Transport(17, 8028);
    fragment[6] = 0x20; // more fragments
    const std::vector<Case> cases = {
        // 20 + 32 bytes of headers (TCP timestamps) leave 1448 bytes of payload a segment: 65174 bytes are
        // 45 full segments and one of 14 bytes.
        {"GRO'd TCP", Transport(6, 65226, 5, 8), 65226, 1500, 46, 65174 + 46 * 52},
        {"the same from a file", Transport(6, 65226, 5, 8), 65226, 0, 1, 65226},
        {"TCP of exactly the MTU", Transport(6, 1500), 1500, 1500, 1, 1500},
        {"TCP one byte over", Transport(6, 1501), 1501, 1500, 2, 1461 + 2 * 40},
        // UDP GSO: 8000 bytes of payload in segments of 1472.
        {"UDP", Transport(17, 8028), 8028, 1500, 6, 8000 + 6 * 28},
        // IP options (24-byte header) and a 32-byte TCP header: 1444 bytes a segment.
        {"TCP with options", Transport(6, 20000, 6, 8), 20000, 1500, 14, 19944 + 14 * 56},
        // BIG TCP: total length 0, 200000 bytes received; 1460 bytes a segment.
        {"BIG TCP", Transport(6, 200000), 200000, 1500, 137, 199960 + 137 * 40},
        // 142,856 segments of 28 bytes at the smallest MTU: the count stops at 16 bits, the bytes do not.
        {"clamped", Transport(6, 4000000), 4000000, 68, 65535, 3999960ULL + 142856ULL * 40},
        {"ICMP", Transport(1, 8028), 8028, 1500, 1, 8028},
        {"a fragment", fragment, 8028, 1500, 1, 8028},
        {"TCP header not captured", Transport(6, 20000, 5, 5, 30), 20000, 1500, 1, 20000},
        {"headers leave no room", Transport(6, 200, 15, 15), 200, 68, 1, 200},
    };
    const auto kMacs = Hex("02 00 00 00 00 01 02 00 00 00 00 02 08 00");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> frame = kMacs;
        frame.insert(frame.end(), c.datagram.begin(), c.datagram.end());
        CTrafficTable table;
        CaptureCounters counters;
        test::Fold(table, std::nullopt, DLT_EN10MB, frame, 14 + c.size, counters, c.mtu);
        EXPECT_EQ(counters.m_nCounted, 1U);
        const auto e = table.Find(Ip("10.0.0.1"), Ip("10.0.0.2"), c.datagram[9]);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->m_nSendPackets, c.packets);
        EXPECT_EQ(e->m_nSendData, c.bytes);
    }
}

// IPv6 datagrams as raw IP (DLT_RAW): the protocol after the extension headers and the bytes counted.
TEST(Datagram, Ipv6ExtensionHeadersAndSize) {
    struct Case {
        const char* name;
        std::uint8_t next;      // the IPv6 header's next header
        std::uint16_t payload;  // its payload length
        const char* rest;       // what follows the 40-byte header, in hex
        std::uint32_t received; // 0: the datagram as given
        std::uint8_t proto;
        std::uint32_t bytes;
    };
    // Eight bytes of hop-by-hop padding (PadN), then the same with TCP, UDP or another header next.
    const std::vector<Case> cases = {
        {"udp", 17, 8, "9c 40 00 35 00 08 00 00", 0, 17, 48},
        {"icmpv6", 58, 8, "80 00 00 00 00 01 00 01", 0, 58, 48},
        {"hop-by-hop, tcp", 0, 28,
         "06 00 01 04 00 00 00 00"
         " 9c 40 00 50 00 00 00 01 00 00 00 00 50 10 02 00 00 00 00 00",
         0, 6, 68},
        {"hop-by-hop, routing, destination options, udp", 0, 32,
         "2b 00 01 04 00 00 00 00  3c 00 00 00 00 00 00 00  11 00 01 04 00 00 00 00  9c 40 00 35 00 08 00 00",
         0, 17, 72},
        // 16 bytes of hop-by-hop options (length 1).
        {"longer hop-by-hop", 0, 24,
         "11 01 01 0c 00 00 00 00 00 00 00 00 00 00 00 00  9c 40 00 35 00 08 00 00", 0, 17, 64},
        // The authentication header counts 4-byte words less 2: 12 bytes here, not 16.
        {"authentication, destination options, tcp", 51, 40,
         "3c 01 00 00 00 00 01 00 00 00 00 01  06 00 01 04 00 00 00 00  2c 2c 2c 2c 2c 2c 2c 2c 2c 2c 2c 2c "
         "2c 2c 2c 2c "
         "2c 2c 2c 2c",
         0, 6, 80},
        {"first fragment", 44, 16, "11 00 00 01 00 00 00 07  9c 40 00 35 00 08 00 00", 0, 17, 56},
        // A later fragment (offset 185 words) holds no header of its own: what follows is payload, even
        // where the fragment header names an extension header.
        {"later fragment", 44, 16, "06 00 05 c8 00 00 00 07  00 08 00 00 00 00 00 00", 0, 6, 56},
        {"later fragment of options", 44, 16, "3c 00 05 c8 00 00 00 07  11 00 00 00 00 00 00 00", 0, 60, 56},
        {"esp ends the walk", 50, 16, "00 00 01 00 00 00 00 01 00 00 00 00 00 00 00 00", 0, 50, 56},
        {"no next header", 59, 0, "", 0, 59, 40},
        {"mobility", 135, 8, "3b 00 05 00 00 00 00 00", 0, 59, 48},
        {"destination options, no next header", 60, 8, "3b 00 01 04 00 00 00 00", 0, 59, 48},
        // Cut short: the walk ends at the header it could not read, and the datagram still counts.
        {"hop-by-hop not captured", 0, 8, "", 48, 0, 48},
        {"chain runs past the datagram", 0, 16, "3c 04 01 04 00 00 00 00 00 00 00 00 00 00 00 00", 0, 60, 56},
        {"fragment header cut", 44, 8, "11 00", 48, 44, 48},
        // A chain of empty destination options headers, each naming the next: the walk ends with the bytes.
        {"loop of empty options", 60, 48,
         "3c 00 01 04 00 00 00 00 3c 00 01 04 00 00 00 00 3c 00 01 04 00 00 00 00 3c 00 01 04 00 00 00 00 "
         "3c 00 01 04 00 00 00 00 3c 00 01 04 00 00 00 00",
         0, 60, 88},
        // Sizes: Ethernet padding after the payload is not counted, a payload length beyond what arrived is
        // not believed, and a jumbogram (payload length 0, a jumbo option) counts what was received.
        {"padding", 17, 8, "9c 40 00 35 00 08 00 00 00 00 00 00 00 00", 0, 17, 48},
        {"payload length past the frame", 17, 1000, "9c 40 00 35 00 08 00 00", 0, 17, 48},
        {"cut by snaplen", 17, 1000, "9c 40 00 35 00 08 00 00", 1040, 17, 1040},
        {"jumbogram", 0, 0, "11 00 c2 04 00 01 11 70  9c 40 00 35 00 00 00 00", 70000, 17, 70000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto datagram = test::Datagram6("fd00:f5::1", "fd00:f5::2", c.next, c.payload, Hex(c.rest));
        CTrafficTable table;
        CaptureCounters counters;
        test::Fold(table, std::nullopt, DLT_RAW, datagram,
                   c.received != 0 ? c.received : static_cast<std::uint32_t>(datagram.size()), counters);
        EXPECT_EQ(counters, (CaptureCounters{1, 1, 0, 0, 0}));
        const auto e = table.Find(test::Ip6("fd00:f5::1"), test::Ip6("fd00:f5::2"), c.proto);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->m_family, IpFamily::Ipv6);
        EXPECT_EQ(e->m_src6, test::Ip6("fd00:f5::1"));
        EXPECT_EQ(e->m_nSendData, c.bytes);
        EXPECT_EQ(e->m_nSendPackets, 1U);
    }
}

TEST(Datagram, Ipv6TooShortAndSuperPackets) {
    // Shorter than the fixed header: counted as too short, whatever the link said.
    const auto header = test::Datagram6("fd00:f5::1", "fd00:f5::2", 17, 8);
    for (const std::size_t size : {std::size_t{1}, std::size_t{20}, std::size_t{39}}) {
        SCOPED_TRACE(size);
        CTrafficTable table;
        CaptureCounters counters;
        const std::vector<std::uint8_t> cut(header.begin(),
                                            header.begin() + static_cast<std::ptrdiff_t>(size));
        test::Fold(table, std::nullopt, DLT_RAW, cut, static_cast<std::uint32_t>(size), counters);
        EXPECT_EQ(counters, (CaptureCounters{1, 0, 0, 1, 0}));
    }
    // A live GSO'd UDP datagram after a hop-by-hop header: 8000 bytes of payload, 1500 - 40 - 8 - 8 = 1444 a
    // segment, so 6 segments each with its 56 bytes of headers.
    const auto gso = test::Datagram6("fd00:f5::1", "fd00:f5::2", 0, 8016,
                                     Hex("11 00 01 04 00 00 00 00 9c 40 00 35 1f 48 00 00"));
    CTrafficTable table;
    CaptureCounters counters;
    test::Fold(table, std::nullopt, DLT_RAW, gso, 8056, counters, 1500);
    const auto e = table.Find(test::Ip6("fd00:f5::1"), test::Ip6("fd00:f5::2"), 17);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->m_nSendPackets, 6U);
    EXPECT_EQ(e->m_nSendData, 8000U + 6 * 56);
}

} // namespace
} // namespace flowsentry
