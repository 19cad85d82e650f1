// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/TrafficModel.h"

#include "platform/NameCache.h"
#include "traffic/CellWriter.h"

#include <QBrush>
#include <QByteArray>
#include <QString>
#include <vector>

// Resources compiled into a static library are registered only when asked for by name, from outside any
// namespace.
static void InitViewResources() {
    Q_INIT_RESOURCE(view);
}

namespace flowsentry {
namespace {

constexpr int kLeftAligned = static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter);
constexpr int kRightAligned = static_cast<int>(Qt::AlignRight | Qt::AlignVCenter);

constexpr std::array<const char*, ListColumnCount - ColumnCount> kRateHeadings = {"Send Rate", "Rcv Rate",
                                                                                  "Peak Rate"};

// An IPv6 address as its 16 bytes, which sort as the addresses do.
QVariant Ipv6Value(const Ipv6Address& address) {
    return QByteArray(reinterpret_cast<const char*>(address.data()), static_cast<qsizetype>(address.size()));
}

QVariant CellValue(const CTrafficEntry& entry, const RowRates& rates, int column) {
    switch (column) {
    case ColSrcAddress:
        return entry.IsIpv6() ? Ipv6Value(entry.m_src6) : QVariant::fromValue(entry.m_dwSrcAddress);
    case ColDestAddress:
        return entry.IsIpv6() ? Ipv6Value(entry.m_dest6) : QVariant::fromValue(entry.m_dwDestAddress);
    case ColDateTime:
        return QVariant::fromValue(entry.m_tLastUpdate);
    case ColProto:
        return QVariant::fromValue(static_cast<uint>(entry.m_nProto));
    case ColSendRate:
        return rates.m_dSend;
    case ColRcvRate:
        return rates.m_dRcv;
    case ColPeakRate:
        return rates.m_dPeak;
    default:
        return IsCounterColumn(column) ? QVariant::fromValue(CounterValue(entry, column)) : QVariant();
    }
}

double RateOf(const RowRates& rates, int column) {
    return column == ColSendRate ? rates.m_dSend : column == ColRcvRate ? rates.m_dRcv : rates.m_dPeak;
}

} // namespace

CTrafficModel::CTrafficModel(QObject* parent) : QAbstractTableModel(parent) {
    InitViewResources();
    m_rowIcon = QIcon(QStringLiteral(":/view/icons/two-computers.svg"));
}

CTrafficModel::~CTrafficModel() = default;

template <class Change> void CTrafficModel::ChangeLayout(Change change) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::size_t> serials;
    serials.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        serials.push_back(SerialAt(index.row()));
    }
    change();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const int row = RowOf(serials[static_cast<std::size_t>(i)]);
        after.push_back(row < 0 ? QModelIndex() : index(row, before[i].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int CTrafficModel::ApplyBatch(const TrafficBatch& batch, std::int64_t now) {
    if (batch.m_bReset) {
        beginResetModel();
        m_rows.Apply(batch, now);
        m_order.Clear();
        m_order.AddNewRows(m_rows);
        m_order.Resort(m_rows);
        endResetModel();
        m_nLastChange = batch.m_newRows.empty() ? m_nLastChange : m_rows.ApplyCount();
        return 0;
    }
    // How many new rows will be shown, counted before anything changes, as the insertion must be announced.
    int inserted = 0;
    for (const CTrafficEntry& entry : batch.m_newRows) {
        inserted += m_order.Accepts(entry) ? 1 : 0;
    }
    const bool sorted = m_order.SortColumn() != CRowOrder::kDefaultOrder;
    const int before = rowCount();
    if (inserted > 0) {
        // Sorted, the new rows come in at the bottom first and then move to their places with the others.
        beginInsertRows(QModelIndex(), sorted ? before : 0, (sorted ? before : 0) + inserted - 1);
    }
    m_rows.Apply(batch, now);
    m_order.AddNewRows(m_rows);
    if (inserted > 0) {
        endInsertRows();
    }
    if (sorted) {
        ChangeLayout([this] { m_order.Resort(m_rows); });
    }
    if (!batch.m_newRows.empty() || !batch.m_changedRows.empty()) {
        m_nLastChange = m_rows.ApplyCount();
    }
    if (rowCount() > 0 &&
        (!m_rows.Touched().empty() || m_rows.ApplyCount() - m_nLastChange <= kHighlightRefreshes)) {
        // One signal over every row: the view repaints what it shows, however many rows changed, and the
        // fading highlight of the rows changed before needs that repaint too.
        emit dataChanged(index(0, 0), index(rowCount() - 1, ListColumnCount - 1));
    }
    return sorted ? 0 : inserted;
}

void CTrafficModel::Sort(int column, bool descending) {
    ChangeLayout([&] { m_order.SetSort(m_rows, column, descending); });
}

void CTrafficModel::SetFilter(CRowOrder::Filter filter) {
    // The number of rows changes: a reset, which also clears the selection of rows no longer shown.
    beginResetModel();
    m_order.SetFilter(m_rows, std::move(filter));
    endResetModel();
}

void CTrafficModel::SetRateWindow(int seconds) {
    m_rows.SetRateWindow(seconds);
    const int column = m_order.SortColumn();
    if (column == ColSendRate || column == ColRcvRate) {
        ChangeLayout([this] { m_order.Rebuild(m_rows); });
    }
    if (rowCount() > 0) {
        emit dataChanged(index(0, ColSendRate), index(rowCount() - 1, ColRcvRate));
    }
}

void CTrafficModel::SetRatesInBits(bool bits) {
    m_bBits = bits;
    if (rowCount() > 0) {
        emit dataChanged(index(0, ColSendRate), index(rowCount() - 1, ColPeakRate));
    }
}

void CTrafficModel::SetNames(const INameLookup* names) {
    m_pNames = names;
    if (rowCount() > 0) {
        emit dataChanged(index(0, ColSrcAddress), index(rowCount() - 1, ColDestAddress));
    }
}

void CTrafficModel::NamesChanged(const std::vector<IpAddress>& addresses) {
    if (m_pNames == nullptr || addresses.empty()) {
        return;
    }
    if (m_order.Filtered()) {
        const CAddressSet named(addresses);
        const std::vector<std::uint32_t> serials =
            m_order.NewlyAccepted(m_rows, [&](const IpAddress& source, const IpAddress& destination) {
                return named.Contains(source) || named.Contains(destination);
            });
        if (!serials.empty()) {
            // As new rows come when sorted: inserted at the bottom, then moved to their places.
            const int before = rowCount();
            beginInsertRows(QModelIndex(), before, before + static_cast<int>(serials.size()) - 1);
            m_order.AddRows(m_rows, serials);
            endInsertRows();
            ChangeLayout([this] { m_order.PlaceAdded(m_rows); });
        }
    }
    if (rowCount() > 0) {
        emit dataChanged(index(0, ColSrcAddress), index(rowCount() - 1, ColDestAddress));
    }
}

void CTrafficModel::SetColors(const QColor& highlight, const QColor& idleText) {
    m_highlight = highlight;
    m_idleText = idleText;
}

std::size_t CTrafficModel::SerialAt(int row) const {
    return m_order.SerialAt(m_rows, static_cast<std::size_t>(row));
}

int CTrafficModel::RowOf(std::size_t serial) const {
    const auto row = m_order.RowOf(m_rows, serial);
    return row ? static_cast<int>(*row) : -1;
}

int CTrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_order.Size(m_rows));
}

int CTrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ListColumnCount;
}

QVariant CTrafficModel::Background(std::size_t serial) const {
    const std::uint32_t age = m_rows.ApplyCount() - m_rows.ChangedAt(serial);
    if (age >= kHighlightRefreshes || !m_highlight.isValid()) {
        return {};
    }
    // Strongest right after the change, gone after a few refreshes; drawn over the row's own background,
    // so it works in light and dark themes alike.
    QColor color = m_highlight;
    color.setAlphaF(0.45F * static_cast<float>(kHighlightRefreshes - age) /
                    static_cast<float>(kHighlightRefreshes));
    return QBrush(color);
}

QVariant CTrafficModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const std::size_t serial = SerialAt(index.row());
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        if (column >= ColumnCount) {
            return QString::fromStdString(RateText(RateOf(m_rows.RatesOf(serial), column), m_bBits));
        }
        if (m_pNames != nullptr && (column == ColSrcAddress || column == ColDestAddress)) {
            // "other" rows are never asked, so they have no name.
            const auto [source, destination] = m_rows.AddressesOf(serial);
            const std::string_view name = m_pNames->NameOf(column == ColSrcAddress ? source : destination);
            if (!name.empty()) {
                return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
            }
        }
        return QString::fromStdString(CellText(m_rows.Entry(serial), column));
    case Qt::ToolTipRole:
        // The number behind a name; without names the cell shows it already.
        if (m_pNames != nullptr && (column == ColSrcAddress || column == ColDestAddress)) {
            return QString::fromStdString(CellText(m_rows.Entry(serial), column));
        }
        return {};
    case Qt::DecorationRole:
        return column == ColSrcAddress ? QVariant(m_rowIcon) : QVariant();
    case Qt::TextAlignmentRole:
        return column >= ColumnCount ? kRightAligned : kLeftAligned;
    case Qt::BackgroundRole:
        return Background(serial);
    case Qt::ForegroundRole:
        if (m_idleText.isValid() && m_rows.Now() != CRowStore::kUnknownTime &&
            m_rows.Now() - m_rows.Entry(serial).m_tLastUpdate >= kIdleSeconds) {
            return QBrush(m_idleText);
        }
        return {};
    case ProtocolRole:
        return static_cast<uint>(m_rows.Entry(serial).m_nProto);
    case ValueRole:
        return CellValue(m_rows.Entry(serial), m_rows.RatesOf(serial), column);
    default:
        return {};
    }
}

QVariant CTrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ListColumnCount) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(section < ColumnCount
                                       ? kColumnHeadings[static_cast<std::size_t>(section)]
                                       : kRateHeadings[static_cast<std::size_t>(section - ColumnCount)]);
    case Qt::TextAlignmentRole:
        return section >= ColumnCount ? kRightAligned : kLeftAligned;
    default:
        return {};
    }
}

} // namespace flowsentry
