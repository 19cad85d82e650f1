// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/TrafficTable.h"

#include "TestUtil.h"
#include "traffic/CellWriter.h"
#include "traffic/ChunkedVector.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>

namespace flowsentry {
namespace {

using test::Ip;
using test::Sample;
using test::Sample6;

struct Counts {
    const char* src;
    const char* dest;
    std::uint64_t sendData, rcvData, sendPackets, rcvPackets;
};

// The same datagrams in the compact form a capture's reading thread hands over.
SampleBuffer Compact(const std::vector<CTrafficEntry>& samples) {
    SampleBuffer buffer;
    buffer.reserve(samples.size());
    for (const CTrafficEntry& s : samples) {
        const PacketSample packet{
            s.m_dwSrcAddress, s.m_dwDestAddress, static_cast<std::uint32_t>(s.m_nSendData),
            s.m_nProto,       IpFamily::Ipv4,    static_cast<std::uint16_t>(s.m_nSendPackets),
            s.m_tLastUpdate};
        if (s.IsIpv6()) {
            buffer.PushIpv6(packet, Ipv6Pair{s.m_src6, s.m_dest6});
        } else {
            buffer.push_back(packet);
        }
    }
    return buffer;
}

void ExpectEntry(const CTrafficTable& table, const Counts& c, std::uint8_t proto) {
    const auto entry = table.Find(Ip(c.src), Ip(c.dest), proto);
    ASSERT_TRUE(entry.has_value()) << c.src << " " << c.dest;
    EXPECT_EQ(Ipv4ToText(entry->m_dwSrcAddress), c.src);
    EXPECT_EQ(Ipv4ToText(entry->m_dwDestAddress), c.dest);
    EXPECT_EQ(entry->m_nSendData, c.sendData);
    EXPECT_EQ(entry->m_nRcvData, c.rcvData);
    EXPECT_EQ(entry->m_nSendPackets, c.sendPackets);
    EXPECT_EQ(entry->m_nRcvPackets, c.rcvPackets);
    EXPECT_EQ(entry->m_nProto, proto);
    EXPECT_EQ(entry->m_dwEntryId, EntryId(Ip(c.src), Ip(c.dest), proto));
}

TEST(TrafficTable, OrientsEntriesTowardsTheLocalAddress) {
    const auto local = Ip("192.168.1.10");
    {
        CTrafficTable table;
        EXPECT_EQ(table.AddSample(Sample("192.168.1.10", "192.168.1.1", 17, 60), local), 1);
        ExpectEntry(table, {"192.168.1.10", "192.168.1.1", 60, 0, 1, 0}, 17);
    }
    {
        // The first datagram comes in: the entry is still local -> remote, counted as received.
        CTrafficTable table;
        EXPECT_EQ(table.AddSample(Sample("192.168.1.1", "192.168.1.10", 17, 60), local), 1);
        ExpectEntry(table, {"192.168.1.10", "192.168.1.1", 0, 60, 0, 1}, 17);
        EXPECT_EQ(table.AddSample(Sample("192.168.1.10", "192.168.1.1", 17, 100), local), 0);
        EXPECT_EQ(table.AddSample(Sample("192.168.1.1", "192.168.1.10", 17, 7), local), 0);
        ExpectEntry(table, {"192.168.1.10", "192.168.1.1", 100, 67, 1, 2}, 17);
        EXPECT_EQ(table.EntryCount(), 1U);
    }
    {
        // Two other hosts, or no local address at all: the first datagram decides.
        for (const std::optional<Ipv4Address> reference :
             {std::optional<Ipv4Address>(local), std::optional<Ipv4Address>()}) {
            CTrafficTable table;
            table.AddSample(Sample("10.1.1.2", "10.1.1.1", 6, 40), reference);
            table.AddSample(Sample("10.1.1.1", "10.1.1.2", 6, 1500), reference);
            ExpectEntry(table, {"10.1.1.2", "10.1.1.1", 40, 1500, 1, 1}, 6);
        }
    }
}

TEST(TrafficTable, TrafficFromTheLocalAddressToItself) {
    const auto local = Ip("192.168.1.10");
    CTrafficTable table;
    table.AddSample(Sample("192.168.1.10", "192.168.1.10", 1, 84), local);
    ExpectEntry(table, {"192.168.1.10", "192.168.1.10", 0, 84, 0, 1}, 1);
    // The same-direction test comes first, so every later datagram is counted as sent.
    table.AddSample(Sample("192.168.1.10", "192.168.1.10", 1, 84), local);
    table.AddSample(Sample("192.168.1.10", "192.168.1.10", 1, 84), local);
    ExpectEntry(table, {"192.168.1.10", "192.168.1.10", 168, 84, 2, 1}, 1);
    EXPECT_EQ(table.EntryCount(), 1U);
}

TEST(TrafficTable, PairsThatShareAnEntryIdKeepTheirOwnEntries) {
    const auto local = Ip("10.0.0.1");
    ASSERT_EQ(EntryId(Ip("10.0.0.1"), Ip("10.0.0.2"), 6), EntryId(Ip("10.0.0.5"), Ip("10.0.0.6"), 6));
    CTrafficTable table;
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 100), local);
    table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 50), local);
    EXPECT_EQ(table.AddSample(Sample("10.0.0.5", "10.0.0.6", 6, 1000), local), 1);
    table.AddSample(Sample("10.0.0.6", "10.0.0.5", 6, 500), local);
    table.AddSample(Sample("10.0.0.5", "10.0.0.6", 6, 1000), local);
    ExpectEntry(table, {"10.0.0.1", "10.0.0.2", 100, 50, 1, 1}, 6);
    ExpectEntry(table, {"10.0.0.5", "10.0.0.6", 2000, 500, 2, 1}, 6);
    EXPECT_EQ(table.EntryCount(), 2U);

    // EntryId 0 is a key like any other.
    table.AddSample(Sample("1.2.3.4", "7.2.3.4", 6, 10), local);
    table.AddSample(Sample("7.2.3.4", "1.2.3.4", 6, 20), local);
    ExpectEntry(table, {"1.2.3.4", "7.2.3.4", 10, 20, 1, 1}, 6);
    EXPECT_EQ(table.Find(Ip("1.2.3.4"), Ip("7.2.3.4"), 6)->m_dwEntryId, 0U);
}

