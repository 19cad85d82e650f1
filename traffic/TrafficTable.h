// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/ChunkedVector.h"
#include "traffic/LargeAlloc.h"
#include "traffic/TrafficEntry.h"

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
};

// Everything that changed in the table since the previous pull. Rows are numbered from the top after the
// batch has been applied: the new rows take rows 0 to m_newRows.size() - 1.
struct TrafficBatch {
    // The table was cleared since the previous pull: every row held by the consumer is gone.
    bool m_bReset = false;
    // New entries, top to bottom (newest first), with their current values.
    std::vector<CTrafficEntry> m_newRows;
    // Rows that existed before this batch and have changed, by ascending row index.
    std::vector<RowChange> m_changedRows;
    // The number of rows once the batch is applied.
    std::size_t m_nRowCount = 0;

    [[nodiscard]] bool empty() const { return !m_bReset && m_newRows.empty() && m_changedRows.empty(); }
};

// The running account of the capture: one entry per address pair and protocol. Filled from the capture
// thread, read by pulling batches from another thread. Rows only ever appear at the top, so an entry's
// row is derived from its creation number and never has to be searched for.
class CTrafficTable {
public:
    CTrafficTable();
    CTrafficTable(const CTrafficTable&) = delete;
    CTrafficTable& operator=(const CTrafficTable&) = delete;
    ~CTrafficTable();

    // Folds one sample (a single datagram counted on the send side) into the table, oriented towards the
    // local address when one is given. Returns 1 when the sample created a new entry, 0 otherwise.
    int AddSample(const CTrafficEntry& sample, std::optional<Ipv4Address> local);
    // The same for several samples under one lock. A sample the table cannot take (out of memory) is
    // dropped alone; returns how many were dropped.
    std::size_t AddSamples(std::span<const CTrafficEntry> samples, std::optional<Ipv4Address> local);
    // The same for datagrams in their compact form: each counts as m_nPackets packets of m_nBytes in all.
    std::size_t AddSamples(std::span<const PacketSample> samples, std::optional<Ipv4Address> local);

    // Hands over the changes since the previous pull and starts recording afresh.
    TrafficBatch PullChanges();

    // Forgets every entry, so that counting starts again from zero; the next pull reports a reset.
    void Clear();

    [[nodiscard]] std::size_t EntryCount() const;
    // The entry of an address pair (in either order) and protocol, if there is one.
    [[nodiscard]] std::optional<CTrafficEntry> Find(Ipv4Address a, Ipv4Address b, std::uint8_t proto) const;
    // Every entry in creation order (oldest first).
    [[nodiscard]] std::vector<CTrafficEntry> Snapshot() const;
    // Bytes held by the table's own structures, for memory figures.
    [[nodiscard]] std::size_t MemoryBytes() const;

private:
    struct Slot {
        std::uint32_t m_nIndexPlusOne; // 0 marks an empty slot
        std::uint32_t m_nHash;
    };
    // One entry per cache line: a lookup then costs one memory access, not two.
    struct alignas(64) StoredEntry {
        CTrafficEntry m_entry;
    };

    int AddLocked(const CTrafficEntry& sample, std::optional<Ipv4Address> local);
    template <class Sample>
    std::size_t FoldBatch(std::span<const Sample> samples, std::optional<Ipv4Address> local);
    // Adds a sample to its existing entry, found with the key's hash; false when there is none yet.
    template <class Sample> bool FoldKnown(const Sample& sample, std::uint32_t hash);
    // Lists a pulled entry as changed, once until the next pull.
    void NoteChanged(std::size_t index) {
        if (index < m_nPulled && m_changedFlags[index] == 0) {
            m_changedFlags[index] = 1;
            m_changed.push_back(static_cast<std::uint32_t>(index));
        }
    }
    [[nodiscard]] std::size_t FindSlot(Ipv4Address a, Ipv4Address b, std::uint8_t proto,
                                       std::uint32_t hash) const;
    void GrowIndex();

    mutable std::mutex m_mutex;
    ChunkedVector<StoredEntry> m_entries;     // creation order; the index is the entry's serial
    LargeArray<Slot> m_slots;                 // open-addressing index over m_entries
    std::vector<std::uint8_t> m_changedFlags; // per entry: already listed in m_changed
    std::vector<std::uint32_t> m_changed;     // pulled entries changed since the last pull
    std::size_t m_nPulled = 0;                // entries already handed out as rows
    bool m_bResetPending = false;
};

} // namespace flowsentry
