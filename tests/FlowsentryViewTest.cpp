// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/FlowsentryView.h"

#include "QtPrinters.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <gtest/gtest.h>
#include <random>

namespace flowsentry {
namespace {

using test::Sample;

// 10.1.x.y -> 10.0.0.1, one TCP entry per n.
CTrafficEntry Peer(int n, std::uint64_t bytes = 60) {
    const std::string src = "10.1." + std::to_string(n / 256) + "." + std::to_string(n % 256);
    return Sample(src, "10.0.0.1", 6, bytes);
}

class FlowsentryViewTest : public testing::Test {
protected:
    FlowsentryViewTest() {
        m_view.resize(600, 400);
        m_view.show();
        m_view.OnInitialUpdate();
    }

    // Resizes the view so that its client area (the viewport) has the given size.
    void SetClientSize(int width, int height) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const QSize client = m_view.viewport()->size();
            m_view.resize(m_view.width() + width - client.width(),
                          m_view.height() + height - client.height());
        }
        ASSERT_EQ(m_view.viewport()->size(), QSize(width, height));
    }

    std::vector<int> Widths() const {
        std::vector<int> widths;
        for (int column = 0; column < ColumnCount; ++column) {
            widths.push_back(m_view.columnWidth(column));
        }
        return widths;
    }

    void AddPeers(int first, int count) {
        for (int n = first; n < first + count; ++n) {
            m_view.Table().AddSample(Peer(n), std::nullopt);
        }
        m_view.Refresh();
    }

    QString SourceAt(int row) const {
        return m_view.model()->data(m_view.model()->index(row, ColSrcAddress)).toString();
    }

    CFlowsentryView m_view;
};

TEST_F(FlowsentryViewTest, ColumnWidthsFollowTheClientAreaUnlessItIsTooSmall) {
    SetClientSize(1000, 300);
    EXPECT_EQ(Widths(), (std::vector<int>{110, 110, 100, 100, 100, 100, 100, 100, 120, 100}));
    SetClientSize(1009, 300);
    EXPECT_EQ(Widths(), (std::vector<int>{110, 110, 100, 100, 100, 100, 100, 100, 120, 100}));

    // The user's own width survives a squeeze to 100 pixels high or wide.
    m_view.setColumnWidth(ColSendData, 55);
    SetClientSize(1009, 100);
    EXPECT_EQ(m_view.columnWidth(ColSendData), 55);
    SetClientSize(100, 300);
    EXPECT_EQ(m_view.columnWidth(ColSendData), 55);
    SetClientSize(800, 300);
    EXPECT_EQ(m_view.columnWidth(ColSendData), 80);
}

// A full IPv6 address fits its column once IPv6 rows are shown, and still after a resize; the other columns
// keep the w/10 rule.
TEST_F(FlowsentryViewTest, AddressColumnsWidenForIpv6Rows) {
    SetClientSize(600, 300);
    AddPeers(0, 3);
    EXPECT_EQ(m_view.columnWidth(ColSrcAddress), 70);
    m_view.Table().AddSample(test::Sample6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", "fd00:f5::1", 17, 60),
                             std::nullopt);
    m_view.Refresh();
    const int needed = m_view.fontMetrics().horizontalAdvance(SourceAt(0));
    for (const int width : {600, 700}) {
        SetClientSize(width, 300);
        EXPECT_GT(m_view.columnWidth(ColSrcAddress), needed);
        EXPECT_GT(m_view.columnWidth(ColDestAddress), needed);
        EXPECT_EQ(m_view.columnWidth(ColSendData), width / 10);
    }
}

