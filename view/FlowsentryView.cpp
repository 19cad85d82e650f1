// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/FlowsentryView.h"

#include "capture/FileSource.h"
#include "view/CellDelegate.h"

#include <QEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPalette>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>
#include <ctime>
#include <utility>

namespace flowsentry {

CFlowsentryView::CFlowsentryView(QWidget* parent) : QTableView(parent) {
    setModel(&m_model);
    setItemDelegate(new CCellDelegate(this));
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
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(false);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CFlowsentryView::ClickHeading);
    TakeColors();

    m_refreshTimer.setInterval(kRefreshInterval);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CFlowsentryView::Refresh);

    m_sniffer.Initialize(&m_table);
    // Runs on the capture thread, which must never wait for the window: the news is queued to this thread.
    // The text goes through a mutex of ours and the call by name, with nothing of ours in Qt's queued
    // event: Qt's own locks are invisible to ThreadSanitizer, which took a functor built on the capture
    // thread and called on this one for a race.
    m_sniffer.SetEndCallback([this](CaptureEnd end, const std::string& errorText) {
        {
            const std::lock_guard lock(m_newsMutex);
            m_endTexts.push_back(end == CaptureEnd::Failed ? QString::fromStdString(errorText) : QString());
        }
        QMetaObject::invokeMethod(this, "TakeCaptureEnd", Qt::QueuedConnection);
    });
    m_sniffer.SetLinkCallback([this](LinkState, const std::string&) {
        QMetaObject::invokeMethod(this, "TakeLinkChange", Qt::QueuedConnection);
    });
}

void CFlowsentryView::TakeCaptureEnd() {
    QString text;
    {
        const std::lock_guard lock(m_newsMutex);
        if (m_endTexts.empty()) {
            return;
        }
        text = std::move(m_endTexts.front());
        m_endTexts.pop_front();
    }
    emit CaptureEnded(text);
}

void CFlowsentryView::TakeLinkChange() {
    emit LinkChanged();
}

// A running capture ends here, before the table it writes into goes.
CFlowsentryView::~CFlowsentryView() {
    m_sniffer.StopSniffing();
}

void CFlowsentryView::FinishObserver() {
    if (m_batchObserver) {
        // These changes never reach the list: it is emptied next, or the window goes.
        m_batchObserver(std::make_shared<const TrafficBatch>(m_table.PullChanges()), std::time(nullptr),
                        true);
    }
}

void CFlowsentryView::ClearTraffic() {
    FinishObserver();
    m_table.Clear();
    SetFileName(QString());
    Refresh();
}

bool CFlowsentryView::ReadFile(const QString& path, std::optional<IpAddress> local) {
    SetFileName(QFileInfo(path).fileName());
    // Emptying the list ran on the wall clock, and the list's clock never goes back: a second reset starts
    // it again at the file's first packet, or every row of an older file would show as idle.
    m_table.Clear();
    if (!m_sniffer.StartSniffing(std::make_unique<CFileSource>(path.toStdString()), local)) {
        return false;
    }
    m_refreshTimer.start();
    return true;
}

