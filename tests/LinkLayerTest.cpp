// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/LinkLayer.h"

#include "FrameUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

namespace flowsentry {
namespace {

using test::Hex;

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const auto kMacs = Hex("02 00 00 00 00 01 02 00 00 00 00 02");

TEST(LinkLayer, FramesOfEachLinkType) {
    const auto ip40 = test::Datagram("10.0.0.1", "10.0.0.2", 6, 40);
    const auto ip28 = test::Datagram("10.0.0.1", "10.0.0.2", 1, 28);
    auto padded = Concat(Concat(kMacs, Hex("08 00")), ip28);
    padded.resize(60, 0); // a minimum-size frame: 18 bytes of padding after the datagram
    auto ip6 = ip40;
    ip6[0] = 0x60;

    struct Case {
        const char* name;
        int linkType;
        std::vector<std::uint8_t> frame;
        std::uint32_t wireLength; // 0: the frame's own size
        FrameKind kind;
        std::uint32_t length;
    };
    const std::vector<Case> cases = {
        {"ethernet", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), ip40), 0, FrameKind::Datagram, 40},
        // What was received: the padding goes with the datagram's total length, in the decoder.
        {"ethernet padding", DLT_EN10MB, padded, 0, FrameKind::Datagram, 46},
        {"ethernet cut by snaplen", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), ip40), 1514,
         FrameKind::Datagram, 1500},
        {"802.1Q", DLT_EN10MB, Concat(Concat(kMacs, Hex("81 00 00 05 08 00")), ip40), 0, FrameKind::Datagram,
         40},
        {"802.1ad + 802.1Q", DLT_EN10MB, Concat(Concat(kMacs, Hex("88 a8 00 05 81 00 00 06 08 00")), ip40), 0,
         FrameKind::Datagram, 40},
        {"arp", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 06")), ip28), 0, FrameKind::NotIp, 0},
        {"ipv6 ethertype", DLT_EN10MB, Concat(Concat(kMacs, Hex("86 dd")), ip6), 0, FrameKind::Datagram, 40},
        {"ipv6 in 802.1Q", DLT_EN10MB, Concat(Concat(kMacs, Hex("81 00 00 05 86 dd")), ip6), 0,
         FrameKind::Datagram, 40},
        {"cooked v1 ipv6", DLT_LINUX_SLL, Concat(Hex("00 00 00 01 00 06 02 00 00 00 00 01 00 00 86 dd"), ip6),
         0, FrameKind::Datagram, 40},
        {"cooked v2 ipv6", DLT_LINUX_SLL2,
         Concat(Hex("86 dd 00 00 00 00 00 02 00 01 00 06 02 00 00 00 00 01 00 00"), ip6), 0,
         FrameKind::Datagram, 40},
        {"ipv6 link type", DLT_IPV6, ip6, 0, FrameKind::Datagram, 40},
        {"ethernet 13 bytes", DLT_EN10MB, Hex("02 00 00 00 00 01 02 00 00 00 00 02 08"), 0,
         FrameKind::TooShort, 0},
        {"cut vlan tag", DLT_EN10MB, Concat(kMacs, Hex("81 00 00 05 08")), 0, FrameKind::TooShort, 0},
        {"ethernet header only", DLT_EN10MB, Concat(kMacs, Hex("08 00")), 0, FrameKind::Datagram, 0},
        {"cooked v1", DLT_LINUX_SLL, Concat(Hex("00 00 00 01 00 06 02 00 00 00 00 01 00 00 08 00"), ip40), 0,
         FrameKind::Datagram, 40},
        {"cooked v1 arp", DLT_LINUX_SLL, Concat(Hex("00 00 00 01 00 06 02 00 00 00 00 01 00 00 08 06"), ip28),
         0, FrameKind::NotIp, 0},
        {"cooked v1 short", DLT_LINUX_SLL, Hex("00 00 00 01 00 06 02 00 00 00 00 01 00 00 08"), 0,
         FrameKind::TooShort, 0},
        {"cooked v2", DLT_LINUX_SLL2,
         Concat(Hex("08 00 00 00 00 00 00 02 00 01 00 06 02 00 00 00 00 01 00 00"), ip40), 0,
         FrameKind::Datagram, 40},
        {"cooked v2 short", DLT_LINUX_SLL2, Hex("08 00 00 00"), 0, FrameKind::TooShort, 0},
        {"raw ipv4", DLT_RAW, ip40, 0, FrameKind::Datagram, 40},
        {"raw ipv6", DLT_RAW, ip6, 0, FrameKind::Datagram, 40},
        {"raw version 5", DLT_RAW, Concat(Hex("50"), ip6), 0, FrameKind::NotIp, 0},
        {"raw empty", DLT_RAW, {}, 0, FrameKind::TooShort, 0},
        {"ipv4 link type", DLT_IPV4, ip40, 0, FrameKind::Datagram, 40},
        {"bsd loopback, little-endian family", DLT_NULL, Concat(Hex("02 00 00 00"), ip40), 0,
         FrameKind::Datagram, 40},
        {"bsd loopback, big-endian family", DLT_NULL, Concat(Hex("00 00 00 02"), ip40), 0,
         FrameKind::Datagram, 40},
        {"openbsd loop", DLT_LOOP, Concat(Hex("00 00 00 02"), ip40), 0, FrameKind::Datagram, 40},
        // AF_INET6 of Linux, NetBSD and OpenBSD, FreeBSD and macOS, in either byte order.
        {"loopback ipv6 linux", DLT_NULL, Concat(Hex("0a 00 00 00"), ip6), 0, FrameKind::Datagram, 40},
        {"loopback ipv6 netbsd", DLT_LOOP, Concat(Hex("00 00 00 18"), ip6), 0, FrameKind::Datagram, 40},
        {"loopback ipv6 freebsd", DLT_NULL, Concat(Hex("1c 00 00 00"), ip6), 0, FrameKind::Datagram, 40},
        {"loopback ipv6 darwin", DLT_NULL, Concat(Hex("1e 00 00 00"), ip6), 0, FrameKind::Datagram, 40},
        {"loopback family 7", DLT_NULL, Concat(Hex("07 00 00 00"), ip6), 0, FrameKind::NotIp, 0},
        {"loopback 3 bytes", DLT_NULL, Hex("02 00 00"), 0, FrameKind::TooShort, 0},
        {"802.11", DLT_IEEE802_11, ip40, 0, FrameKind::NotIp, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t wire =
            c.wireLength != 0 ? c.wireLength : static_cast<std::uint32_t>(c.frame.size());
        const LinkResult r = StripLinkLayer(c.linkType, c.frame, wire);
        EXPECT_EQ(r.m_kind, c.kind);
        EXPECT_EQ(r.m_nLength, c.length);
        if (r.m_kind == FrameKind::Datagram && c.length >= 20) {
            ASSERT_GE(r.m_datagram.size(), 20U);
            EXPECT_EQ(r.m_datagram[0], c.frame[c.frame.size() - r.m_datagram.size()]);
            EXPECT_TRUE(r.m_datagram[0] >> 4U == 4 || r.m_datagram[0] >> 4U == 6);
        }
    }
    EXPECT_TRUE(IsSupportedLinkType(DLT_LINUX_SLL2));
    EXPECT_FALSE(IsSupportedLinkType(DLT_IEEE802_11));
    EXPECT_EQ(LinkTypeName(DLT_IEEE802_11), "DLT_IEEE802_11");
    EXPECT_EQ(LinkTypeName(147), "147"); // a private link type libpcap has no name for
}

