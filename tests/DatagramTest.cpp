// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestUtil.h"
#include "capture/Datagram.h"

#include <gtest/gtest.h>

namespace flowsentry {
namespace {

using test::Hex;
using test::Ip;

// A UDP header from 10.0.0.1 to 192.168.0.255, padded out by the cases below.
const char* const kHeader = "45 00 00 1c 00 01 00 00 40 11 00 00 0a 00 00 01 c0 a8 00 ff";

TEST(ProcessDatagram, WhichBuffersBecomeSamples) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t count;
        DatagramVerdict verdict;
        std::uint64_t countedBytes;
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
    const std::vector<Case> cases = {
        {"zero bytes", {}, 0, DatagramVerdict::Empty, 0},
        {"19 bytes", sized(19), 19, DatagramVerdict::TooShort, 0},
        {"20 bytes", sized(20), 20, DatagramVerdict::Counted, 20},
        {"count 0 with bytes", sized(20), 0, DatagramVerdict::Empty, 0},
        {"version 6", header("60"), 20, DatagramVerdict::NotIpv4, 0},
        {"version 6, one byte", Hex("60"), 1, DatagramVerdict::NotIpv4, 0},
        {"header length 15 words", header("4f"), 20, DatagramVerdict::Counted, 20},
        {"header length 0", header("40"), 20, DatagramVerdict::Counted, 20},
        // The byte count is what was received, not the header's total length (here 0x1c = 28).
        {"1500 bytes, total length 28", sized(1500), 1500, DatagramVerdict::Counted, 1500},
        {"largest datagram", sized(65535), 65535, DatagramVerdict::Counted, 65535},
        // Captured with a small snaplen: the header is there, the count is the real size.
        {"cut by snaplen", sized(20), 9000, DatagramVerdict::Counted, 9000},
        {"count says 20, fewer captured", sized(12), 20, DatagramVerdict::TooShort, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTrafficTable table;
        EXPECT_EQ(ProcessDatagram(table, std::nullopt, c.bytes, c.count, 0), c.verdict);
        if (c.verdict == DatagramVerdict::Counted) {
            const auto e = table.Find(Ip("10.0.0.1"), Ip("192.168.0.255"), 17);
            ASSERT_TRUE(e.has_value());
            EXPECT_EQ(e->m_nSendData, c.countedBytes);
            EXPECT_EQ(e->m_nSendPackets, 1U);
            EXPECT_EQ(e->m_nRcvData + e->m_nRcvPackets, 0U);
        } else {
            EXPECT_EQ(table.EntryCount(), 0U);
        }
    }
}

TEST(ProcessDatagram, ReadsProtocolAndAddressesFromTheirOffsets) {
    for (const int value : {6, 17, 1, 0, 47, 255}) {
        const auto proto = static_cast<std::uint8_t>(value);
        CTrafficEntry sample;
        ASSERT_EQ(DecodeDatagram(test::Datagram("10.0.0.1", "192.168.0.255", proto, 60), 60, 77, sample),
                  DatagramVerdict::Counted);
        EXPECT_EQ(sample.m_nProto, proto);
        EXPECT_EQ(CellText(sample, ColSrcAddress), "10.0.0.1");
        EXPECT_EQ(CellText(sample, ColDestAddress), "192.168.0.255");
        EXPECT_EQ(sample.m_nSendData, 60U);
        EXPECT_EQ(sample.m_nSendPackets, 1U);
        EXPECT_EQ(sample.m_tLastUpdate, 77);
        EXPECT_EQ(sample.m_dwEntryId, 0U);
    }
}

TEST(ProcessDatagram, FoldsWithTheLocalAddressAsReference) {
    CTrafficTable table;
    const auto local = Ip("192.168.1.10");
    ProcessDatagram(table, local, test::Datagram("192.168.1.1", "192.168.1.10", 17, 60), 60, 0);
    ProcessDatagram(table, local, test::Datagram("192.168.1.10", "192.168.1.1", 17, 80), 80, 0);
    ProcessDatagram(table, local, test::Datagram("192.168.1.10", "192.168.1.10", 6, 40), 40, 0);
    const auto udp = table.Find(Ip("192.168.1.1"), Ip("192.168.1.10"), 17);
    ASSERT_TRUE(udp.has_value());
    EXPECT_EQ(udp->m_dwSrcAddress, local);
    EXPECT_EQ(udp->m_nSendData, 80U);
    EXPECT_EQ(udp->m_nRcvData, 60U);
    const auto self = table.Find(local, local, 6);
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->m_nRcvPackets, 1U);
}

} // namespace
} // namespace flowsentry
