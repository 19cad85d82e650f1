// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/NameLookup.h"
#include "traffic/RowOrder.h"
#include "traffic/RowStore.h"
#include "traffic/TrafficTable.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <cstdint>
#include <vector>

namespace flowsentry {

// The traffic list's rows for a QTableView: the consumer's copy of the table, brought up to date one batch
// at a time, shown newest first or sorted by a column, and filtered. Cell texts are made when the view
// asks for them.
class CTrafficModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTrafficModel)

public:
    enum Role {
        // The entry's IP protocol number, on every cell of the row.
        ProtocolRole = Qt::UserRole,
        // The cell's value as a number (counters, addresses, seconds since the epoch, bytes per second).
        ValueRole,
    };
    // A row untouched this long is drawn greyed.
    static constexpr std::int64_t kIdleSeconds = 60;
    // A row that changed is highlighted for this many refreshes, fading.
    static constexpr std::uint32_t kHighlightRefreshes = 3;

    explicit CTrafficModel(QObject* parent = nullptr);
    ~CTrafficModel() override;

    // Brings the rows up to date with the capture's clock at `now` (seconds since the epoch; by default the
    // latest packet's time). New rows are
    // announced as one insertion (at the top in the default order, at the bottom before they move to their
    // places when sorted), moved rows as one layout change that carries the selection along, and changed
    // values as one dataChanged; a full reset only when the table itself was cleared. Returns the number
    // of rows inserted at the top.
    int ApplyBatch(const TrafficBatch& batch, std::int64_t now = CRowStore::kUnknownTime);

    // Orders the rows by a column of the list (CRowOrder::kDefaultOrder: newest first).
    void Sort(int column, bool descending);
    // Shows only the rows `filter` lets through (an empty function: all).
    void SetFilter(CRowOrder::Filter filter);
    void SetRateWindow(int seconds);
    void SetRatesInBits(bool bits);
    // With names, the address cells show the host name `names` knows (the number until then), with the
    // number in the tooltip; null shows numbers again. Sorting stays by the addresses, and Save As and Copy
    // write numbers either way. The filter reads Names() when it asks.
    void SetNames(const INameLookup* names);
    [[nodiscard]] const INameLookup* Names() const { return m_pNames; }
    // The names of these addresses changed: rows the filter turned away may match now, and the address
    // cells are repainted.
    void NamesChanged(const std::vector<IpAddress>& addresses);
    // The colours of the highlight and of idle rows, from the view's palette.
    void SetColors(const QColor& highlight, const QColor& idleText);

    [[nodiscard]] const CRowStore& Rows() const { return m_rows; }
    // Some row is still drawn highlighted: a few more refreshes let it fade.
    [[nodiscard]] bool Highlighting() const {
        return m_nLastChange != 0 && m_rows.ApplyCount() - m_nLastChange < kHighlightRefreshes;
    }
    [[nodiscard]] const CRowOrder& Order() const { return m_order; }
    // The serial of a shown row, and the row of a serial if it is shown.
    [[nodiscard]] std::size_t SerialAt(int row) const;
    [[nodiscard]] int RowOf(std::size_t serial) const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

private:
    // Runs `change` as one layout change, moving the persistent indexes (selection, current row) with
    // their rows.
    template <class Change> void ChangeLayout(Change change);
    [[nodiscard]] QVariant Background(std::size_t serial) const;

    CRowStore m_rows;
    CRowOrder m_order;
    QIcon m_rowIcon;                 // two computers with arrows between them, beside the source address
    std::uint32_t m_nLastChange = 0; // the last apply that brought a row new traffic
    bool m_bBits = false;
    const INameLookup* m_pNames = nullptr;
    QColor m_highlight;
    QColor m_idleText;
};

} // namespace flowsentry
