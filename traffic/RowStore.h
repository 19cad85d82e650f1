// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/ChunkedVector.h"
#include "traffic/TrafficEntry.h"
#include "traffic/TrafficTable.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace flowsentry {

// The list's columns after the ten of the text export: the rates.
inline constexpr int ColSendRate = ColumnCount;
inline constexpr int ColRcvRate = ColumnCount + 1;
inline constexpr int ColPeakRate = ColumnCount + 2;
inline constexpr int ListColumnCount = ColumnCount + 3;

// A row's rates in bytes per second: what it sent and received over the rate window, and the highest total
// rate it has had since it appeared.
struct RowRates {
    double m_dSend = 0;
    double m_dRcv = 0;
    double m_dPeak = 0;
};

// The consumer's copy of the rows (the window's model, the command-line front end), kept up to date by
// applying the table's batches, with the rates of every row. Row 0 is the newest entry; a row's serial is
// its place in creation order (row r is serial RowCount() - 1 - r). Owned by one thread, so reading it
// needs no lock and every read of it is one consistent snapshot.
//
// Rates come from the packet timestamps, at each apply: the bytes a row gained since the previous apply
// count at the second of its last packet, and a row's rate is what it gained in the whole seconds of the
// rate window before the current second, divided by the window's length. Seconds are kept for the longest
// window, so switching windows shows the new average at once.
class CRowStore {
public:
    static constexpr int kLongestRateWindow = 40;
    static constexpr std::int64_t kUnknownTime = std::numeric_limits<std::int64_t>::min();

    CRowStore() = default;
    CRowStore(const CRowStore&) = delete;
    CRowStore& operator=(const CRowStore&) = delete;

    // Applies a batch with the capture's clock at `now` (seconds since the epoch; it never goes back);
    // kUnknownTime puts the clock at the latest packet seen, for a capture file or a test.
    void Apply(const TrafficBatch& batch, std::int64_t now = kUnknownTime);
    // Moves the rate window on to `now` without a batch (a capture that went quiet).
    void AdvanceClock(std::int64_t now) { Apply(TrafficBatch{}, now); }
    void Clear();

    // The rate window's length in seconds, 1 to kLongestRateWindow (2 unless set).
    void SetRateWindow(int seconds);
    [[nodiscard]] int RateWindow() const { return m_nWindow; }

    [[nodiscard]] std::size_t RowCount() const { return m_rows.size(); }
    [[nodiscard]] CTrafficEntry Row(std::size_t row) const { return Entry(SerialOf(row)); }
    [[nodiscard]] std::string CellText(std::size_t row, int column) const;
    [[nodiscard]] RowRates Rates(std::size_t row) const { return RatesOf(SerialOf(row)); }

    // The same by serial.
    [[nodiscard]] CTrafficEntry Entry(std::size_t serial) const;
    // A row's source and destination alone, cheaper than its entry (for scans over every row).
    [[nodiscard]] std::pair<IpAddress, IpAddress> AddressesOf(std::size_t serial) const;
    [[nodiscard]] RowRates RatesOf(std::size_t serial) const;
    // Bytes sent and received in the rate window (the rates times the window's length), exact.
    [[nodiscard]] std::uint64_t WindowSend(std::size_t serial) const { return m_rows[serial].m_nWindowSend; }
    [[nodiscard]] std::uint64_t WindowRcv(std::size_t serial) const { return m_rows[serial].m_nWindowRcv; }
    // The apply that last brought the row new traffic (it appeared or its counters grew), counted from 1.
    [[nodiscard]] std::uint32_t ChangedAt(std::size_t serial) const { return m_rows[serial].m_nChangedAt; }
    [[nodiscard]] std::size_t SerialOf(std::size_t row) const { return m_rows.size() - 1 - row; }
    // A number that orders the rows by a column of the list (ListColumnCount columns) as its values do,
    // smallest first. IPv6 addresses are ordered by their first 62 bits here; AddressLess decides the rest.
    [[nodiscard]] std::uint64_t SortValue(std::size_t serial, int column) const;
    [[nodiscard]] bool AddressLess(std::size_t a, std::size_t b, bool source) const;