TEST_F(FlowsentryViewTest, ListIsASingleRowSelectionWithGridAndMovableColumns) {
    EXPECT_EQ(m_view.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(m_view.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_TRUE(m_view.showGrid());
    EXPECT_TRUE(m_view.horizontalHeader()->sectionsMovable());
    EXPECT_FALSE(m_view.isSortingEnabled());
    EXPECT_EQ(m_view.palette().color(QPalette::Inactive, QPalette::Highlight),
              m_view.palette().color(QPalette::Active, QPalette::Highlight))
        << "the selection stays visible without the focus";

    // Moving a heading changes only the display order: cells are still addressed by column index.
    AddPeers(0, 1);
    m_view.horizontalHeader()->moveSection(ColProto, 0);
    EXPECT_EQ(m_view.horizontalHeader()->logicalIndex(0), ColProto);
    EXPECT_EQ(m_view.model()->data(m_view.model()->index(0, ColProto)).toString(), "TCP");
}

TEST_F(FlowsentryViewTest, SelectionStaysOnItsEntryAcrossBatches) {
    AddPeers(0, 3); // rows: 10.1.0.2, 10.1.0.1, 10.1.0.0
    m_view.selectRow(1);
    ASSERT_EQ(SourceAt(m_view.currentIndex().row()), "10.1.0.1");

    // Two new entries on top and a change to the selected entry.
    m_view.Table().AddSample(Peer(1, 500), std::nullopt);
    AddPeers(3, 2);
    const QModelIndexList selected = m_view.selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].row(), 3);
    EXPECT_EQ(SourceAt(selected[0].row()), "10.1.0.1");
    EXPECT_EQ(m_view.model()->data(m_view.model()->index(3, ColSendData)).toString(), "560");
    EXPECT_EQ(m_view.currentIndex().row(), 3);
}

TEST_F(FlowsentryViewTest, NewRowsShowAtTheTopButDoNotMoveARowsScrolledView) {
    SetClientSize(800, 300);
    AddPeers(0, 200);
    EXPECT_EQ(m_view.verticalScrollBar()->value(), 0);
    EXPECT_EQ(SourceAt(m_view.rowAt(0)), "10.1.0.199");

    // At the top, new rows come into sight as they arrive.
    AddPeers(200, 3);
    EXPECT_EQ(m_view.rowAt(0), 0);
    EXPECT_EQ(SourceAt(m_view.rowAt(0)), "10.1.0.202");

    // Scrolled down, the rows on screen stay where they are.
    QCoreApplication::processEvents(); // the scroll range follows the row count at the next layout
    m_view.verticalScrollBar()->setValue(50);
    ASSERT_EQ(m_view.verticalScrollBar()->value(), 50);
    const QString topRow = SourceAt(m_view.rowAt(0));
    const QString lastRow = SourceAt(m_view.rowAt(m_view.viewport()->height() - 5));
    AddPeers(203, 7);
    EXPECT_EQ(SourceAt(m_view.rowAt(0)), topRow);
    EXPECT_EQ(SourceAt(m_view.rowAt(m_view.viewport()->height() - 5)), lastRow);
    EXPECT_EQ(m_view.verticalScrollBar()->value(), 57);
}

TEST_F(FlowsentryViewTest, RepeatedInitialUpdateKeepsColumnsRowsAndWidths) {
    AddPeers(0, 5);
    m_view.setColumnWidth(ColProto, 77);
    m_view.OnInitialUpdate();
    EXPECT_EQ(m_view.model()->columnCount(), ListColumnCount);
    EXPECT_EQ(m_view.horizontalHeader()->count(), ListColumnCount);
    EXPECT_EQ(m_view.model()->rowCount(), 5);
    EXPECT_EQ(m_view.columnWidth(ColProto), 77);
}

