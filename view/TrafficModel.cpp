// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/TrafficModel.h"

#include <QByteArray>
#include <QString>

// Resources compiled into a static library are registered only when asked for by name, from outside any
// namespace.
static void InitViewResources() {
    Q_INIT_RESOURCE(view);
}

namespace flowsentry {
namespace {

constexpr int kLeftAligned = static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter);

// An IPv6 address as its 16 bytes, which sort as the addresses do.
QVariant Ipv6Value(const Ipv6Address& address) {
    return QByteArray(reinterpret_cast<const char*>(address.data()), static_cast<qsizetype>(address.size()));
}

QVariant CellValue(const CTrafficEntry& entry, int column) {
    switch (column) {
    case ColSrcAddress:
        return entry.IsIpv6() ? Ipv6Value(entry.m_src6) : QVariant::fromValue(entry.m_dwSrcAddress);
    case ColDestAddress:
        return entry.IsIpv6() ? Ipv6Value(entry.m_dest6) : QVariant::fromValue(entry.m_dwDestAddress);
    case ColDateTime:
        return QVariant::fromValue(entry.m_tLastUpdate);
    case ColProto:
        return QVariant::fromValue(static_cast<uint>(entry.m_nProto));
    default:
        return IsCounterColumn(column) ? QVariant::fromValue(CounterValue(entry, column)) : QVariant();
    }
}

} // namespace

CTrafficModel::CTrafficModel(QObject* parent) : QAbstractTableModel(parent) {
    InitViewResources();
    m_rowIcon = QIcon(QStringLiteral(":/view/icons/two-computers.svg"));
}

CTrafficModel::~CTrafficModel() = default;

int CTrafficModel::ApplyBatch(const TrafficBatch& batch) {
    if (batch.m_bReset) {
        beginResetModel();
        m_rows.Apply(batch);
        endResetModel();
        return 0;
    }
    const auto inserted = static_cast<int>(batch.m_newRows.size());
    if (inserted > 0) {
        beginInsertRows(QModelIndex(), 0, inserted - 1);
        m_rows.ApplyResetAndNewRows(batch);
        endInsertRows();
    }
    if (!batch.m_changedRows.empty()) {
        m_rows.ApplyChangedRows(batch);
        // The changes come sorted by row: one signal over their span costs the view one repaint of what
        // it shows, however many rows changed.
        const auto first = static_cast<int>(batch.m_changedRows.front().m_nRow);
        const auto last = static_cast<int>(batch.m_changedRows.back().m_nRow);
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1), {Qt::DisplayRole, ValueRole});
    }
    return inserted;
}

int CTrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.RowCount());
}

int CTrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CTrafficModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(m_rows.CellText(row, column));
    case Qt::DecorationRole:
        return column == ColSrcAddress ? QVariant(m_rowIcon) : QVariant();
    case Qt::TextAlignmentRole:
        return kLeftAligned;
    case ProtocolRole:
        return static_cast<uint>(m_rows.Row(row).m_nProto);
    case ValueRole:
        return CellValue(m_rows.Row(row), column);
    default:
        return {};
    }
}

QVariant CTrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(kColumnHeadings[static_cast<std::size_t>(section)]);
    case Qt::TextAlignmentRole:
        return kLeftAligned;
    default:
        return {};
    }
}

} // namespace flowsentry