TEST(TrafficTable, OnePairWithTwoProtocolsHasTwoEntries) {
    CTrafficTable table;
    table.AddSample(Sample("10.0.0.1", "10.0.0.9", 1, 84), std::nullopt);
    table.AddSample(Sample("10.0.0.1", "10.0.0.9", 17, 200), std::nullopt);
    table.AddSample(Sample("10.0.0.9", "10.0.0.1", 1, 84), std::nullopt);
    ExpectEntry(table, {"10.0.0.1", "10.0.0.9", 84, 84, 1, 1}, 1);
    ExpectEntry(table, {"10.0.0.1", "10.0.0.9", 200, 0, 1, 0}, 17);
    EXPECT_FALSE(table.Find(Ip("10.0.0.1"), Ip("10.0.0.9"), 6).has_value());
}

TEST(TrafficTable, CountersAreSixtyFourBit) {
    CTrafficTable table;
    auto big = Sample("10.0.0.1", "10.0.0.2", 6, 3'000'000'000ULL);
    big.m_nSendPackets = 3'000'000'000ULL;
    table.AddSample(big, std::nullopt);
    table.AddSample(big, std::nullopt);
    auto back = big;
    std::swap(back.m_dwSrcAddress, back.m_dwDestAddress);
    table.AddSample(back, std::nullopt);
    ExpectEntry(
        table,
        {"10.0.0.1", "10.0.0.2", 6'000'000'000ULL, 3'000'000'000ULL, 6'000'000'000ULL, 3'000'000'000ULL}, 6);
}

TEST(TrafficTable, TimeIsThatOfTheLastPacket) {
    CTrafficTable table;
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 40, 1000), std::nullopt);
    table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 40, 1005), std::nullopt);
    EXPECT_EQ(table.Find(Ip("10.0.0.1"), Ip("10.0.0.2"), 6)->m_tLastUpdate, 1005);
}

