// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/TrafficModel.h"

#include "QtPrinters.h"
#include "TestUtil.h"
#include "platform/NameCache.h"
#include "traffic/CellWriter.h"
#include "traffic/RowFilter.h"
#include "view/ColumnWidths.h"
#include "view/TrafficChart.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QIcon>
#include <QLineSeries>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace flowsentry {
namespace {

using test::Sample;

struct WidthCase {
    int m_nWidth;
    int m_nHeight;
    std::optional<ColumnWidthArray> m_expected;
};

TEST(ColumnWidths, ShareTheClientWidthOrKeepTheWidthsWhenSmall) {
    const WidthCase cases[] = {
        {1000, 600, ColumnWidthArray{110, 110, 100, 100, 100, 100, 100, 100, 120, 100}},
        {1009, 600, ColumnWidthArray{110, 110, 100, 100, 100, 100, 100, 100, 120, 100}},
        {101, 101, ColumnWidthArray{20, 20, 10, 10, 10, 10, 10, 10, 30, 10}},
        {1000, 100, std::nullopt},
        {100, 600, std::nullopt},
        {0, 0, std::nullopt},
    };
    for (const WidthCase& c : cases) {
        EXPECT_EQ(ColumnWidthsAfterResize(c.m_nWidth, c.m_nHeight), c.m_expected)
            << c.m_nWidth << " x " << c.m_nHeight;
    }
    // The first layout has no size threshold.
    EXPECT_EQ(ColumnWidths(50), (ColumnWidthArray{15, 15, 5, 5, 5, 5, 5, 5, 25, 5}));
}

class TrafficModelTest : public testing::Test {
protected:
    // Attached before the model holds any row, so it checks every insertion and change from the first.
    TrafficModelTest() : m_tester(&m_model, QAbstractItemModelTester::FailureReportingMode::Warning) {}

    QString Cell(int row, int column) const { return m_model.data(m_model.index(row, column)).toString(); }

    test::ScopedUtc m_utc;
    CTrafficTable m_table;
    CTrafficModel m_model;
    QAbstractItemModelTester m_tester;
};

TEST_F(TrafficModelTest, HeadingsAreTheTenColumnsLeftAlignedThenTheRates) {
    ASSERT_EQ(m_model.columnCount(), 13);
    const char* expected[] = {"Src Address",  "Dest Address", "Send Data",     "Rcv Data",    "Total Data",
                              "Send Packets", "Rcv Packets",  "Total Packets", "Date / Time", "Proto",
                              "Send Rate",    "Rcv Rate",     "Peak Rate"};
    for (int column = 0; column < 13; ++column) {
        EXPECT_EQ(m_model.headerData(column, Qt::Horizontal).toString().toStdString(), expected[column]);
        EXPECT_EQ(m_model.headerData(column, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
                  column < 10 ? int{Qt::AlignLeft | Qt::AlignVCenter}
                              : int{Qt::AlignRight | Qt::AlignVCenter});
    }
    EXPECT_EQ(m_model.rowCount(m_model.index(0, 0)), 0);
}

TEST_F(TrafficModelTest, BatchesInsertNewRowsAtTheTopAndSignalChangedRowsOnce) {
    QSignalSpy inserted(&m_model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&m_model, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&m_model, &QAbstractItemModel::modelReset);

    m_table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 100, 3600), std::nullopt);
    m_table.AddSample(Sample("10.0.0.1", "10.0.0.3", 17, 50, 3600), std::nullopt);
    EXPECT_EQ(m_model.ApplyBatch(m_table.PullChanges()), 2);
    ASSERT_EQ(m_model.rowCount(), 2);
    EXPECT_EQ(Cell(0, ColDestAddress), "10.0.0.3") << "newest on top";
    EXPECT_EQ(Cell(1, ColDestAddress), "10.0.0.2");
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 1);

    // One new entry, and both old ones change: one insertion, one dataChanged over the rows.
    m_table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 40, 7200), std::nullopt);
    m_table.AddSample(Sample("10.0.0.3", "10.0.0.1", 17, 7, 7201), std::nullopt);
    m_table.AddSample(Sample("10.0.0.9", "10.0.0.1", 1, 84, 7202), std::nullopt);
    EXPECT_EQ(m_model.ApplyBatch(m_table.PullChanges()), 1);
    ASSERT_EQ(m_model.rowCount(), 3);
    ASSERT_EQ(inserted.size(), 2);
    EXPECT_EQ(inserted[1][1].toInt(), 0);
    EXPECT_EQ(inserted[1][2].toInt(), 0);
    ASSERT_EQ(changed.size(), 2);
    EXPECT_EQ(changed[1][0].toModelIndex().row(), 0);
    EXPECT_EQ(changed[1][1].toModelIndex().row(), 2);
    EXPECT_EQ(changed[1][1].toModelIndex().column(), ListColumnCount - 1);

    const QStringList row0 = {"10.0.0.9", "10.0.0.1", "84", "0", "84", "1", "0", "1", "02:00:02 01/01/1970",
                              "ICMP"};
    const QStringList row2 = {
        "10.0.0.1", "10.0.0.2", "100", "40", "140", "1", "1", "2", "02:00:00 01/01/1970", "TCP"};
    for (int column = 0; column < ColumnCount; ++column) {
        EXPECT_EQ(Cell(0, column), row0[column]) << "column " << column;
        EXPECT_EQ(Cell(2, column), row2[column]) << "column " << column;
        EXPECT_EQ(Cell(1, column).toStdString(), m_model.Rows().CellText(1, column)) << "column " << column;
    }
    EXPECT_EQ(reset.size(), 0) << "no reset per tick";

    // An empty pull inserts nothing; it repaints while the highlight of the last changes fades, then
    // signals nothing.
    for (std::uint32_t tick = 0; tick <= CTrafficModel::kHighlightRefreshes + 1; ++tick) {
        EXPECT_EQ(m_model.ApplyBatch(m_table.PullChanges()), 0);
    }
    EXPECT_EQ(inserted.size(), 2);
    EXPECT_EQ(changed.size(), 2 + CTrafficModel::kHighlightRefreshes);
    EXPECT_FALSE(m_model.Highlighting());

    // Clearing the table is the one case that resets the model.
    m_table.Clear();
    m_table.AddSample(Sample("10.0.0.5", "10.0.0.6", 6, 1, 0), std::nullopt);
    m_model.ApplyBatch(m_table.PullChanges());
    EXPECT_EQ(reset.size(), 1);
    ASSERT_EQ(m_model.rowCount(), 1);
    EXPECT_EQ(Cell(0, ColSrcAddress), "10.0.0.5");
}

