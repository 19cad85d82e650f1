// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/RowStore.h"
#include "traffic/TrafficTable.h"

#include <QAbstractTableModel>
#include <QIcon>

namespace flowsentry {

// The traffic list's rows for a QTableView: the consumer's copy of the table, brought up to date one batch
// at a time. Row 0 is the newest entry; cell texts are made when the view asks for them.
class CTrafficModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTrafficModel)

public:
    enum Role {
        // The entry's IP protocol number, on every cell of the row.
        ProtocolRole = Qt::UserRole,
        // The cell's value as a number (counters, addresses, seconds since the epoch), for sorting.
        ValueRole,
    };

    explicit CTrafficModel(QObject* parent = nullptr);
    ~CTrafficModel() override;

    // Brings the rows up to date: one insertion at the top for the new rows, one dataChanged over the
    // span of changed rows; a full reset only when the table itself was cleared. Returns the number of
    // rows inserted at the top.
    int ApplyBatch(const TrafficBatch& batch);

    [[nodiscard]] const CRowStore& Rows() const { return m_rows; }

    [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

private:
    CRowStore m_rows;
    QIcon m_rowIcon; // two computers with arrows between them, beside the source address
};

} // namespace flowsentry
