// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowStore.h"

#include "traffic/CellWriter.h"

#include <algorithm>
#include <bit>

namespace flowsentry {

namespace {

// The latest packet time in a batch, or `now` if it is later.
std::int64_t LatestTime(const TrafficBatch& batch, std::int64_t now) {
    for (const CTrafficEntry& entry : batch.m_newRows) {
        now = std::max(now, entry.m_tLastUpdate);
    }
    for (const RowChange& change : batch.m_changedRows) {
        now = std::max(now, change.m_entry.m_tLastUpdate);
    }
    return now;
}

} // namespace

void CRowStore::Apply(const TrafficBatch& batch, std::int64_t now) {
    ++m_nApplies;
    m_touched.clear();
    m_bWasReset = batch.m_bReset;
    m_nNewRows = batch.m_newRows.size();
    if (batch.m_bReset) {
        Clear();
    }
    if (now == kUnknownTime) {
        now = LatestTime(batch, m_tNow);
    }
    if (now == kUnknownTime) {
        return; // no clock yet, and no rows in the batch that could give one
    }
    // A clock read just before a packet's timestamp was taken may lag it; the window never goes back.
    const std::int64_t before = m_tNow == kUnknownTime ? now : m_tNow;
    now = std::max(now, before);
    MoveWindow(before, now);
    const std::int64_t gap = now - before;

    // The batch lists new rows newest first; the store keeps creation order.
    for (auto entry = batch.m_newRows.rbegin(); entry != batch.m_newRows.rend(); ++entry) {
        const std::size_t serial = m_rows.size();
        m_rows.reserve_one();
        if (entry->IsIpv6()) {
            m_v6.reserve_one();
        }
        m_rows.push_back(StoredRow{});
        Store(serial, *entry);
        Count(serial, entry->m_nSendData, entry->m_nRcvData, entry->m_tLastUpdate, gap);
    }
    for (const RowChange& change : batch.m_changedRows) {
        if (change.m_nRow >= m_rows.size()) {
            continue;
        }
        const std::size_t serial = SerialOf(change.m_nRow);
        const StoredRow& old = m_rows[serial];
        const CTrafficEntry& entry = change.m_entry;
        // Counters only grow; a smaller one would be a fault upstream, and must not count as a huge gain.
        const std::uint64_t send =
            entry.m_nSendData > old.m_nSendData ? entry.m_nSendData - old.m_nSendData : 0;
        const std::uint64_t rcv = entry.m_nRcvData > old.m_nRcvData ? entry.m_nRcvData - old.m_nRcvData : 0;
        Store(serial, entry);
        Count(serial, send, rcv, entry.m_tLastUpdate, gap);
    }
    for (const std::uint32_t serial : m_touched) {
        StoredRow& row = m_rows[serial];
        row.m_dPeak =
            std::max(row.m_dPeak, static_cast<double>(row.m_nWindowSend + row.m_nWindowRcv) / m_nWindow);
    }
}

void CRowStore::Store(std::size_t serial, const CTrafficEntry& entry) {
    StoredRow& row = m_rows[serial];
    if (row.m_nChangedAt == 0 && entry.IsIpv6()) {
        row.m_dwSrc = static_cast<std::uint32_t>(m_v6.size());
        m_v6.push_back(Ipv6Pair{entry.m_src6, entry.m_dest6});
    } else if (row.m_nChangedAt == 0) {
        row.m_dwSrc = entry.m_dwSrcAddress;
        row.m_dwDest = entry.m_dwDestAddress;
    }
    row.m_family = entry.m_family;
    row.m_nProto = entry.m_nProto;
    row.m_nChangedAt = m_nApplies;
    row.m_nSendData = entry.m_nSendData;
    row.m_nRcvData = entry.m_nRcvData;
    row.m_nSendPackets = entry.m_nSendPackets;
    row.m_nRcvPackets = entry.m_nRcvPackets;
    row.m_tLastUpdate = entry.m_tLastUpdate;
    m_touched.push_back(static_cast<std::uint32_t>(serial));
}

void CRowStore::Count(std::size_t serial, std::uint64_t send, std::uint64_t rcv, std::int64_t second,
                      std::int64_t gap) {
    m_nTotalSend += send;
    m_nTotalRcv += rcv;
    if (gap > 1) {
        // The store was not brought up to date for a while (the display paused, a slow consumer): the gain
        // is spread over that time, so only the part that falls in the window counts there, and no row shows
        // a burst it never had.
        const double share =
            static_cast<double>(std::min<std::int64_t>(gap, m_nWindow)) / static_cast<double>(gap);
        send = static_cast<std::uint64_t>(static_cast<double>(send) * share);
        rcv = static_cast<std::uint64_t>(static_cast<double>(rcv) * share);
    }
    second = std::min(second, m_tNow);
    if ((send == 0 && rcv == 0) || second < m_tNow - kLongestRateWindow) {
        return;
    }
    auto at = m_history.end();
    while (at != m_history.begin() && std::prev(at)->m_tSecond > second) {
        --at;
    }
    if (at == m_history.begin() || std::prev(at)->m_tSecond != second) {
        at = std::next(m_history.insert(at, Second{second, {}}));
    }
    std::vector<RateRecord>& records = std::prev(at)->m_records;
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint32_t>::max();
    for (std::uint64_t s = send, r = rcv; s > 0 || r > 0;) {
        const auto partSend = static_cast<std::uint32_t>(std::min(s, kMost));
        const auto partRcv = static_cast<std::uint32_t>(std::min(r, kMost));
        records.push_back(RateRecord{static_cast<std::uint32_t>(serial), partSend, partRcv});
        s -= partSend;
        r -= partRcv;
    }
    if (InWindow(second)) {
        StoredRow& row = m_rows[serial];
        row.m_nWindowSend += send;
        row.m_nWindowRcv += rcv;
        m_nWindowSend += send;
        m_nWindowRcv += rcv;
    }
}

void CRowStore::Weigh(const Second& second, int sign) {
    for (const RateRecord& record : second.m_records) {
        StoredRow& row = m_rows[record.m_nSerial];
        if (sign > 0) {
            row.m_nWindowSend += record.m_nSend;
            row.m_nWindowRcv += record.m_nRcv;
            m_nWindowSend += record.m_nSend;
            m_nWindowRcv += record.m_nRcv;
        } else {
            row.m_nWindowSend -= record.m_nSend;
            row.m_nWindowRcv -= record.m_nRcv;
            m_nWindowSend -= record.m_nSend;
            m_nWindowRcv -= record.m_nRcv;
        }
        m_touched.push_back(record.m_nSerial);
    }
}

void CRowStore::MoveWindow(std::int64_t from, std::int64_t to) {
    m_tNow = to;
    if (to != from) {
        for (const Second& second : m_history) {
            const bool was = second.m_tSecond >= from - m_nWindow && second.m_tSecond < from;
            const bool is = InWindow(second.m_tSecond);
            if (was != is) {
                Weigh(second, is ? 1 : -1);
            }
        }
    }
    while (!m_history.empty() && m_history.front().m_tSecond < to - kLongestRateWindow) {
        m_history.pop_front();
    }
}

void CRowStore::SetRateWindow(int seconds) {
    seconds = std::clamp(seconds, 1, kLongestRateWindow);
    if (seconds == m_nWindow) {
        return;
    }
    m_touched.clear();
    const int before = m_nWindow;
    m_nWindow = seconds;
    if (m_tNow == kUnknownTime) {
        return;
    }
    for (const Second& second : m_history) {
        const bool was = second.m_tSecond >= m_tNow - before && second.m_tSecond < m_tNow;
        const bool is = InWindow(second.m_tSecond);
        if (was != is) {
            Weigh(second, is ? 1 : -1);
        }
    }
}

void CRowStore::Clear() {
    m_rows.clear();
    m_v6.clear();
    m_history.clear();
    m_tNow = kUnknownTime;
    m_nWindowSend = 0;
    m_nWindowRcv = 0;
    m_nTotalSend = 0;
    m_nTotalRcv = 0;
}

CTrafficEntry CRowStore::Entry(std::size_t serial) const {
    const StoredRow& row = m_rows[serial];
    CTrafficEntry entry;
    entry.m_family = row.m_family;
    entry.m_nProto = row.m_nProto;
    if (row.m_family == IpFamily::Ipv6) {
        const Ipv6Pair& pair = m_v6[row.m_dwSrc];
        entry.m_src6 = pair.m_src;
        entry.m_dest6 = pair.m_dest;
        entry.m_dwEntryId = EntryId6(pair.m_src, pair.m_dest, row.m_nProto);
    } else {
        entry.m_dwSrcAddress = row.m_dwSrc;
        entry.m_dwDestAddress = row.m_dwDest;
        entry.m_dwEntryId = EntryId(row.m_dwSrc, row.m_dwDest, row.m_nProto);
    }
    entry.m_nSendData = row.m_nSendData;
    entry.m_nRcvData = row.m_nRcvData;
    entry.m_nSendPackets = row.m_nSendPackets;
    entry.m_nRcvPackets = row.m_nRcvPackets;
    entry.m_tLastUpdate = row.m_tLastUpdate;
    return entry;
}

std::pair<IpAddress, IpAddress> CRowStore::AddressesOf(std::size_t serial) const {
    const StoredRow& row = m_rows[serial];
    if (row.m_family == IpFamily::Ipv6) {
        const Ipv6Pair& pair = m_v6[row.m_dwSrc];
        return {IpAddress(pair.m_src), IpAddress(pair.m_dest)};
    }
    std::pair<IpAddress, IpAddress> addresses{row.m_dwSrc, row.m_dwDest};
    addresses.first.m_family = addresses.second.m_family = row.m_family;
    return addresses;
}

RowRates CRowStore::RatesOf(std::size_t serial) const {
    const StoredRow& row = m_rows[serial];
    return RowRates{static_cast<double>(row.m_nWindowSend) / m_nWindow,
                    static_cast<double>(row.m_nWindowRcv) / m_nWindow, row.m_dPeak};
}

RowRates CRowStore::TotalRates() const {
    const double send = static_cast<double>(m_nWindowSend) / m_nWindow;
    const double rcv = static_cast<double>(m_nWindowRcv) / m_nWindow;
    return RowRates{send, rcv, send + rcv};
}

std::uint64_t CRowStore::SortValue(std::size_t serial, int column) const {
    const StoredRow& row = m_rows[serial];
    switch (column) {
    case ColSrcAddress:
    case ColDestAddress: {
        // Overflow rows first, then IPv4, then IPv6, in the top two bits.
        const bool source = column == ColSrcAddress;
        if (row.m_family == IpFamily::Ipv4) {
            return (std::uint64_t{1} << 62U) | std::uint64_t{source ? row.m_dwSrc : row.m_dwDest};
        }
        if (row.m_family == IpFamily::Ipv6) {
            const Ipv6Address& address = source ? m_v6[row.m_dwSrc].m_src : m_v6[row.m_dwSrc].m_dest;
            std::uint64_t high = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                high = (high << 8U) | address[i];
            }
            return (std::uint64_t{2} << 62U) | (high >> 2U);
        }
        return 0;
    }
    case ColDateTime:
        return static_cast<std::uint64_t>(row.m_tLastUpdate) ^ (std::uint64_t{1} << 63U);
    case ColProto:
        return row.m_nProto;
    case ColSendRate:
        return row.m_nWindowSend;
    case ColRcvRate:
        return row.m_nWindowRcv;
    case ColPeakRate:
        // A double that is not negative orders as its bits do.
        return std::bit_cast<std::uint64_t>(row.m_dPeak);
    default:
        return CounterValue(row, column);
    }
}

bool CRowStore::AddressLess(std::size_t a, std::size_t b, bool source) const {
    const StoredRow& ra = m_rows[a];
    const StoredRow& rb = m_rows[b];
    if (ra.m_family != IpFamily::Ipv6 || rb.m_family != IpFamily::Ipv6) {
        return false; // the sort value holds the whole address
    }
    const Ipv6Pair& pa = m_v6[ra.m_dwSrc];
    const Ipv6Pair& pb = m_v6[rb.m_dwSrc];
    return source ? pa.m_src < pb.m_src : pa.m_dest < pb.m_dest;
}

std::string CRowStore::CellText(std::size_t row, int column) const {
    return flowsentry::CellText(Row(row), column);
}

} // namespace flowsentry
