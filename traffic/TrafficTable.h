// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/ChunkedVector.h"
#include "traffic/LargeAlloc.h"
#include "traffic/TrafficEntry.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace flowsentry {

struct RowChange {
    std::size_t m_nRow = 0;
    CTrafficEntry m_entry;
    // The second of the entry's first packet since the previous pull: where a flow that starts with this
    // change starts.
    std::int64_t m_tFirstChange = 0;
};

// Everything that changed in the table since the previous pull. Rows are numbered from the top after the
// batch has been applied: the new rows take rows 0 to m_newRows.size() - 1.
// The capture's clock as the fold has seen it: the first and the last datagram folded since the table was
// made or cleared (seconds since the epoch, 0 before any).
struct PacketTimes {
    std::int64_t m_tFirst = 0;
    std::int64_t m_tLast = 0;
};

struct TrafficBatch {
    // The table was cleared since the previous pull: every row held by the consumer is gone.
    bool m_bReset = false;
    // New entries, top to bottom (newest first), with their current values.
    std::vector<CTrafficEntry> m_newRows;
    // The second of each new row's first packet, in the same order.
    std::vector<std::int64_t> m_newRowStarts;
    // Rows that existed before this batch and have changed, by ascending row index.
    std::vector<RowChange> m_changedRows;
    // The number of rows once the batch is applied.
    std::size_t m_nRowCount = 0;

    [[nodiscard]] bool empty() const { return !m_bReset && m_newRows.empty() && m_changedRows.empty(); }
};

// The running account of the capture: one entry per family, address pair and protocol. Filled from the
// capture thread, read by pulling batches from another thread. Rows only ever appear at the top, so an
// entry's row is derived from its creation number (its serial) and never has to be searched for.
//
// Each family has a store and an index of its own, so that IPv4 entries keep their size (one cache line)
// and the IPv4 fold pays nothing for IPv6; the serials count the entries of both stores together.
//
// The table is bounded: a promiscuous capture of a host sending from random addresses would otherwise add
// an entry per datagram for as long as it runs. Once it holds MaxEntries() entries, a datagram of a key it
// does not hold is counted in the overflow row of its IP protocol (family IpFamily::Other, no addresses,
// shared by both families), so that the totals of all rows stay exact. Overflow rows are rows like any
// other (serials, new and changed in pulls) but do not count against the maximum.
class CTrafficTable {
public:
    // Under 200 MB of entries and index (87 bytes an IPv4 entry): more rows than anyone reads, and a bound
    // any desktop can hold.
    static constexpr std::size_t kDefaultMaxEntries = 2'000'000;

    CTrafficTable();
    CTrafficTable(const CTrafficTable&) = delete;
    CTrafficTable& operator=(const CTrafficTable&) = delete;
    ~CTrafficTable();

    // Folds one sample (a single datagram counted on the send side) into the table, oriented towards the
    // local address when one is given. Returns 1 when the sample created a new entry, 0 otherwise.
    int AddSample(const CTrafficEntry& sample, std::optional<IpAddress> local);
    // The same for several samples under one lock. A sample the table cannot take (out of memory) is
    // dropped alone; returns how many were dropped.
    std::size_t AddSamples(std::span<const CTrafficEntry> samples, std::optional<IpAddress> local);
    // The same for datagrams in their compact form: each counts as m_nPackets packets of m_nBytes in all.
    // An IPv6 sample's addresses are the pair its m_dwSrcAddress indexes in `v6`; one whose index is out of
    // range is dropped.
    std::size_t AddSamples(std::span<const PacketSample> samples, std::optional<IpAddress> local,
                           std::span<const Ipv6Pair> v6 = {});
    std::size_t AddSamples(const SampleBuffer& samples, std::optional<IpAddress> local);

    // Hands over the changes since the previous pull and starts recording afresh.
    TrafficBatch PullChanges();
    // Readable at any time without waiting for the fold, so that a reader can choose not to pull.
    [[nodiscard]] PacketTimes Times() const;

    // Forgets every entry and overflow row, so that counting starts again from zero; the next pull reports
    // a reset. The maximum stays.
    void Clear();

    // The most entries (overflow rows aside) the table holds; may be changed at any time, also while a
    // capture folds. A maximum below the present count removes nothing: only new keys overflow.
    void SetMaxEntries(std::size_t maxEntries);
    [[nodiscard]] std::size_t MaxEntries() const;
    // Datagrams counted in overflow rows since the last Clear.
    [[nodiscard]] std::uint64_t OverflowDatagrams() const;

