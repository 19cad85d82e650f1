// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/FlowsentryView.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPalette>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>
#include <utility>

namespace flowsentry {

CFlowsentryView::CFlowsentryView(QWidget* parent) : QTableView(parent) {
    setModel(&m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setSortingEnabled(false); // rows stay in the order the entries appeared
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    // Keep the selected row as visible when the list loses the focus as while it has it.
    QPalette pal = palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(pal);

    // No row numbers, and row heights that never have to be measured: with many rows, sizing rows to their
    // contents would stall the window for seconds.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Compact rows like a report list: the text's height plus a little, and room for the 16-pixel image.
    const int rowHeight = std::max(18, fontMetrics().height() + 4);
    verticalHeader()->setMinimumSectionSize(rowHeight);
    verticalHeader()->setDefaultSectionSize(rowHeight);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setHighlightSections(false);

    m_refreshTimer.setInterval(kRefreshInterval);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CFlowsentryView::Refresh);

    m_sniffer.Initialize(&m_table);
    // Runs on the capture thread, which must never wait for the window: the news is queued to this thread.
    m_sniffer.SetEndCallback([this](CaptureEnd end, const std::string& errorText) {
        const QString text = end == CaptureEnd::Failed ? QString::fromStdString(errorText) : QString();
        QMetaObject::invokeMethod(
            this, [this, text] { emit CaptureEnded(text); }, Qt::QueuedConnection);
    });
    m_sniffer.SetLinkCallback([this](LinkState, const std::string&) {
        QMetaObject::invokeMethod(
            this, [this] { emit LinkChanged(); }, Qt::QueuedConnection);
    });
}

// A running capture ends here, before the table it writes into goes.
CFlowsentryView::~CFlowsentryView() {
    m_sniffer.StopSniffing();
}

void CFlowsentryView::ClearTraffic() {
    m_table.Clear();
    Refresh();
}

void CFlowsentryView::OnInitialUpdate() {
    if (m_bLaidOut) {
        return;
    }
    m_bLaidOut = true;
    ApplyColumnWidths(ColumnWidths(viewport()->width()));
}

bool CFlowsentryView::StartCapture() {
    if (!m_sniffer.StartSniffing()) {
        return false;
    }
    m_refreshTimer.start();
    return true;
}

void CFlowsentryView::HoldRows() {
    ++m_nRowHolds;
}

void CFlowsentryView::ReleaseRows() {
    if (m_nRowHolds > 0 && --m_nRowHolds == 0 && std::exchange(m_bRefreshHeld, false)) {
        Refresh();
    }
}

void CFlowsentryView::Refresh() {
    if (m_nRowHolds > 0) {
        m_bRefreshHeld = true;
        emit Refreshed();
        return;
    }
    // Read before the pull: a capture that had ended by then has folded everything it will.
    const bool capturing = m_sniffer.IsRunning();
    const TrafficBatch batch = m_table.PullChanges();
    if (batch.empty()) {
        if (!capturing) {
            m_refreshTimer.stop();
        }
        emit Refreshed();
        return;
    }
    QScrollBar* scroll = verticalScrollBar();
    const int scrolledBy = scroll->value();
    const int inserted = m_model.ApplyBatch(batch);
    WidenForIpv6(batch);
    // At the top the new rows appear as they come; further down they would push what the user is reading
    // off the screen every tick, so the view follows the rows it shows.
    if (inserted > 0 && scrolledBy > 0) {
        updateGeometries(); // the scroll range grows only at the next layout otherwise
        scroll->setValue(scrolledBy + inserted);
    }
    emit Refreshed();
}

bool CFlowsentryView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Resize && m_bLaidOut) {
        if (const auto widths =
                ColumnWidthsAfterResize(viewport()->width(), viewport()->height(), m_nAddressWidth)) {
            ApplyColumnWidths(*widths);
        }
    }
    return QTableView::viewportEvent(event);
}

void CFlowsentryView::WidenForIpv6(const TrafficBatch& batch) {
    if (batch.m_bReset) {
        m_nAddressWidth = 0; // the next resize gives the columns their usual widths again
    }
    if (m_nAddressWidth != 0 || std::none_of(batch.m_newRows.begin(), batch.m_newRows.end(),
                                             [](const CTrafficEntry& e) { return e.IsIpv6(); })) {
        return;
    }
    // The longest address text, with room for the cell's margins and the source column's icon.
    const QString longest = QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    m_nAddressWidth = fontMetrics().horizontalAdvance(longest) +
                      style()->pixelMetric(QStyle::PM_SmallIconSize) + 3 * fontMetrics().height();
    for (const int column : {static_cast<int>(ColSrcAddress), static_cast<int>(ColDestAddress)}) {
        setColumnWidth(column, std::max(columnWidth(column), m_nAddressWidth));
    }
}

void CFlowsentryView::ApplyColumnWidths(const ColumnWidthArray& widths) {
    for (int column = 0; column < ColumnCount; ++column) {
        setColumnWidth(column, widths[static_cast<std::size_t>(column)]);
    }
}

} // namespace flowsentry