TEST_F(TrafficModelTest, RowsCarryTheImageTheProtocolAndNumericValues) {
    m_table.AddSample(Sample("192.168.1.2", "8.8.8.8", 47, 1000, 0), std::nullopt);
    m_model.ApplyBatch(m_table.PullChanges());

    const QVariant image = m_model.data(m_model.index(0, ColSrcAddress), Qt::DecorationRole);
    ASSERT_TRUE(image.canConvert<QIcon>());
    EXPECT_FALSE(image.value<QIcon>().pixmap(16, 16).isNull()) << "the SVG picture must load";
    EXPECT_FALSE(m_model.data(m_model.index(0, ColDestAddress), Qt::DecorationRole).isValid());

    for (int column = 0; column < ColumnCount; ++column) {
        EXPECT_EQ(m_model.data(m_model.index(0, column), CTrafficModel::ProtocolRole).toUInt(), 47U);
        EXPECT_EQ(m_model.data(m_model.index(0, column), Qt::TextAlignmentRole).toInt(),
                  int{Qt::AlignLeft | Qt::AlignVCenter});
    }
    EXPECT_EQ(Cell(0, ColProto), "Proto:47");
    EXPECT_EQ(m_model.data(m_model.index(0, ColTotalData), CTrafficModel::ValueRole).toULongLong(), 1000U);
    EXPECT_EQ(m_model.data(m_model.index(0, ColSrcAddress), CTrafficModel::ValueRole).toUInt(), 0xC0A80102U);
}