    // Rows: the entries of both families and the overflow rows.
    [[nodiscard]] std::size_t EntryCount() const;
    // The entry of an address pair (in either order) and protocol, if there is one.
    [[nodiscard]] std::optional<CTrafficEntry> Find(Ipv4Address a, Ipv4Address b, std::uint8_t proto) const;
    [[nodiscard]] std::optional<CTrafficEntry> Find(const Ipv6Address& a, const Ipv6Address& b,
                                                    std::uint8_t proto) const;
    // The overflow row of a protocol, if it has been used.
    [[nodiscard]] std::optional<CTrafficEntry> FindOverflow(std::uint8_t proto) const;
    // Every entry in creation order (oldest first).
    [[nodiscard]] std::vector<CTrafficEntry> Snapshot() const;
    // Bytes held by the table's own structures, for memory figures.
    [[nodiscard]] std::size_t MemoryBytes() const;

private:
    struct Slot {
        std::uint32_t m_nIndexPlusOne; // 0 marks an empty slot
        std::uint32_t m_nHash;
    };
    // The counters of an entry, in the names of CTrafficEntry.
    struct Counts {
        std::uint64_t m_nSendData = 0;
        std::uint64_t m_nRcvData = 0;
        std::uint64_t m_nSendPackets = 0;
        std::uint64_t m_nRcvPackets = 0;
        std::int64_t m_tLastUpdate = 0;
    };
    // One IPv4 entry per cache line: a lookup then costs one memory access, not two. The serial fills what
    // would be padding.
    struct alignas(64) StoredEntry {
        Ipv4Address m_dwSrcAddress = 0;
        Ipv4Address m_dwDestAddress = 0;
        std::uint32_t m_dwEntryId = 0;
        std::uint8_t m_nProto = 0;
        // The pull whose list of changes holds it: kept in the entry, whose line the fold has in cache
        // anyway, and never cleared, so that a pull writes to no entry.
        std::uint16_t m_nChangeMark = 0;
        std::uint32_t m_nSerial = 0;
        // The second of its first datagram since the previous pull, as its low 32 bits (a flow never
        // lasts 68 years, so the last update gives the rest); set where the entry is listed as changed.
        std::uint32_t m_nChangeStart = 0;
        Counts m_counts;
    };
    static_assert(sizeof(StoredEntry) == 64);
    struct StoredEntry6 {
        Ipv6Address m_src6{};
        Ipv6Address m_dest6{};
        std::uint32_t m_dwEntryId = 0;
        std::uint32_t m_nSerial = 0;
        std::uint8_t m_nProto = 0;
        std::uint16_t m_nChangeMark = 0;
        std::uint32_t m_nChangeStart = 0; // as in StoredEntry; fills what was padding
        Counts m_counts;
    };
    static_assert(sizeof(StoredEntry6) == 88);
    // At most one per protocol, so few that a pull looks at each of them rather than keeping a list.
    struct OverflowRow {
        std::uint32_t m_nSerial = 0;
        std::uint8_t m_nProto = 0;
        bool m_bChanged = false; // since the last pull; only for rows already pulled
        std::int64_t m_tChangeStart = 0;
        Counts m_counts;
    };
    // A changed entry in m_changed: its index in its family's store, IPv6 ones marked by the top bit.
    static constexpr std::uint32_t kIpv6Change = 0x80000000U;