// Whatever follows the datagram in a frame (Ethernet padding, a frame check sequence, a trailer) is not
// counted, on every link type: the IPv4 total length says where the datagram ends. It never makes a datagram
// longer than what was received, and a total length below 20 is not one to trust.
TEST(LinkLayer, OnlyTheDatagramIsCountedNotWhatFollowsIt) {
    const auto ip28 = test::Datagram("10.0.0.1", "10.0.0.2", 1, 28);
    auto padded = Concat(Concat(kMacs, Hex("08 00")), ip28);
    padded.resize(60, 0);
    const auto withFcs = Concat(padded, Hex("de ad be ef"));
    // A 100-byte datagram whose total length claims 40: a trailer follows it.
    auto trailer = test::Datagram("10.0.0.1", "10.0.0.2", 17, 100);
    trailer[2] = 0;
    trailer[3] = 40;
    // A total length larger than what arrived never inflates the count.
    auto longer = test::Datagram("10.0.0.1", "10.0.0.2", 17, 30);
    longer[2] = 0x05;
    longer[3] = 0xdc;
    auto tiny = longer;
    tiny[2] = 0;
    tiny[3] = 4;
    struct Case {
        const char* name;
        int linkType;
        std::vector<std::uint8_t> frame;
        std::uint32_t bytes;
    };
    const std::vector<Case> cases = {
        {"padded to the minimum frame", DLT_EN10MB, padded, 28},
        {"padded, with its frame check sequence", DLT_EN10MB, withFcs, 28},
        {"1518-byte frame with its frame check sequence", DLT_EN10MB,
         Concat(Concat(Concat(kMacs, Hex("08 00")), test::Datagram("10.0.0.1", "10.0.0.2", 6, 1500)),
                Hex("de ad be ef")),
         1500},
        {"cooked, padded", DLT_LINUX_SLL,
         Concat(Concat(Hex("00 00 00 01 00 06 02 00 00 00 00 01 00 00 08 00"), ip28),
                std::vector<std::uint8_t>(18)),
         28},
        {"ethernet trailer", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), trailer), 40},
        {"raw trailer", DLT_RAW, trailer, 40},
        {"total length beyond the frame", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), longer), 30},
        {"total length 4", DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), tiny), 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sample = test::Decode(c.linkType, c.frame);
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(sample->m_nBytes, c.bytes);
        EXPECT_EQ(sample->m_nPackets, 1U);
    }
}