// The model tester watches every signal while batches arrive with the rows sorted and filtered, the order is
// switched and the filter changed in between; the rows shown are always the filter's rows in sorted order.
TEST_F(TrafficModelTest, SortedAndFilteredWhileBatchesArrive) {
    std::mt19937 random(3);
    const auto filter = std::make_shared<CRowFilter>(CRowFilter::Parse("10.0.0.0/9"));
    m_model.SetFilter([filter](const CTrafficEntry& e) { return filter->Matches(e); });
    m_model.Sort(ColTotalData, true);
    for (int round = 0; round < 60; ++round) {
        for (int i = static_cast<int>(random() % 80); i > 0; --i) {
            const auto host = static_cast<unsigned>(random() % (30 + 10 * static_cast<unsigned>(round)));
            const std::string remote = std::to_string(10 + host % 3 * 60) + ".1." +
                                       std::to_string(host / 200) + "." + std::to_string(host % 200);
            m_table.AddSample(Sample(remote, "10.0.0.1", 6, 40 + random() % 1500, 1000 + round),
                              std::nullopt);
        }
        m_model.ApplyBatch(m_table.PullChanges(), 1000 + round);
        if (round == 20) {
            m_model.Sort(ColSrcAddress, false);
        } else if (round == 40) {
            m_model.Sort(CRowOrder::kDefaultOrder, false);
        } else if (round == 50) {
            m_model.SetFilter({});
        }
        std::size_t shown = 0;
        for (std::size_t row = 0; row < m_model.Rows().RowCount(); ++row) {
            shown += round >= 50 || filter->Matches(m_model.Rows().Row(row)) ? 1U : 0U;
        }
        ASSERT_EQ(static_cast<std::size_t>(m_model.rowCount()), shown) << "round " << round;
        for (int row = 1; row < m_model.rowCount(); ++row) {
            const auto value = [&](int r, int column) {
                return m_model.data(m_model.index(r, column), CTrafficModel::ValueRole).toULongLong();
            };
            if (round < 20) {
                ASSERT_GE(value(row - 1, ColTotalData), value(row, ColTotalData)) << "round " << round;
            } else if (round < 40) {
                ASSERT_LE(value(row - 1, ColSrcAddress), value(row, ColSrcAddress)) << "round " << round;
            } else {
                ASSERT_GT(m_model.SerialAt(row - 1), m_model.SerialAt(row)) << "newest first";
            }
        }
    }
}

// Names arrive after the rows: the address cell shows the name with the number in its tooltip, a filter word
// that only a name holds lets the row in (placed where its address sorts), and without names the numbers
// and the filter's old answer come back.
TEST_F(TrafficModelTest, NamesShowInAddressCellsAndLetFilteredRowsIn) {
    class Resolver final : public IResolver {
    public:
        void Ask(const IpAddress& /*address*/) override {}
    } resolver;
    CNameCache names(resolver);
    const auto filter = std::make_shared<CRowFilter>(CRowFilter::Parse("EXAMPLE"));
    const auto applyFilter = [&] {
        m_model.SetFilter(
            [filter, this](const CTrafficEntry& e) { return filter->Matches(e, m_model.Names()); });
    };
    applyFilter();
    m_model.Sort(ColDestAddress, false);
    m_model.SetNames(&names);
    for (const char* remote : {"192.0.2.7", "192.0.2.8", "192.0.2.9"}) {
        m_table.AddSample(Sample("10.0.0.1", remote, 6, 100, 3600), std::nullopt);
    }
    m_model.ApplyBatch(m_table.PullChanges(), 3600);
    ASSERT_EQ(m_model.rowCount(), 0);
    for (const char* remote : {"192.0.2.7", "192.0.2.8", "192.0.2.9"}) {
        names.Want(*IpFromText(remote));
    }

    QSignalSpy changed(&m_model, &QAbstractItemModel::dataChanged);
    const IpAddress seven = *IpFromText("192.0.2.7");
    const IpAddress eight = *IpFromText("192.0.2.8");
    ASSERT_TRUE(names.Answer({eight, "alpha.Example.org"}));
    m_model.NamesChanged({eight});
    ASSERT_EQ(m_model.rowCount(), 1);
    EXPECT_EQ(Cell(0, ColDestAddress), "alpha.Example.org");
    EXPECT_EQ(m_model.data(m_model.index(0, ColDestAddress), Qt::ToolTipRole).toString(), "192.0.2.8");
    EXPECT_EQ(Cell(0, ColSrcAddress), "10.0.0.1");
    EXPECT_EQ(changed.count(), 1);

    // The second name sorts before the first, its address after: the order stays by address.
    ASSERT_TRUE(names.Answer({seven, "zeta.example.org"}));
    ASSERT_FALSE(names.Answer({*IpFromText("192.0.2.9"), ""}));
    m_model.NamesChanged({seven});
    ASSERT_EQ(m_model.rowCount(), 2);
    EXPECT_EQ(Cell(0, ColDestAddress), "zeta.example.org");
    EXPECT_EQ(Cell(1, ColDestAddress), "alpha.Example.org");

    // Off: numbers at once, no tooltip; the filter asked again matches no row.
    m_model.SetNames(nullptr);
    EXPECT_EQ(Cell(0, ColDestAddress), "192.0.2.7");
    EXPECT_FALSE(m_model.data(m_model.index(0, ColDestAddress), Qt::ToolTipRole).isValid());
    applyFilter();
    EXPECT_EQ(m_model.rowCount(), 0);
}

