// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowStore.h"

#include "TestUtil.h"
#include "traffic/CellWriter.h"
#include "traffic/TrafficTable.h"

#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace flowsentry {
namespace {

using test::Ip;
using test::Sample;

// Row r of the consumer must be entry count - 1 - r of the table, with the same values.
void ExpectStoreMatchesTable(const CRowStore& store, const CTrafficTable& table) {
    const std::vector<CTrafficEntry> entries = table.Snapshot();
    ASSERT_EQ(store.RowCount(), entries.size());
    for (std::size_t row = 0; row < entries.size(); ++row) {
        ASSERT_EQ(store.Row(row), entries[entries.size() - 1 - row]) << "row " << row;
    }
}

TEST(TrafficBatch, NewRowsComeTopToBottomAndChangedRowsByIndex) {
    CTrafficTable table;
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 10), std::nullopt); // serial 0
    table.AddSample(Sample("10.0.0.1", "10.0.0.3", 6, 20), std::nullopt); // serial 1
    TrafficBatch first = table.PullChanges();
    ASSERT_EQ(first.m_newRows.size(), 2U);
    EXPECT_EQ(first.m_newRows[0].m_dwDestAddress, Ip("10.0.0.3")) << "newest on top";
    EXPECT_EQ(first.m_newRows[1].m_dwDestAddress, Ip("10.0.0.2"));
    EXPECT_TRUE(first.m_changedRows.empty());
    EXPECT_EQ(first.m_nRowCount, 2U);
    EXPECT_TRUE(table.PullChanges().empty()) << "nothing happened since";

    table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 5), std::nullopt);  // serial 0 changes
    table.AddSample(Sample("10.0.0.1", "10.0.0.4", 17, 1), std::nullopt); // serial 2, new
    table.AddSample(Sample("10.0.0.1", "10.0.0.4", 17, 1), std::nullopt); // new and changed: one new row
    table.AddSample(Sample("10.0.0.1", "10.0.0.3", 6, 1), std::nullopt);  // serial 1 changes
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1), std::nullopt);  // serial 0 again: listed once
    const TrafficBatch second = table.PullChanges();
    ASSERT_EQ(second.m_newRows.size(), 1U);
    EXPECT_EQ(second.m_newRows[0].m_nSendData, 2U);
    ASSERT_EQ(second.m_changedRows.size(), 2U);
    EXPECT_EQ(second.m_changedRows[0].m_nRow, 1U); // serial 1 is row 3 - 1 - 1
    EXPECT_EQ(second.m_changedRows[0].m_entry.m_nSendData, 21U);
    EXPECT_EQ(second.m_changedRows[1].m_nRow, 2U); // serial 0 is the bottom row
    EXPECT_EQ(second.m_changedRows[1].m_entry.m_nSendData, 11U);
    EXPECT_EQ(second.m_changedRows[1].m_entry.m_nRcvData, 5U);
    EXPECT_EQ(second.m_nRowCount, 3U);
}

TEST(TrafficBatch, RowIndicesStayRightOverManyInsertsAndPulls) {
    std::mt19937 random(12345);
    CTrafficTable table;
    CRowStore store;
    for (int round = 0; round < 300; ++round) {
        const int samples = static_cast<int>(random() % 200);
        for (int i = 0; i < samples; ++i) {
            // A growing address space: early pairs keep changing while new ones arrive.
            const auto host = static_cast<std::uint32_t>(random() % (50 + 20 * static_cast<unsigned>(round)));
            CTrafficEntry s;
            s.m_dwSrcAddress = 0x0A000000U + host;
            s.m_dwDestAddress = 0x0A000000U + (host * 7) % 13;
            s.m_nProto = static_cast<std::uint8_t>(host % 2 == 0 ? 6 : 17);
            s.m_nSendData = random() % 1500 + 20;
            s.m_nSendPackets = 1;
            s.m_tLastUpdate = round;
            table.AddSample(s, 0x0A000000U);
        }
        store.Apply(table.PullChanges());
        ExpectStoreMatchesTable(store, table);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GT(store.RowCount(), 1000U);
}

TEST(TrafficBatch, AResetEmptiesTheConsumer) {
    CTrafficTable table;
    CRowStore store;
    table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 10), std::nullopt);
    table.AddSample(Sample("10.0.0.1", "10.0.0.3", 6, 10), std::nullopt);
    store.Apply(table.PullChanges());
    ASSERT_EQ(store.RowCount(), 2U);
    table.Clear();
    table.AddSample(Sample("10.0.0.9", "10.0.0.1", 6, 10), std::nullopt);
    store.Apply(table.PullChanges());
    ExpectStoreMatchesTable(store, table);
    EXPECT_EQ(store.CellText(0, ColSrcAddress), "10.0.0.9");
}