// Where a flow starts: a new row at its first packet, a changed row at its first packet since the previous
// pull, whatever came after; in every store (IPv4, IPv6, overflow) and across the 32-bit wrap of the kept
// seconds. The fold's clock is readable beside it.
TEST(TrafficTable, PullsGiveEachChangeItsFirstPacket) {
    using test::Sample6;
    const auto local = Ip("10.0.0.1");
    CTrafficTable table;
    table.SetMaxEntries(2);
    EXPECT_EQ(table.Times().m_tLast, 0);
    const std::int64_t t0 = 0x1'0000'0000LL - 3; // the low 32 bits come round during the test
    auto add = [&](std::int64_t t) {
        table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 40, t), local);
        table.AddSample(Sample6("fd00::1", "fd00::2", 17, 40, t), local);
        table.AddSample(Sample("10.0.0.9", "10.0.0.1", 1, 40, t), local); // the overflow row
    };
    auto starts = [](const TrafficBatch& batch) {
        std::vector<std::int64_t> all = batch.m_newRowStarts;
        for (const RowChange& change : batch.m_changedRows) {
            all.push_back(change.m_tFirstChange);
        }
        return all;
    };
    add(t0);
    add(t0 + 2);
    EXPECT_EQ(starts(table.PullChanges()), std::vector<std::int64_t>(3, t0));
    add(t0 + 5);
    add(t0 + 9);
    EXPECT_EQ(table.Times().m_tFirst, t0);
    EXPECT_EQ(table.Times().m_tLast, t0 + 9);
    EXPECT_EQ(starts(table.PullChanges()), std::vector<std::int64_t>(3, t0 + 5));
    // A file out of order: an older packet after a newer one never puts the start after the last update.
    add(t0 + 20);
    add(t0 + 12);
    const TrafficBatch late = table.PullChanges();
    for (const RowChange& change : late.m_changedRows) {
        EXPECT_EQ(change.m_tFirstChange, t0 + 12);
        EXPECT_EQ(change.m_entry.m_tLastUpdate, t0 + 12);
    }
    table.Clear();
    EXPECT_EQ(table.Times().m_tLast, 0);
}

TEST(TrafficTable, ClearStartsCountingAgain) {
    CTrafficTable table;
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 40), std::nullopt);
    table.AddSample(Sample("10.0.0.3", "10.0.0.4", 6, 40), std::nullopt);
    (void)table.PullChanges();
    table.Clear();
    EXPECT_EQ(table.EntryCount(), 0U);
    EXPECT_FALSE(table.Find(Ip("10.0.0.1"), Ip("10.0.0.2"), 6).has_value());

    // A pair seen before the clear comes back as a new entry, counted from zero.
    EXPECT_EQ(table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 60), std::nullopt), 1);
    ExpectEntry(table, {"10.0.0.2", "10.0.0.1", 60, 0, 1, 0}, 6);
    const TrafficBatch batch = table.PullChanges();
    EXPECT_TRUE(batch.m_bReset);
    ASSERT_EQ(batch.m_newRows.size(), 1U);
    EXPECT_EQ(batch.m_newRows[0].m_nSendData, 60U);
    EXPECT_FALSE(table.PullChanges().m_bReset) << "a reset is reported once";
}

