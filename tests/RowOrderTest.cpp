// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowOrder.h"

#include "TestUtil.h"
#include "traffic/RowFilter.h"
#include "traffic/TrafficTable.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace flowsentry {
namespace {

// What the order must be: every shown row, sorted by a plain sort of a snapshot (ties newest first).
std::vector<std::size_t> PlainOrder(const CRowStore& rows, const CRowFilter& filter, int column,
                                    bool descending) {
    std::vector<std::size_t> serials;
    for (std::size_t row = 0; row < rows.RowCount(); ++row) {
        if (filter.Matches(rows.Row(row))) {
            serials.push_back(rows.SerialOf(row));
        }
    }
    if (column == CRowOrder::kDefaultOrder) {
        return serials;
    }
    // Compared by what the cells hold, not by the sort values the order uses.
    const auto value = [&](std::size_t serial) {
        const CTrafficEntry e = rows.Entry(serial);
        struct {
            int m_nFamily;
            Ipv6Address m_address;
            std::uint64_t m_nNumber;
            double m_dRate;
        } v{};
        if (column == ColSrcAddress || column == ColDestAddress) {
            const IpAddress a = column == ColSrcAddress ? e.Source() : e.Destination();
            v.m_nFamily = a.m_family == IpFamily::Ipv4 ? 1 : 2;
            if (a.m_family == IpFamily::Ipv4) {
                for (int i = 0; i < 4; ++i) {
                    v.m_address[static_cast<std::size_t>(i)] =
                        static_cast<std::uint8_t>(a.m_dwV4 >> (24 - 8 * i));
                }
            } else {
                v.m_address = a.m_v6;
            }
        } else if (column == ColDateTime) {
            v.m_dRate = static_cast<double>(e.m_tLastUpdate);
        } else if (column == ColProto) {
            v.m_nNumber = e.m_nProto;
        } else if (IsCounterColumn(column)) {
            v.m_nNumber = CounterValue(e, column);
        } else {
            const RowRates r = rows.RatesOf(serial);
            v.m_dRate = column == ColSendRate ? r.m_dSend : column == ColRcvRate ? r.m_dRcv : r.m_dPeak;
        }
        return std::tuple(v.m_nFamily, v.m_address, v.m_nNumber, v.m_dRate);
    };
    std::stable_sort(serials.begin(), serials.end(), [&](std::size_t a, std::size_t b) {
        return descending ? value(b) < value(a) : value(a) < value(b);
    });
    return serials;
}

// Random batches into a table, the order kept up to date after each apply, compared with a plain sort of
// the snapshot every time: every column in both directions, with and without a filter, IPv4 and IPv6 rows
// (IPv6 addresses that share their first 64 bits, so that the sort values tie), and the clock moving on so
// that rates rise and fall.
TEST(RowOrder, StaysWhatAPlainSortOfTheRowsGives) {
    // By column: none for the source addresses, IPv6 only for the destinations, then the others in turn.
    const std::vector<std::string> filters = {"10.2", "", "fe80::/64", "udp 10.0.0.0/8", "10.0.0.0/33"};
    std::mt19937 random(99);
    for (int column = CRowOrder::kDefaultOrder; column < ListColumnCount; ++column) {
        for (const bool descending : {false, true}) {
            const CRowFilter filter =
                CRowFilter::Parse(filters[static_cast<std::size_t>(column + 1) % filters.size()]);
            CTrafficTable table;
            CRowStore rows;
            CRowOrder order;
            order.SetSort(rows, column, descending);
            if (!filter.IsEmpty()) {
                order.SetFilter(rows, [&filter](const CTrafficEntry& e) { return filter.Matches(e); });
            }
            std::int64_t now = 1'000'000;
            for (int round = 0; round < 40; ++round) {
                for (int i = static_cast<int>(random() % 60); i > 0; --i) {
                    const auto peer =
                        static_cast<std::uint32_t>(random() % (20 + 10 * static_cast<unsigned>(round)));
                    const std::uint64_t bytes = (random() % 4 == 0) ? 40 + random() % 3000 : 60;
                    const std::int64_t time = now - static_cast<std::int64_t>(random() % 2);
                    if (peer % 5 == 0) {
                        CTrafficEntry s = test::Sample6("fe80::" + std::to_string(peer % 3 + 1),
                                                        "fe80::" + std::to_string(peer / 5 + 2), 58, bytes);
                        s.m_tLastUpdate = time;
                        table.AddSample(s, std::nullopt);
                    } else {
                        const std::string remote = "10." + std::to_string(peer % 4) + "." +
                                                   std::to_string(peer / 250) + "." +
                                                   std::to_string(peer % 250);
                        const bool out = random() % 2 == 0;
                        table.AddSample(test::Sample(out ? "10.9.9.9" : remote, out ? remote : "10.9.9.9",
                                                     peer % 3 == 0 ? 17 : 6, bytes, time),
                                        test::Ip("10.9.9.9"));
                    }
                }
                now += static_cast<std::int64_t>(random() % 3);
                rows.Apply(table.PullChanges(), now);
                order.AddNewRows(rows);
                order.Resort(rows);
                const std::vector<std::size_t> expected = PlainOrder(rows, filter, column, descending);
                std::vector<std::size_t> shown;
                for (std::size_t row = 0; row < order.Size(rows); ++row) {
                    shown.push_back(order.SerialAt(rows, row));
                }
                ASSERT_EQ(shown, expected)
                    << "column " << column << (descending ? " descending" : "") << ", round " << round;
                for (std::size_t row = 0; row < shown.size(); row += 7) {
                    ASSERT_EQ(order.RowOf(rows, shown[row]), row);
                }
                // Built afresh (a click on the heading) it is the same order.
                if (round % 10 == 9) {
                    CRowOrder fresh;
                    fresh.SetSort(rows, column, descending);
                    if (!filter.IsEmpty()) {
                        fresh.SetFilter(rows,
                                        [&filter](const CTrafficEntry& e) { return filter.Matches(e); });
                    }
                    std::vector<std::size_t> rebuilt;
                    for (std::size_t row = 0; row < fresh.Size(rows); ++row) {
                        rebuilt.push_back(fresh.SerialAt(rows, row));
                    }
                    ASSERT_EQ(rebuilt, expected) << "rebuilt, column " << column << ", round " << round;
                }
            }
            if (!filter.Error().empty()) {
                EXPECT_EQ(order.Size(rows), 0U) << "a filter with a mistake shows nothing";
            }
        }
    }
}

} // namespace
} // namespace flowsentry