// One thread folds samples in while another pulls and applies; run under the tsan preset as well.
TEST(TrafficBatch, FillingAndPullingFromTwoThreads) {
    CTrafficTable table;
    CRowStore store;
    constexpr int kSamples = 200'000;
    constexpr std::uint32_t kPairs = 5'000;
    std::atomic<bool> done{false};
    std::thread capture([&] {
        for (int i = 0; i < kSamples; ++i) {
            CTrafficEntry s;
            const auto pair = static_cast<std::uint32_t>(i) % kPairs;
            const bool outgoing = (i / static_cast<int>(kPairs)) % 2 == 0;
            s.m_dwSrcAddress = outgoing ? 0xC0A80001U : 0x0A000000U + pair;
            s.m_dwDestAddress = outgoing ? 0x0A000000U + pair : 0xC0A80001U;
            s.m_nProto = 17;
            s.m_nSendData = 100;
            s.m_nSendPackets = 1;
            table.AddSample(s, 0xC0A80001U);
        }
        done = true;
    });
    int pulls = 0;
    // At least one pull while the other thread may still be folding, even when it finishes first.
    do {
        store.Apply(table.PullChanges());
        ++pulls;
    } while (!done);
    capture.join();
    store.Apply(table.PullChanges());
    ExpectStoreMatchesTable(store, table);
    std::uint64_t send = 0;
    std::uint64_t rcv = 0;
    for (std::size_t row = 0; row < store.RowCount(); ++row) {
        send += store.Row(row).m_nSendPackets;
        rcv += store.Row(row).m_nRcvPackets;
        EXPECT_EQ(store.Row(row).m_dwSrcAddress, 0xC0A80001U);
    }
    EXPECT_EQ(send + rcv, static_cast<std::uint64_t>(kSamples));
    EXPECT_EQ(store.RowCount(), kPairs);
    EXPECT_GT(pulls, 0);
}