    // A new entry's counters: the sample's, sent and received swapped when the entry is turned round to
    // start at the local address.
    static Counts NewCounts(const CTrafficEntry& sample, bool turned);
    int AddLocked(const CTrafficEntry& sample, std::optional<IpAddress> local);
    int AddLocked6(const CTrafficEntry& sample, std::optional<IpAddress> local);
    // Counts a sample whose key the table does not hold, once it is full; returns 1 when that made the row.
    int AddOverflow(const CTrafficEntry& sample, std::optional<IpAddress> local);
    // A batch's sample whose key the table does not hold: a new entry or, once full, the overflow row.
    int AddNew(const CTrafficEntry& sample, std::optional<IpAddress> local);
    // kMixed: the batch may hold IPv6 samples; without, the IPv4 pipeline runs with no look at the family.
    template <bool kMixed, class Sample>
    std::size_t FoldBatch(std::span<const Sample> samples, std::optional<IpAddress> local,
                          std::span<const Ipv6Pair> v6);
    // Adds a sample to its existing entry, found with the key's hash; false when there is none yet.
    template <class Sample> bool FoldKnown(const Sample& sample, std::uint32_t hash);
    bool FoldKnown6(const Ipv6Address& src, const Ipv6Address& dest, std::uint8_t proto, std::uint64_t bytes,
                    std::uint64_t packets, std::int64_t time, std::uint32_t hash);
    // Lists a pulled entry as changed, once until the next pull.
    void NoteChanged(StoredEntry& entry, std::size_t index) {
        if (index < m_nPulled && entry.m_nChangeMark != m_nChangeMark) {
            entry.m_nChangeMark = m_nChangeMark;
            entry.m_nChangeStart = static_cast<std::uint32_t>(entry.m_counts.m_tLastUpdate);
            m_changed.push_back(static_cast<std::uint32_t>(index));
        }
    }
    void NoteChanged6(StoredEntry6& entry, std::size_t index) {
        if (index < m_nPulled6 && entry.m_nChangeMark != m_nChangeMark) {
            entry.m_nChangeMark = m_nChangeMark;
            entry.m_nChangeStart = static_cast<std::uint32_t>(entry.m_counts.m_tLastUpdate);
            m_changed.push_back(static_cast<std::uint32_t>(index) | kIpv6Change);
        }
    }
    // Stores a new entry of either family at the free slot found for it (found again when the index grows),
    // with its change flag.
    template <class Entry, class FindAgain>
    void Append(ChunkedVector<Entry>& entries, LargeArray<Slot>& slots, const Entry& entry,
                std::uint32_t hash, std::size_t slotIndex, FindAgain findAgain);
    // The fold's clock: the first datagram's time once, the last one's always.
    void NoteTimes(std::int64_t first, std::int64_t last);
    // Moves on to the mark of the next pull's changes.
    void NextChangeMark();
    // Room in the change list for one more entry; may throw.
    void ReserveChangeRoom();
    [[nodiscard]] std::size_t FindSlot(Ipv4Address a, Ipv4Address b, std::uint8_t proto,
                                       std::uint32_t hash) const;
    [[nodiscard]] std::size_t FindSlot6(const Ipv6Address& a, const Ipv6Address& b, std::uint8_t proto,
                                        std::uint32_t hash) const;
    static void GrowIndex(LargeArray<Slot>& slots);
    // Entries, which the maximum bounds.
    [[nodiscard]] std::size_t Stored() const { return m_entries.size() + m_entries6.size(); }
    // Rows: entries and overflow rows, which share the serials.
    [[nodiscard]] std::size_t Count() const { return Stored() + m_overflow.size(); }
    static void CopyCounts(const Counts& counts, CTrafficEntry& entry);
    static CTrafficEntry ToEntry(const StoredEntry& stored);
    static CTrafficEntry ToEntry(const StoredEntry6& stored);
    static CTrafficEntry ToEntry(const OverflowRow& row);
    // The second of the first datagram since the previous pull (of the first, for one not pulled yet).
    static std::int64_t ChangeStart(const StoredEntry& stored);
    static std::int64_t ChangeStart(const StoredEntry6& stored);
    static std::int64_t ChangeStart(const OverflowRow& row);

    mutable std::mutex m_mutex;
    ChunkedVector<StoredEntry> m_entries;             // IPv4 entries in creation order
    LargeArray<Slot> m_slots;                         // open-addressing index over m_entries
    ChunkedVector<StoredEntry6> m_entries6;           // IPv6 entries in creation order
    LargeArray<Slot> m_slots6;                        // open-addressing index over m_entries6
    std::vector<std::uint32_t> m_changed;             // pulled entries changed since the last pull
    std::uint16_t m_nChangeMark = 1;                  // marks the entries listed in m_changed; never 0
    std::vector<std::uint64_t> m_changeBits;          // a pull's changes by IPv4 entry, when it walks them
    std::vector<std::uint64_t> m_changeBits6;         // the same for IPv6
    std::size_t m_nPulled = 0;                        // IPv4 entries already handed out as rows
    std::size_t m_nPulled6 = 0;                       // IPv6 entries already handed out as rows
    std::vector<OverflowRow> m_overflow;              // overflow rows in creation order
    std::array<std::uint16_t, 256> m_overflowIndex{}; // per protocol: index in m_overflow + 1, 0 for none
    std::size_t m_nPulledOverflow = 0;                // overflow rows already handed out
    std::uint64_t m_nOverflowDatagrams = 0;
    std::size_t m_nMaxEntries = kDefaultMaxEntries;
    bool m_bResetPending = false;
    // Written by the fold once per batch; see Times().
    std::atomic<std::int64_t> m_tFirstPacket{0};
    std::atomic<std::int64_t> m_tLastPacket{0};
};

} // namespace flowsentry