    // What the last apply did: its number, the rows it added (the highest serials), and every row whose
    // counters or rates it changed, new rows included (a serial may be listed more than once).
    [[nodiscard]] std::uint32_t ApplyCount() const { return m_nApplies; }
    [[nodiscard]] std::size_t NewRowCount() const { return m_nNewRows; }
    [[nodiscard]] bool WasReset() const { return m_bWasReset; }
    [[nodiscard]] std::span<const std::uint32_t> Touched() const { return m_touched; }

    // The capture's clock at the last apply (kUnknownTime before the first).
    [[nodiscard]] std::int64_t Now() const { return m_tNow; }
    // Every row together: bytes since the first apply (or the last reset), and the current rates.
    [[nodiscard]] std::uint64_t TotalSend() const { return m_nTotalSend; }
    [[nodiscard]] std::uint64_t TotalRcv() const { return m_nTotalRcv; }
    [[nodiscard]] RowRates TotalRates() const;

private:
    // One row in 80 bytes: with a million rows the window's copy is as large as the table itself.
    struct StoredRow {
        Ipv4Address m_dwSrc = 0; // an IPv6 row's index in m_v6
        Ipv4Address m_dwDest = 0;
        std::uint8_t m_nProto = 0;
        IpFamily m_family = IpFamily::Ipv4;
        std::uint32_t m_nChangedAt = 0; // 0 until the row is stored
        std::uint64_t m_nSendData = 0;
        std::uint64_t m_nRcvData = 0;
        std::uint64_t m_nSendPackets = 0;
        std::uint64_t m_nRcvPackets = 0;
        std::int64_t m_tLastUpdate = 0;
        std::uint64_t m_nWindowSend = 0;
        std::uint64_t m_nWindowRcv = 0;
        double m_dPeak = 0;
    };
    static_assert(sizeof(StoredRow) == 80);
    // Bytes a row gained, counted at one second. 32-bit amounts keep a minute of history for a million busy
    // rows small; a larger gain is split over several records.
    struct RateRecord {
        std::uint32_t m_nSerial = 0;
        std::uint32_t m_nSend = 0;
        std::uint32_t m_nRcv = 0;
    };
    struct Second {
        std::int64_t m_tSecond = 0;
        std::vector<RateRecord> m_records;
    };

    void Store(std::size_t serial, const CTrafficEntry& entry);
    void Count(std::size_t serial, std::uint64_t send, std::uint64_t rcv, std::int64_t second,
               std::int64_t gap);
    // Adds (sign +1) or takes away (-1) one second's records in the window sums.
    void Weigh(const Second& second, int sign);
    void MoveWindow(std::int64_t from, std::int64_t to);
    [[nodiscard]] bool InWindow(std::int64_t second) const {
        return second >= m_tNow - m_nWindow && second < m_tNow;
    }

    ChunkedVector<StoredRow> m_rows; // creation order: row r is element size - 1 - r
    ChunkedVector<Ipv6Pair> m_v6;    // the addresses of the IPv6 rows
    std::deque<Second> m_history;    // ascending, the last kLongestRateWindow seconds up to now
    int m_nWindow = 2;
    std::int64_t m_tNow = kUnknownTime; // the current second: still filling, so left out of every window
    std::uint64_t m_nWindowSend = 0;
    std::uint64_t m_nWindowRcv = 0;
    std::uint64_t m_nTotalSend = 0;
    std::uint64_t m_nTotalRcv = 0;
    std::uint32_t m_nApplies = 0;
    std::size_t m_nNewRows = 0;
    bool m_bWasReset = false;
    std::vector<std::uint32_t> m_touched;
};

} // namespace flowsentry