// A heading click sorts by its column (amounts largest first), a second reverses, a third returns to the
// newest-first order; the heading shows which.
TEST_F(FlowsentryViewTest, HeadingClicksSortReverseAndReturnToTheDefaultOrder) {
    for (int n = 0; n < 5; ++n) {
        m_view.Table().AddSample(Peer(n, 100 + static_cast<std::uint64_t>((n * 3) % 5) * 10), std::nullopt);
    }
    m_view.Refresh();
    const auto column = [&](int c) {
        QStringList texts;
        for (int row = 0; row < m_view.model()->rowCount(); ++row) {
            texts.append(m_view.model()->data(m_view.model()->index(row, c)).toString());
        }
        return texts;
    };
    QHeaderView* header = m_view.horizontalHeader();
    m_view.ClickHeading(ColSendData);
    EXPECT_EQ(column(ColSendData), (QStringList{"140", "130", "120", "110", "100"}));
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), ColSendData);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    m_view.ClickHeading(ColSendData);
    EXPECT_EQ(column(ColSendData), (QStringList{"100", "110", "120", "130", "140"}));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    m_view.ClickHeading(ColSendData);
    EXPECT_EQ(column(ColSrcAddress),
              (QStringList{"10.1.0.4", "10.1.0.3", "10.1.0.2", "10.1.0.1", "10.1.0.0"}));
    EXPECT_FALSE(header->isSortIndicatorShown());
    // Addresses start from the smallest.
    m_view.ClickHeading(ColSrcAddress);
    EXPECT_EQ(column(ColSrcAddress),
              (QStringList{"10.1.0.0", "10.1.0.1", "10.1.0.2", "10.1.0.3", "10.1.0.4"}));
}

// Sorted by a changing column, rows move at each refresh; the selected row stays selected and, being on
// the screen, stays where it was on the screen while the others move around it.
TEST_F(FlowsentryViewTest, SelectionStaysSelectedAndInViewWhileRowsMove) {
    SetClientSize(600, 200);
    for (int n = 0; n < 300; ++n) {
        m_view.Table().AddSample(Peer(n, 1000 + static_cast<std::uint64_t>(n)), std::nullopt);
    }
    m_view.Refresh();
    m_view.SortBy(ColSendData, true);
    QCoreApplication::processEvents();
    m_view.verticalScrollBar()->setValue(100);
    const int visibleRow = m_view.rowAt(m_view.viewport()->height() / 2);
    m_view.selectRow(visibleRow);
    const QString selected = SourceAt(visibleRow);
    const int offset = m_view.visualRect(m_view.currentIndex()).top();
    // Rows above and below it change places; the selected row itself grows past some others.
    std::mt19937 random(5);
    for (int tick = 0; tick < 10; ++tick) {
        for (int i = 0; i < 50; ++i) {
            m_view.Table().AddSample(Peer(static_cast<int>(random() % 300), random() % 300), std::nullopt);
        }
        m_view.Table().AddSample(Sample(selected.toStdString(), "10.0.0.1", 6, 7), std::nullopt);
        m_view.Refresh();
        const QModelIndexList rows = m_view.selectionModel()->selectedRows();
        ASSERT_EQ(rows.size(), 1) << "tick " << tick;
        EXPECT_EQ(SourceAt(rows[0].row()), selected) << "tick " << tick;
        EXPECT_EQ(m_view.currentIndex().row(), rows[0].row());
        EXPECT_EQ(m_view.visualRect(m_view.currentIndex()).top(), offset) << "tick " << tick;
    }
}

// Paused, the list neither moves nor changes while the table counts on; resuming shows all of it at once.
TEST_F(FlowsentryViewTest, PauseHoldsTheRowsAndResumeCatchesUp) {
    AddPeers(0, 3);
    m_view.SetPaused(true);
    m_view.Table().AddSample(Peer(0, 500), std::nullopt);
    AddPeers(3, 2);
    EXPECT_EQ(m_view.model()->rowCount(), 3);
    EXPECT_EQ(m_view.model()->data(m_view.model()->index(2, ColSendData)).toString(), "60");
    m_view.SetPaused(false);
    EXPECT_EQ(m_view.model()->rowCount(), 5);
    EXPECT_EQ(m_view.model()->data(m_view.model()->index(4, ColSendData)).toString(), "560");
    EXPECT_EQ(m_view.Table().EntryCount(), 5U);
}

} // namespace
} // namespace flowsentry