// Rates are shown in readable units after the ten columns; a row that changed in the last refresh is
// highlighted, fading over the next ones, and a row quiet for a minute is greyed.
TEST_F(TrafficModelTest, RatesHighlightAndIdleRows) {
    m_model.SetColors(QColor(Qt::blue), QColor(Qt::gray));
    m_table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1'500'000, 100), std::nullopt);
    m_table.AddSample(Sample("10.0.0.1", "10.0.0.3", 6, 100, 100), std::nullopt);
    m_model.ApplyBatch(m_table.PullChanges(), 101);
    m_model.ApplyBatch(m_table.PullChanges(), 102); // the window (2 s) is now seconds 100 and 101
    EXPECT_EQ(Cell(1, ColSendRate), "750.0 KB/s");
    EXPECT_EQ(Cell(1, ColRcvRate), "0 B/s");
    EXPECT_EQ(Cell(0, ColPeakRate), "50 B/s");
    EXPECT_EQ(m_model.data(m_model.index(1, ColSendRate), CTrafficModel::ValueRole).toDouble(), 750'000.0);
    m_model.SetRatesInBits(true);
    EXPECT_EQ(Cell(1, ColSendRate), "6.0 Mb/s");

    const auto alpha = [&](int row) {
        const QVariant brush = m_model.data(m_model.index(row, 0), Qt::BackgroundRole);
        return brush.isValid() ? brush.value<QBrush>().color().alphaF() : 0.0F;
    };
    const float first = alpha(0);
    EXPECT_GT(first, 0.0F) << "changed one refresh ago";
    m_table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1, 102), std::nullopt);
    m_model.ApplyBatch(m_table.PullChanges(), 102);
    EXPECT_LT(alpha(0), first) << "fading";
    EXPECT_GT(alpha(1), first) << "just changed";
    m_model.ApplyBatch(m_table.PullChanges(), 103);
    m_model.ApplyBatch(m_table.PullChanges(), 104);
    EXPECT_EQ(alpha(0), 0.0F);

    EXPECT_FALSE(m_model.data(m_model.index(0, 0), Qt::ForegroundRole).isValid());
    m_model.ApplyBatch(m_table.PullChanges(), 160);
    EXPECT_EQ(m_model.data(m_model.index(0, 0), Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::gray))
        << "quiet since 100";
    EXPECT_FALSE(m_model.data(m_model.index(1, 0), Qt::ForegroundRole).isValid()) << "last packet at 102";
}

// The chart takes one point per second of the capture's clock: the whole capture's rates and the selected
// rows' beside them; it stands still while the clock does (a paused list) and empties with the list.
TEST_F(TrafficModelTest, TheChartFollowsTheListSecondBySecond) {
    CTrafficChart chart(m_model);
    constexpr std::int64_t kStart = 1'000'000;
    for (int second = 0; second < 6; ++second) {
        m_table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1000, kStart + second), test::Ip("10.0.0.1"));
        m_table.AddSample(Sample("10.0.0.3", "10.0.0.1", 17, 100, kStart + second), test::Ip("10.0.0.1"));
        m_model.ApplyBatch(m_table.PullChanges(), kStart + second + 1);
        // The UDP row (serial 1) selected from the third second on.
        chart.Update(second >= 2 ? std::vector<std::size_t>{1} : std::vector<std::size_t>{});
        chart.Update({1}); // again within the same second: no new point
    }
    const auto& points = chart.Points();
    ASSERT_EQ(points.size(), 6U);
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].m_tSecond, kStart + static_cast<std::int64_t>(i));
        // A 2-second window: a half-full window in the first second, then 1000 B/s sent, 100 B/s received.
        EXPECT_EQ(points[i].m_dSend, i == 0 ? 500.0 : 1000.0) << i;
        EXPECT_EQ(points[i].m_dRcv, i == 0 ? 50.0 : 100.0) << i;
        EXPECT_EQ(points[i].m_bSelection, i >= 2) << i;
        EXPECT_EQ(points[i].m_dSelectedRcv, i >= 2 ? 100.0 : 0.0) << i;
        EXPECT_EQ(points[i].m_dSelectedSend, 0.0) << i;
    }
    const auto* send = qobject_cast<QLineSeries*>(chart.chart()->series().at(0));
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send->count(), 6);
    EXPECT_EQ(send->at(5).y(), 1.0) << "plotted in KB/s";

    chart.Update({}); // the clock has not moved (a paused list): nothing new
    EXPECT_EQ(chart.Points().size(), 6U);
    m_table.Clear();
    m_model.ApplyBatch(m_table.PullChanges(), kStart + 10);
    chart.Clear();
    EXPECT_TRUE(chart.Points().empty());
}

} // namespace
} // namespace flowsentry