TEST(TrafficTable, ManyEntriesStayFindable) {
    CTrafficTable table;
    std::vector<CTrafficEntry> samples;
    constexpr std::uint32_t kPairs = 200'000;
    for (std::uint32_t i = 0; i < kPairs; ++i) {
        CTrafficEntry s;
        s.m_dwSrcAddress = 0x0A000000U + i;
        s.m_dwDestAddress = 0xC0A80001U;
        s.m_nProto = static_cast<std::uint8_t>(i % 3 == 0 ? 6 : 17);
        s.m_nSendData = i + 20;
        s.m_nSendPackets = 1;
        samples.push_back(s);
    }
    table.AddSamples(samples, 0xC0A80001U);
    table.AddSamples(samples, std::nullopt);
    ASSERT_EQ(table.EntryCount(), kPairs);
    for (std::uint32_t i = 0; i < kPairs; i += 997) {
        const auto e = table.Find(0xC0A80001U, 0x0A000000U + i, samples[i].m_nProto);
        ASSERT_TRUE(e.has_value()) << i;
        EXPECT_EQ(e->m_dwSrcAddress, 0xC0A80001U);
        EXPECT_EQ(e->m_nRcvData, 2 * (i + 20));
        EXPECT_EQ(e->m_nRcvPackets, 2U);
    }
}