// Rates against the packet timestamps: a generated stretch of traffic, folded second by second with an
// apply after each second, must give every row exactly the bytes its packets carried in the whole seconds
// of the window before the clock, divided by the window; the peak is the largest total rate seen.
TEST(RowRates, FollowThePacketTimestampsForEveryWindow) {
    struct Packet {
        std::int64_t m_tTime;
        std::uint32_t m_nPeer;
        bool m_bOutgoing;
        std::uint64_t m_nBytes;
    };
    constexpr std::int64_t kStart = 1'700'000'000;
    constexpr int kSeconds = 100;
    constexpr std::uint32_t kPeers = 6;
    std::mt19937 random(7);
    std::vector<Packet> packets;
    for (int second = 0; second < kSeconds; ++second) {
        // Each peer is busy in some seconds and silent in others, so rows speed up, slow down and stop.
        for (std::uint32_t peer = 0; peer < kPeers; ++peer) {
            if ((second / (5 + static_cast<int>(peer))) % 2 == 0) {
                for (int n = static_cast<int>(random() % 5); n > 0; --n) {
                    packets.push_back({kStart + second, peer, random() % 3 != 0, 40 + random() % 1460});
                }
            }
        }
    }
    const auto local = test::Ip("10.0.0.1");
    const auto bytesIn = [&](std::uint32_t peer, bool outgoing, std::int64_t from, std::int64_t to) {
        std::uint64_t sum = 0;
        for (const Packet& p : packets) {
            sum += p.m_nPeer == peer && p.m_bOutgoing == outgoing && p.m_tTime >= from && p.m_tTime < to
                       ? p.m_nBytes
                       : 0;
        }
        return sum;
    };

    for (const int window : {2, 10, 40}) {
        CTrafficTable table;
        CRowStore store;
        store.SetRateWindow(window);
        std::vector<double> peaks(kPeers, 0.0);
        std::size_t next = 0;
        for (int second = 0; second < kSeconds; ++second) {
            for (; next < packets.size() && packets[next].m_tTime == kStart + second; ++next) {
                const Packet& p = packets[next];
                const std::string peer = "10.9.0." + std::to_string(p.m_nPeer);
                CTrafficEntry sample = p.m_bOutgoing ? Sample("10.0.0.1", peer, 17, p.m_nBytes, p.m_tTime)
                                                     : Sample(peer, "10.0.0.1", 17, p.m_nBytes, p.m_tTime);
                table.AddSample(sample, local);
            }
            // Applied just after the second ended, as the window's timer does.
            const std::int64_t now = kStart + second + 1;
            store.Apply(table.PullChanges(), now);
            for (std::size_t row = 0; row < store.RowCount(); ++row) {
                const CTrafficEntry entry = store.Row(row);
                const std::uint32_t peer = entry.m_dwDestAddress & 0xFFU;
                const RowRates rates = store.Rates(row);
                const std::uint64_t sent = bytesIn(peer, true, now - window, now);
                const std::uint64_t received = bytesIn(peer, false, now - window, now);
                ASSERT_EQ(rates.m_dSend, static_cast<double>(sent) / window)
                    << "window " << window << " second " << second;
                ASSERT_EQ(rates.m_dRcv, static_cast<double>(received) / window) << "window " << window;
                peaks[peer] = std::max(peaks[peer], static_cast<double>(sent + received) / window);
                ASSERT_EQ(rates.m_dPeak, peaks[peer]) << "window " << window << " second " << second;
            }
        }
        // Quiet: the clock moves on without packets and every rate falls to zero, the peaks stay.
        store.AdvanceClock(kStart + kSeconds + window + 1);
        for (std::size_t row = 0; row < store.RowCount(); ++row) {
            EXPECT_EQ(store.Rates(row).m_dSend + store.Rates(row).m_dRcv, 0.0);
            EXPECT_GT(store.Rates(row).m_dPeak, 0.0);
        }
        std::uint64_t all = 0;
        for (const Packet& p : packets) {
            all += p.m_nBytes;
        }
        EXPECT_EQ(store.TotalSend() + store.TotalRcv(), all);
    }
}

// Switching the window takes effect at once from the seconds kept; a consumer that did not apply for a
// while (the display paused) spreads what came meanwhile instead of showing a burst that never was.
TEST(RowRates, SwitchingWindowsAndAGapInTheApplies) {
    CTrafficTable table;
    CRowStore store;
    constexpr std::int64_t kStart = 1'000'000;
    const auto local = test::Ip("10.0.0.1");
    // 1000 bytes every second for 40 seconds.
    for (int second = 0; second < 40; ++second) {
        table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1000, kStart + second), local);
        store.Apply(table.PullChanges(), kStart + second + 1);
    }
    EXPECT_EQ(store.Rates(0).m_dSend, 1000.0);
    store.SetRateWindow(40);
    EXPECT_EQ(store.Rates(0).m_dSend, 1000.0) << "40 seconds of history were kept";
    store.SetRateWindow(10);
    EXPECT_EQ(store.Rates(0).m_dSend, 1000.0);
    EXPECT_EQ(store.Rates(0).m_dPeak, 1000.0);

    // 30 seconds without an apply, the same traffic meanwhile: the rate and the peak stay near 1000 B/s.
    for (int second = 40; second < 70; ++second) {
        table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1000, kStart + second), local);
    }
    store.Apply(table.PullChanges(), kStart + 70);
    EXPECT_NEAR(store.Rates(0).m_dSend, 1000.0, 1.0);
    EXPECT_NEAR(store.Rates(0).m_dPeak, 1000.0, 1.0);
    EXPECT_EQ(store.Row(0).m_nSendData, 70'000U) << "the counters themselves stay exact";
    EXPECT_EQ(store.TotalSend(), 70'000U);
}

} // namespace
} // namespace flowsentry
