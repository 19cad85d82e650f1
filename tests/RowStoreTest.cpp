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

} // namespace
} // namespace flowsentry