// The batched fold works ahead of the sample it folds (hashes, fetches); it must give exactly what folding
// the samples one at a time gives, in either form of sample, whatever the batch holds: the same key again
// before its earlier sample is folded, both directions, traffic of an address to itself, pairs that share an
// EntryId, new entries that grow the index in the middle of a batch, and rows that changed after a pull.
TEST(TrafficTable, ABatchFoldsAsTheSamplesOneByOne) {
    std::vector<CTrafficEntry> samples;
    std::uint64_t state = 7;
    auto next = [&state] { // splitmix64: the same batch on every machine
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31U);
    };
    const auto local = Ip("10.0.0.1");
    for (std::int64_t i = 0; i < 60'000; ++i) {
        const std::uint64_t r = next();
        CTrafficEntry s;
        switch (r % 8) {
        case 0: // the same pair as the previous sample, the other way round
            s = samples.empty() ? Sample("10.0.0.1", "10.0.0.2", 6, 40) : samples.back();
            std::swap(s.m_dwSrcAddress, s.m_dwDestAddress);
            std::swap(s.m_src6, s.m_dest6);
            break;
        case 1: // an address to itself
            s = Sample("10.0.0.1", "10.0.0.1", 1, 84);
            break;
        case 2: // EntryId(10.0.0.1, 10.0.0.2) == EntryId(10.0.0.5, 10.0.0.6): distinct entries all the same
            s = (r >> 8U) % 2 == 0 ? Sample("10.0.0.5", "10.0.0.6", 6, 60)
                                   : Sample("10.0.0.6", "10.0.0.5", 6, 60);
            break;
        case 3: // IPv6 beside IPv4: a few hot pairs, many cold ones, and the same low bits as IPv4 pairs
            s = Sample6("fd00:f5::1", "fd00:f5::2", 17, 0);
            s.m_dest6[15] = static_cast<std::uint8_t>((r >> 8U) % ((r >> 40U) % 4 == 0 ? 200 : 4));
            s.m_dest6[14] = static_cast<std::uint8_t>((r >> 16U) % ((r >> 40U) % 4 == 0 ? 50 : 1));
            s.m_nProto = static_cast<std::uint8_t>(r >> 32U) % 3 == 0 ? 58 : 6;
            if ((r >> 36U) % 2 == 0) {
                std::swap(s.m_src6, s.m_dest6);
            }
            break;
        default: // a few hot pairs and many cold ones, so the index grows while batches fold
            s.m_dwSrcAddress = local;
            s.m_dwDestAddress =
                0x0B000000U + static_cast<Ipv4Address>((r >> 8U) % ((r >> 40U) % 4 == 0 ? 20'000 : 8));
            s.m_nProto = static_cast<std::uint8_t>(r >> 32U) % 3 == 0 ? 17 : 6;
            if ((r >> 36U) % 2 == 0) {
                std::swap(s.m_dwSrcAddress, s.m_dwDestAddress);
            }
            break;
        }
        s.m_nSendData = 20 + (r >> 48U) % 1480;
        // Now and then a live capture's super-packet, which stands for several.
        s.m_nSendPackets = (r >> 20U) % 8 == 0 ? 2 + (r >> 24U) % 45 : 1;
        s.m_tLastUpdate = 1'700'000'000 + i / 100;
        samples.push_back(s);
    }

    // The same datagrams in the compact form a capture file's reading thread hands over.
    const SampleBuffer packets = Compact(samples);
    const std::span<const PacketSample> compactSamples(packets.m_samples);

    for (const std::optional<IpAddress> reference :
         {std::optional<IpAddress>(local), std::optional<IpAddress>(),
          std::optional<IpAddress>(IpAddress(test::Ip6("fd00:f5::1")))}) {
        CTrafficTable oneByOne;
        CTrafficTable batched;
        CTrafficTable compact;
        // Batches of varied sizes, shorter and longer than the fold's look-ahead, with a pull in between so
        // that changed rows are recorded too.
        std::size_t at = 0;
        for (const std::size_t size : {1U, 3U, 17U, 4096U, 5U, 30'000U, 40U}) {
            const auto batch = std::span(samples).subspan(at, std::min(size, samples.size() - at));
            for (const CTrafficEntry& s : batch) {
                oneByOne.AddSample(s, reference);
            }
            EXPECT_EQ(batched.AddSamples(batch, reference), 0U);
            EXPECT_EQ(compact.AddSamples(compactSamples.subspan(at, batch.size()), reference, packets.m_v6),
                      0U);
            at += batch.size();
            const TrafficBatch a = oneByOne.PullChanges();
            for (CTrafficTable* table : {&batched, &compact}) {
                const TrafficBatch b = table->PullChanges();
                ASSERT_EQ(a.m_newRows, b.m_newRows);
                ASSERT_EQ(a.m_changedRows.size(), b.m_changedRows.size());
                for (std::size_t i = 0; i < a.m_changedRows.size(); ++i) {
                    EXPECT_EQ(a.m_changedRows[i].m_nRow, b.m_changedRows[i].m_nRow);
                    EXPECT_EQ(a.m_changedRows[i].m_entry, b.m_changedRows[i].m_entry);
                }
            }
        }
        for (const CTrafficEntry& s : std::span(samples).subspan(at)) {
            oneByOne.AddSample(s, reference);
        }
        EXPECT_EQ(batched.AddSamples(std::span(samples).subspan(at), reference), 0U);
        EXPECT_EQ(compact.AddSamples(compactSamples.subspan(at), reference, packets.m_v6), 0U);
        EXPECT_EQ(batched.Snapshot(), oneByOne.Snapshot());
        EXPECT_EQ(compact.Snapshot(), oneByOne.Snapshot());
        EXPECT_GT(batched.EntryCount(), 4'000U); // the index grew several times on the way
        const std::vector<CTrafficEntry> all = oneByOne.Snapshot();
        const auto v6 =
            std::count_if(all.begin(), all.end(), [](const CTrafficEntry& e) { return e.IsIpv6(); });
        EXPECT_GT(v6, 1'000);
    }
}

// One table holds both families: the key is the family with both addresses and the protocol, rows are
// numbered by creation across both, and each family is oriented toward a local address of its own.
TEST(TrafficTable, BothFamiliesInOneTable) {
    const IpAddress local6(test::Ip6("fd00:f5::1"));
    CTrafficTable table;
    EXPECT_EQ(table.AddSample(Sample("10.0.0.2", "10.0.0.1", 17, 60), local6), 1);
    EXPECT_EQ(table.AddSample(test::Sample6("fd00:f5::2", "fd00:f5::1", 17, 100), local6), 1);
    // ::a00:2 and ::a00:1 hold the IPv4 pair's bits: a key without the family would take them as one.
    EXPECT_EQ(table.AddSample(test::Sample6("::a00:2", "::a00:1", 17, 7), local6), 1);
    TrafficBatch first = table.PullChanges();
    ASSERT_EQ(first.m_newRows.size(), 3U);
    EXPECT_EQ(Ipv6ToText(first.m_newRows[0].m_src6), "::a00:2");
    // Oriented toward the IPv6 local address; the IPv4 entry by its first datagram.
    EXPECT_EQ(Ipv6ToText(first.m_newRows[1].m_src6), "fd00:f5::1");
    EXPECT_EQ(first.m_newRows[1].m_nRcvData, 100U);
    EXPECT_FALSE(first.m_newRows[2].IsIpv6());
    EXPECT_EQ(first.m_newRows[2].m_dwSrcAddress, Ip("10.0.0.2"));

    EXPECT_EQ(table.AddSample(Sample("10.0.0.3", "10.0.0.1", 6, 40), local6), 1);
    EXPECT_EQ(table.AddSample(test::Sample6("fd00:f5::1", "fd00:f5::2", 17, 50), local6), 0);
    EXPECT_EQ(table.AddSample(Sample("10.0.0.1", "10.0.0.2", 17, 20), local6), 0);
    const TrafficBatch second = table.PullChanges();
    ASSERT_EQ(second.m_newRows.size(), 1U);
    ASSERT_EQ(second.m_changedRows.size(), 2U);
    EXPECT_EQ(second.m_changedRows[0].m_nRow, 2U); // the IPv6 entry, second oldest
    EXPECT_EQ(second.m_changedRows[0].m_entry.m_nSendData, 50U);
    EXPECT_EQ(second.m_changedRows[1].m_nRow, 3U); // the oldest, IPv4
    EXPECT_EQ(second.m_changedRows[1].m_entry.m_nRcvData, 20U);
    const auto found = table.Find(test::Ip6("fd00:f5::2"), test::Ip6("fd00:f5::1"), 17);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->m_nSendData + found->m_nRcvData, 150U);
    EXPECT_FALSE(table.Find(test::Ip6("fd00:f5::2"), test::Ip6("fd00:f5::1"), 6).has_value());

    // A compact IPv6 sample whose address pair is missing is dropped alone.
    const std::vector<PacketSample> orphan = {PacketSample{5, 0, 60, 17, IpFamily::Ipv6, 1, 0}};
    EXPECT_EQ(table.AddSamples(std::span<const PacketSample>(orphan), local6), 1U);
    EXPECT_EQ(table.EntryCount(), 4U);
}

// A pull lists what changed since the last one, pull after pull, also after tens of thousands of pulls in
// which a row stood still (the table marks listed entries by pull, and the marks come round).
TEST(TrafficTable, ChangesAreListedPullAfterPull) {
    const Ipv4Address local = Ip("10.0.0.1");
    CTrafficTable table;
    // Rows changed once early and once again 65,536 pulls later, and rows first changed around then.
    constexpr std::uint32_t kEarly = 40;
    constexpr std::uint32_t kLate = 80;
    auto peer = [](std::uint32_t k) { return Ipv4ToText(Ip("10.1.0.0") + k); };
    for (std::uint32_t k = 0; k < kEarly + kLate; ++k) {
        table.AddSample(Sample(peer(k).c_str(), "10.0.0.1", 17, 10), local);
    }
    ASSERT_EQ(table.PullChanges().m_newRows.size(), kEarly + kLate);
    constexpr std::uint32_t kPulls = 65'700;
    for (std::uint32_t i = 0; i < kPulls; ++i) {
        std::vector<std::uint32_t> changed;
        for (std::uint32_t k = 0; k < kEarly; ++k) {
            if (i == k || i == 65'536 + k) {
                changed.push_back(k);
            }
        }
        for (std::uint32_t k = 0; k < kLate; ++k) {
            if (i == 65'480 + k) {
                changed.push_back(kEarly + k);
            }
        }
        for (const std::uint32_t k : changed) {
            table.AddSample(Sample(peer(k).c_str(), "10.0.0.1", 17, 10), local);
        }
        const TrafficBatch batch = table.PullChanges();
        ASSERT_EQ(batch.m_changedRows.size(), changed.size()) << "pull " << i;
        for (std::size_t c = 0; c < changed.size(); ++c) {
            // Rows are newest first: entry k is row count - 1 - k.
            EXPECT_EQ(batch.m_changedRows[c].m_nRow, kEarly + kLate - 1 - changed[changed.size() - 1 - c]);
        }
    }
}

// A bounded table: past the maximum, a datagram of a key the table does not hold counts in the overflow row
// of its protocol (both families share it); known keys count in their own rows; every byte and packet is in
// some row. The same in every fold path: one by one, batches of entries, batches of compact samples.
TEST(TrafficTable, PastTheMaximumNewKeysCountInOverflowRows) {
    using test::Ip6;
    const auto local = Ip("10.0.0.1");
    const std::vector<CTrafficEntry> first = {
        Sample("10.0.0.1", "10.0.0.2", 6, 100, 1),  Sample6("fd00::1", "fd00::2", 17, 200, 2),
        Sample("10.0.0.3", "10.0.0.1", 17, 300, 3), // the third entry fills the table
        Sample("10.0.0.1", "10.0.0.9", 6, 40, 4),   // from the local address: sent
        Sample6("fd00::7", "fd00::8", 6, 60, 5),    // IPv6 into the same TCP row; not ours: sent
    };
    const std::vector<CTrafficEntry> second = {
        Sample("10.0.0.2", "10.0.0.1", 6, 500, 6), // known: its own row, though the maximum is lower now
        Sample("10.0.0.7", "10.0.0.1", 17, 70, 7), // to the local address: received
        Sample6("fd00::2", "fd00::1", 17, 80, 8),
        Sample("10.0.0.1", "10.0.0.9", 6, 10, 9),
    };
    enum class Path { OneByOne, Entries, Compact };
    for (const Path path : {Path::OneByOne, Path::Entries, Path::Compact}) {
        SCOPED_TRACE(static_cast<int>(path));
        CTrafficTable table;
        auto fold = [&](const std::vector<CTrafficEntry>& samples) {
            if (path == Path::OneByOne) {
                for (const CTrafficEntry& s : samples) {
                    table.AddSample(s, local);
                }
            } else if (path == Path::Entries) {
                EXPECT_EQ(table.AddSamples(samples, local), 0U);
            } else {
                EXPECT_EQ(table.AddSamples(Compact(samples), local), 0U);
            }
        };
        EXPECT_EQ(table.MaxEntries(), CTrafficTable::kDefaultMaxEntries);
        table.SetMaxEntries(3);
        fold(first);
        const TrafficBatch one = table.PullChanges();
        ASSERT_EQ(one.m_newRows.size(), 4U);
        const CTrafficEntry& tcp = one.m_newRows[0];
        EXPECT_EQ(tcp.m_family, IpFamily::Other);
        EXPECT_EQ(tcp.m_nProto, 6);
        EXPECT_EQ(CellText(tcp, ColSrcAddress), "other");
        EXPECT_EQ(CellText(tcp, ColDestAddress), "other");
        EXPECT_EQ(IpToText(tcp.Source()), "other");
        EXPECT_EQ((std::array{tcp.m_nSendData, tcp.m_nRcvData, tcp.m_nSendPackets, tcp.m_nRcvPackets}),
                  (std::array<std::uint64_t, 4>{100, 0, 2, 0}));
        EXPECT_EQ(tcp.m_tLastUpdate, 5);
        EXPECT_EQ(one.m_newRows[1].m_dwSrcAddress, local); // the entries as before, oriented to us
        EXPECT_EQ(table.OverflowDatagrams(), 2U);

        // A lower maximum removes nothing; the overflow row changes, UDP gets one of its own.
        table.SetMaxEntries(1);
        fold(second);
        const TrafficBatch two = table.PullChanges();
        ASSERT_EQ(two.m_newRows.size(), 1U);
        EXPECT_EQ(two.m_newRows[0].m_family, IpFamily::Other);
        EXPECT_EQ(two.m_newRows[0].m_nProto, 17);
        EXPECT_EQ((std::array{two.m_newRows[0].m_nSendData, two.m_newRows[0].m_nRcvData,
                              two.m_newRows[0].m_nRcvPackets}),
                  (std::array<std::uint64_t, 3>{0, 70, 1}));
        EXPECT_EQ(two.m_nRowCount, 5U);
        ASSERT_EQ(two.m_changedRows.size(), 3U);
        EXPECT_EQ(two.m_changedRows[0].m_nRow, 1U); // the TCP overflow row, under the new UDP one
        EXPECT_EQ(two.m_changedRows[0].m_entry.m_family, IpFamily::Other);
        EXPECT_EQ(two.m_changedRows[0].m_entry.m_nSendData, 110U);
        EXPECT_EQ(two.m_changedRows[0].m_entry.m_nSendPackets, 3U);
        EXPECT_EQ(two.m_changedRows[1].m_nRow, 3U);
        EXPECT_EQ(two.m_changedRows[1].m_entry.m_nRcvData, 80U);
        EXPECT_EQ(two.m_changedRows[2].m_nRow, 4U);
        EXPECT_EQ(two.m_changedRows[2].m_entry.m_nRcvData, 500U);
        EXPECT_EQ(table.EntryCount(), 5U);
        EXPECT_EQ(table.OverflowDatagrams(), 4U);
        EXPECT_FALSE(table.Find(Ip("10.0.0.1"), Ip("10.0.0.7"), 17).has_value());
        EXPECT_FALSE(table.Find(Ip6("fd00::7"), Ip6("fd00::8"), 6).has_value());

        std::uint64_t bytes = 0;
        std::uint64_t packets = 0;
        for (const CTrafficEntry& e : table.Snapshot()) {
            bytes += CounterValue(e, ColTotalData);
            packets += CounterValue(e, ColTotalPackets);
        }
        EXPECT_EQ(bytes, 1360U);
        EXPECT_EQ(packets, 9U);

        // A raised maximum lets new keys in again.
        table.SetMaxEntries(4);
        fold({Sample("10.0.0.1", "10.0.0.4", 1, 84)});
        EXPECT_TRUE(table.Find(Ip("10.0.0.1"), Ip("10.0.0.4"), 1).has_value());
        EXPECT_FALSE(table.FindOverflow(1).has_value());
        EXPECT_EQ(table.OverflowDatagrams(), 4U);

        table.Clear();
        EXPECT_EQ(table.OverflowDatagrams(), 0U);
        EXPECT_EQ(table.EntryCount(), 0U);
        EXPECT_FALSE(table.FindOverflow(6).has_value());
        EXPECT_EQ(table.MaxEntries(), 4U);
        // Counting starts again: a key of the old overflow row is an entry now, and overflow rows begin anew.
        table.SetMaxEntries(1);
        fold({Sample("10.0.0.1", "10.0.0.9", 6, 40), Sample("10.0.0.1", "10.0.0.2", 6, 30)});
        const TrafficBatch three = table.PullChanges();
        EXPECT_TRUE(three.m_bReset);
        ASSERT_EQ(three.m_newRows.size(), 2U);
        EXPECT_EQ(three.m_newRows[0].m_family, IpFamily::Other);
        EXPECT_EQ(three.m_newRows[0].m_nSendData, 30U);
        EXPECT_EQ(three.m_newRows[1].m_family, IpFamily::Ipv4);
        EXPECT_EQ(three.m_newRows[1].m_nSendData, 40U);
        EXPECT_EQ(table.OverflowDatagrams(), 1U);
    }
}

// Transparent huge pages back only aligned 2 MiB ranges: each chunk must be one, or the hint is lost.
TEST(ChunkedVector, EachChunkIsAnAlignedHugePage) {
    ChunkedVector<CTrafficEntry> rows;
    const std::size_t perChunk = ChunkedVector<CTrafficEntry>::kChunkSize;
    for (std::size_t i = 0; i < 2 * perChunk + 1; ++i) {
        rows.push_back(CTrafficEntry{});
    }
    for (const std::size_t first : {std::size_t{0}, perChunk, 2 * perChunk}) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&rows[first]) % kHugePage, 0U) << "chunk at " << first;
    }
}

} // namespace
} // namespace flowsentry