TEST(LinkLayer, EachFrameIsCountedForWhatHappenedToIt) {
    CTrafficTable table;
    CaptureCounters counters;
    const auto ip = test::Datagram("10.0.0.1", "10.0.0.2", 6, 40);
    auto v6 = ip;
    v6[0] = 0x65;
    test::Fold(table, std::nullopt, DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), ip), 54, counters);
    test::Fold(table, std::nullopt, DLT_EN10MB, Concat(Concat(kMacs, Hex("08 06")), ip), 54, counters);
    test::Fold(table, std::nullopt, DLT_EN10MB, Hex("02 00"), 2, counters);
    test::Fold(table, std::nullopt, DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), Hex("45 00")), 16,
               counters);
    test::Fold(table, std::nullopt, DLT_RAW, ip, 40, counters);
    test::Fold(table, std::nullopt, DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), v6), 54, counters);
    EXPECT_EQ(counters, (CaptureCounters{6, 2, 2, 2, 0}));
    const auto e = table.Find(test::Ip("10.0.0.1"), test::Ip("10.0.0.2"), 6);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->m_nSendData, 80U);
    EXPECT_EQ(e->m_nSendPackets, 2U);
}

// The capture's per-frame call appends a sample only for the frames that make one, with the same counts,
// whichever link type carries them.
TEST(LinkLayer, AppendFrameSampleAppendsOnlyWhatItCounts) {
    const auto ip = test::Datagram("10.0.0.1", "10.0.0.2", 17, 28);
    auto cut = test::Datagram("10.0.0.1", "10.0.0.2", 17, 1500);
    cut.resize(28); // what a snapshot length kept of it
    auto v6 = ip;
    v6[0] = 0x60;
    auto padded = Concat(Concat(kMacs, Hex("08 00")), ip);
    padded.resize(60, 0);
    struct Frame {
        int linkType;
        std::vector<std::uint8_t> bytes;
        std::uint32_t wireLength;
    };
    const std::vector<Frame> frames = {
        {DLT_EN10MB, padded, 60},
        {DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), cut), 1514},
        {DLT_EN10MB, Concat(Concat(kMacs, Hex("08 06")), ip), 42},
        {DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), v6), 42},
        {DLT_EN10MB, Hex("02 00 00"), 3},
        {DLT_EN10MB, Concat(Concat(kMacs, Hex("08 00")), Hex("45 00 00")), 17},
        {DLT_RAW, ip, 28},
        {DLT_NULL, Concat(Hex("02 00 00 00"), ip), 32},
        {DLT_IEEE802_11, ip, 28},
    };
    CaptureCounters counters;
    SampleBuffer samples;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        AppendFrameSample(f.linkType, f.bytes, f.wireLength, static_cast<std::int64_t>(1000 + i), 0, samples,
                          counters);
    }
    EXPECT_EQ(counters,
              (CaptureCounters{9, 0, 3, 2,
                               0})); // 4 samples; 802.11, ARP and version 6 under IPv4's type are not IP
    const Ipv4Address a = test::Ip("10.0.0.1");
    const Ipv4Address b = test::Ip("10.0.0.2");
    const std::vector<PacketSample> expected = {
        {a, b, 28, 17, IpFamily::Ipv4, 1, 1000},   // padding stripped
        {a, b, 1500, 17, IpFamily::Ipv4, 1, 1001}, // the datagram's length, not what snaplen kept
        {a, b, 28, 17, IpFamily::Ipv4, 1, 1006},
        {a, b, 28, 17, IpFamily::Ipv4, 1, 1007},
    };
    EXPECT_EQ(samples.m_samples, expected);
}

} // namespace
} // namespace flowsentry