// A file is read far faster than its packets came, so minutes of its traffic fall between two refreshes and
// would count as a burst in the second of each row's last packet: the rates it would show were never there.
// So a file's rows show no rates (as flowsentry-cli prints none for a file), and its clock is its packets'.
void CFlowsentryView::SetFileName(const QString& name) {
    m_strFileName = name;
    for (int column = ColumnCount; column < ListColumnCount; ++column) {
        setColumnHidden(column, !name.isEmpty());
    }
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

void CFlowsentryView::RefreshSoon() {
    if (!m_refreshTimer.isActive()) {
        m_refreshTimer.start();
    }
}

void CFlowsentryView::HoldRows() {
    ++m_nRowHolds;
}

void CFlowsentryView::ReleaseRows() {
    if (m_nRowHolds > 0 && --m_nRowHolds == 0 && std::exchange(m_bRefreshHeld, false)) {
        Refresh();
    }
}

void CFlowsentryView::SetPaused(bool paused) {
    if (paused == m_bPaused) {
        return;
    }
    m_bPaused = paused;
    emit PausedChanged(paused);
    if (!paused) {
        Refresh();
    }
}

void CFlowsentryView::Refresh() {
    if (m_nRowHolds > 0 || m_bPaused) {
        m_bRefreshHeld = m_bRefreshHeld || m_nRowHolds > 0;
        emit Refreshed();
        return;
    }
    if (!m_namesLater.empty()) {
        ApplyNames();
    }
    // Read before the pull: a capture that had ended by then has folded everything it will.
    const bool capturing = m_sniffer.IsRunning();
    const auto pulled = std::make_shared<const TrafficBatch>(m_table.PullChanges());
    const TrafficBatch& batch = *pulled;
    // After the capture, the timer runs until the last highlight has faded.
    if (batch.empty() && !capturing && !m_model.Highlighting()) {
        m_refreshTimer.stop();
        emit Refreshed();
        return;
    }
    // The rate window moves on with the clock even when nothing arrived, so that quiet rows slow down. A
    // file's clock is the time of its latest packet.
    const std::int64_t now = m_strFileName.isEmpty() ? std::time(nullptr) : CRowStore::kUnknownTime;
    QScrollBar* scroll = verticalScrollBar();
    const int scrolledBy = scroll->value();
    // The selected row stays where it is on the screen while the rows move, if it is on the screen.
    const QModelIndex current = currentIndex();
    const bool followSelected = current.isValid() && selectionModel()->isSelected(current) &&
                                viewport()->rect().intersects(visualRect(current));
    const int selectedOffset = followSelected ? current.row() - scrolledBy : 0;
    if (m_batchObserver) {
        m_batchObserver(pulled, now, false);
    }
    const int inserted = m_model.ApplyBatch(batch, now);
    WidenForIpv6(batch);
    WantNames(batch);
    if (followSelected && currentIndex().isValid()) {
        updateGeometries(); // the scroll range changes only at the next layout otherwise
        scroll->setValue(currentIndex().row() - selectedOffset);
    } else if (inserted > 0 && scrolledBy > 0) {
        // At the top the new rows appear as they come; further down they would push what the user is
        // reading off the screen every tick, so the view follows the rows it shows.
        updateGeometries();
        scroll->setValue(scrolledBy + inserted);
    }
    emit Refreshed();
}

void CFlowsentryView::SetResolveNames(bool on) {
    if (on == m_bResolveNames) {
        return;
    }
    m_bResolveNames = on;
    if (on && !m_pNames) {
        m_pNames = std::make_unique<CNameService>(nullptr, m_resolverFactory);
        connect(m_pNames.get(), &CNameService::NamesChanged, this,
                [this](const std::vector<IpAddress>& addresses) {
                    // Paused or held, the rows stay as they are: the names show at the next refresh.
                    m_namesLater.insert(m_namesLater.end(), addresses.begin(), addresses.end());
                    if (m_nRowHolds == 0 && !m_bPaused) {
                        ApplyNames();
                    } else {
                        m_bRefreshHeld = m_bRefreshHeld || m_nRowHolds > 0;
                    }
                });
    }
    m_model.SetNames(on ? &m_pNames->Cache() : nullptr);
    if (on) {
        // The rows already there, newest last so that they are asked first, as many as the queue holds.
        const CRowStore& rows = m_model.Rows();
        const std::size_t count = std::min(rows.RowCount(), m_pNames->Cache().GetSettings().m_nMaxQueued / 2);
        for (std::size_t row = count; row-- > 0;) {
            const CTrafficEntry& entry = rows.Row(row);
            if (!entry.IsOverflow()) {
                m_pNames->Want(entry.Source());
                m_pNames->Want(entry.Destination());
            }
        }
        WantNames(TrafficBatch{});
    }
}

void CFlowsentryView::ApplyNames() {
    std::vector<IpAddress> addresses;
    addresses.swap(m_namesLater);
    if (m_bResolveNames) {
        m_model.NamesChanged(addresses);
    }
}

void CFlowsentryView::WantNames(const TrafficBatch& batch) {
    if (!m_bResolveNames) {
        return;
    }
    auto want = [this](const CTrafficEntry& entry) {
        if (!entry.IsOverflow()) {
            m_pNames->Want(entry.Source());
            m_pNames->Want(entry.Destination());
        }
    };
    // Newest first in the batch: walked backwards, so that the newest are wanted last and asked first.
    for (auto it = batch.m_newRows.rbegin(); it != batch.m_newRows.rend(); ++it) {
        want(*it);
    }
    const int first = rowAt(0);
    if (first < 0) {
        return;
    }
    int last = rowAt(viewport()->height() - 1);
    if (last < 0) {
        last = m_model.rowCount() - 1;
    }
    for (int row = last; row >= first; --row) {
        const auto [source, destination] = m_model.Rows().AddressesOf(m_model.SerialAt(row));
        m_pNames->Want(source);
        m_pNames->Want(destination);
    }
}

void CFlowsentryView::ClickHeading(int column) {
    const CRowOrder& order = m_model.Order();
    // Addresses and protocols read best from the smallest; amounts, rates and times from the largest.
    const bool largestFirst = column != ColSrcAddress && column != ColDestAddress && column != ColProto;
    if (order.SortColumn() != column) {
        SortBy(column, largestFirst);
    } else if (order.Descending() == largestFirst) {
        SortBy(column, !largestFirst);
    } else {
        SortBy(CRowOrder::kDefaultOrder, false);
    }
}

void CFlowsentryView::SortBy(int column, bool descending) {
    m_model.Sort(column, descending);
    QHeaderView* header = horizontalHeader();
    if (m_model.Order().SortColumn() == CRowOrder::kDefaultOrder) {
        header->setSortIndicatorShown(false);
    } else {
        header->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
        header->setSortIndicatorShown(true);
    }
    if (currentIndex().isValid()) {
        scrollTo(currentIndex());
    }
}

void CFlowsentryView::TakeColors() {
    const QPalette pal = palette();
    m_model.SetColors(pal.color(QPalette::Active, QPalette::Highlight),
                      pal.color(QPalette::Disabled, QPalette::Text));
}

void CFlowsentryView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        TakeColors();
    }
    QTableView::changeEvent(event);
}

void CFlowsentryView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_P && event->modifiers() == Qt::NoModifier) {
        SetPaused(!m_bPaused);
        return;
    }
    QTableView::keyPressEvent(event);
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
    // The rates after the ten: wide enough for "999.9 MB/s" and the heading.
    const int rateWidth =
        fontMetrics().horizontalAdvance(QStringLiteral("9999.9 MB/s")) + 2 * fontMetrics().height();
    for (int column = ColumnCount; column < ListColumnCount; ++column) {
        setColumnWidth(column, rateWidth);
    }
}

} // namespace flowsentry
