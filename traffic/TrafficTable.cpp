// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/TrafficTable.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

namespace flowsentry {
namespace {

constexpr std::size_t kInitialSlots = 1024;           // power of two
constexpr std::size_t kScanInsteadOfSortDivisor = 16; // a scan of n flags ~ sorting n/16 changes
// Samples between fetching a slot and using it: enough to cover a miss while the samples in between are
// folded (measured best of 4, 8 and 12 with 10,000 and 100,000 entries).
constexpr std::size_t kPrefetchDistance = 8;
// Hashes kept from the first step to the last: the first step of sample i + 2 * kPrefetchDistance writes
// before the last step of sample i reads, so the ring must be longer than that.
constexpr std::size_t kHashRing = 32;
static_assert(kHashRing > 2 * kPrefetchDistance && (kHashRing & (kHashRing - 1)) == 0);

// The same value for both directions of a pair, so that A->B and B->A find one entry.
std::uint32_t KeyHash(Ipv4Address a, Ipv4Address b, std::uint8_t proto) {
    const auto [lo, hi] = std::minmax(a, b);
    std::uint64_t x = (std::uint64_t{lo} << 32U) | hi;
    x ^= std::uint64_t{proto} * 0x9E3779B97F4A7C15ULL;
    // Murmur3's finaliser: every input bit reaches the low bits that pick the slot.
    x ^= x >> 33U;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33U;
    x *= 0xC4CEB9FE1A85EC53ULL;
    x ^= x >> 33U;
    return static_cast<std::uint32_t>(x);
}

// What a fold reads of a sample, in either form.
std::uint64_t SentBytes(const CTrafficEntry& s) {
    return s.m_nSendData;
}
std::uint64_t SentBytes(const PacketSample& s) {
    return s.m_nBytes;
}
std::uint64_t SentPackets(const CTrafficEntry& s) {
    return s.m_nSendPackets;
}
std::uint64_t SentPackets(const PacketSample& s) {
    return s.m_nPackets;
}
std::int64_t Time(const CTrafficEntry& s) {
    return s.m_tLastUpdate;
}
std::int64_t Time(const PacketSample& s) {
    return s.m_tTime;
}
const CTrafficEntry& AsEntry(const CTrafficEntry& s) {
    return s;
}
CTrafficEntry AsEntry(const PacketSample& s) {
    CTrafficEntry entry;
    entry.m_dwSrcAddress = s.m_dwSrcAddress;
    entry.m_dwDestAddress = s.m_dwDestAddress;
    entry.m_nProto = s.m_nProto;
    entry.m_nSendData = s.m_nBytes;
    entry.m_nSendPackets = s.m_nPackets;
    entry.m_tLastUpdate = s.m_tTime;
    return entry;
}

bool SamePair(const CTrafficEntry& e, Ipv4Address a, Ipv4Address b, std::uint8_t proto) {
    return e.m_nProto == proto && ((e.m_dwSrcAddress == a && e.m_dwDestAddress == b) ||
                                   (e.m_dwSrcAddress == b && e.m_dwDestAddress == a));
}

} // namespace

CTrafficTable::CTrafficTable() : m_slots(kInitialSlots) {}

CTrafficTable::~CTrafficTable() = default;

std::size_t CTrafficTable::FindSlot(Ipv4Address a, Ipv4Address b, std::uint8_t proto,
                                    std::uint32_t hash) const {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.m_nIndexPlusOne == 0 ||
            (slot.m_nHash == hash && SamePair(m_entries[slot.m_nIndexPlusOne - 1].m_entry, a, b, proto))) {
            return i;
        }
    }
}

void CTrafficTable::GrowIndex() {
    LargeArray<Slot> grown(m_slots.size() * 2);
    const std::size_t mask = grown.size() - 1;
    for (const Slot& slot : m_slots) {
        if (slot.m_nIndexPlusOne == 0) {
            continue;
        }
        std::size_t i = slot.m_nHash & mask;
        while (grown[i].m_nIndexPlusOne != 0) {
            i = (i + 1) & mask;
        }
        grown[i] = slot;
    }
    m_slots = std::move(grown);
}

int CTrafficTable::AddLocked(const CTrafficEntry& sample, std::optional<Ipv4Address> local) {
    const Ipv4Address src = sample.m_dwSrcAddress;
    const Ipv4Address dest = sample.m_dwDestAddress;
    const std::uint8_t proto = sample.m_nProto;
    const std::uint32_t hash = KeyHash(src, dest, proto);
    std::size_t slotIndex = FindSlot(src, dest, proto, hash);
    Slot& slot = m_slots[slotIndex];

    if (slot.m_nIndexPlusOne != 0) {
        const std::size_t index = slot.m_nIndexPlusOne - 1;
        CTrafficEntry& entry = m_entries[index].m_entry;
        // The same-direction test comes first, which matters only for traffic from an address to itself.
        if (entry.m_dwSrcAddress == src && entry.m_dwDestAddress == dest) {
            entry.m_nSendData += sample.m_nSendData;
            entry.m_nSendPackets += sample.m_nSendPackets;
        } else {
            entry.m_nRcvData += sample.m_nSendData;
            entry.m_nRcvPackets += sample.m_nSendPackets;
        }
        entry.m_tLastUpdate = sample.m_tLastUpdate;
        NoteChanged(index);
        return 0;
    }

    // Everything that can throw happens before the table is changed, so a failed allocation drops
    // only this sample.
    if ((m_entries.size() + 1) * 10 > m_slots.size() * 7) {
        GrowIndex();
        slotIndex = FindSlot(src, dest, proto, hash);
    }
    m_entries.reserve_one();
    // Geometric growth by hand: reserve() alone would reallocate on every new entry. m_changed gets room
    // for every entry so that recording a change never allocates.
    if (m_changedFlags.capacity() == m_changedFlags.size()) {
        m_changedFlags.reserve(std::max<std::size_t>(1024, 2 * m_changedFlags.capacity()));
    }
    if (m_changed.capacity() < m_changedFlags.capacity()) {
        m_changed.reserve(m_changedFlags.capacity());
    }

    CTrafficEntry entry = sample;
    if (local && dest == *local) {
        std::swap(entry.m_dwSrcAddress, entry.m_dwDestAddress);
        entry.m_nRcvData = sample.m_nSendData;
        entry.m_nRcvPackets = sample.m_nSendPackets;
        entry.m_nSendData = 0;
        entry.m_nSendPackets = 0;
    }
    entry.MakeEntryId(entry.m_dwSrcAddress, entry.m_dwDestAddress, proto);

    m_slots[slotIndex] = Slot{static_cast<std::uint32_t>(m_entries.size() + 1), hash};
    m_entries.push_back(StoredEntry{entry});
    m_changedFlags.push_back(0);
    return 1;
}

// Inlined into the batch loop, which runs it for every packet.
template <class Sample>
[[gnu::always_inline]] inline bool CTrafficTable::FoldKnown(const Sample& sample, std::uint32_t hash) {
    const Ipv4Address src = sample.m_dwSrcAddress;
    const Ipv4Address dest = sample.m_dwDestAddress;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot slot = m_slots[i];
        if (slot.m_nIndexPlusOne == 0) {
            return false;
        }
        if (slot.m_nHash != hash) {
            continue;
        }
        const std::size_t index = slot.m_nIndexPlusOne - 1;
        CTrafficEntry& entry = m_entries[index].m_entry;
        // The same-direction test comes first, which matters only for traffic from an address to itself.
        // Both directions are equally likely, so the counters are chosen without a branch.
        const bool sent = entry.m_dwSrcAddress == src && entry.m_dwDestAddress == dest;
        const bool received = entry.m_dwSrcAddress == dest && entry.m_dwDestAddress == src;
        if (entry.m_nProto != sample.m_nProto || !(sent || received)) {
            continue;
        }
        const std::uint64_t bytes = SentBytes(sample);
        const std::uint64_t packets = SentPackets(sample);
        const std::uint64_t sentBytes = sent ? bytes : 0;
        const std::uint64_t sentPackets = sent ? packets : 0;
        entry.m_nSendData += sentBytes;
        entry.m_nRcvData += bytes - sentBytes;
        entry.m_nSendPackets += sentPackets;
        entry.m_nRcvPackets += packets - sentPackets;
        entry.m_tLastUpdate = Time(sample);
        NoteChanged(index);
        return true;
    }
}

int CTrafficTable::AddSample(const CTrafficEntry& sample, std::optional<Ipv4Address> local) {
    const std::lock_guard lock(m_mutex);
    return AddLocked(sample, local);
}

template <class Sample>
std::size_t CTrafficTable::FoldBatch(std::span<const Sample> samples, std::optional<Ipv4Address> local) {
    // With many entries a fold is bound by two dependent cache misses: the index slot, then the entry it
    // names. A batch knows its keys in advance, so the work runs as a pipeline: the slot of sample
    // i + 2 * kPrefetchDistance is fetched while the entry of sample i + kPrefetchDistance (whose slot has
    // arrived) is fetched and sample i (whose entry has arrived) is folded. The misses of many samples
    // overlap instead of adding up. The fetches are only hints; every fold looks its key up again, so an
    // index that grows in between costs a miss, never a wrong count. Each key is hashed once, for all
    // three steps.
    const std::lock_guard lock(m_mutex);
    const std::size_t n = samples.size();
    std::array<std::uint32_t, kHashRing> hashes; // of the samples between the first and the last step
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < n + 2 * kPrefetchDistance; ++i) {
        const std::size_t mask = m_slots.size() - 1; // a fold may have grown the index
        if (i < n) {
            const Sample& s = samples[i];
            const std::uint32_t hash = KeyHash(s.m_dwSrcAddress, s.m_dwDestAddress, s.m_nProto);
            hashes[i & (kHashRing - 1)] = hash;
            __builtin_prefetch(&m_slots[hash & mask]);
        }
        if (i >= kPrefetchDistance && i - kPrefetchDistance < n) {
            const Slot slot = m_slots[hashes[(i - kPrefetchDistance) & (kHashRing - 1)] & mask];
            if (slot.m_nIndexPlusOne != 0) {
                __builtin_prefetch(&m_entries[slot.m_nIndexPlusOne - 1], 1);
            }
        }
        if (i >= 2 * kPrefetchDistance) {
            const std::size_t k = i - 2 * kPrefetchDistance;
            if (!FoldKnown(samples[k], hashes[k & (kHashRing - 1)])) {
                try {
                    AddLocked(AsEntry(samples[k]), local);
                } catch (const std::bad_alloc&) {
                    ++dropped;
                }
            }
        }
    }
    return dropped;
}

std::size_t CTrafficTable::AddSamples(std::span<const CTrafficEntry> samples,
                                      std::optional<Ipv4Address> local) {
    return FoldBatch(samples, local);
}

std::size_t CTrafficTable::AddSamples(std::span<const PacketSample> samples,
                                      std::optional<Ipv4Address> local) {
    return FoldBatch(samples, local);
}

TrafficBatch CTrafficTable::PullChanges() {
    TrafficBatch batch;
    bool sorted = false;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t count = m_entries.size();
        batch.m_bReset = std::exchange(m_bResetPending, false);
        batch.m_nRowCount = count;
        batch.m_newRows.reserve(count - m_nPulled);
        for (std::size_t serial = count; serial > m_nPulled; --serial) {
            batch.m_newRows.push_back(m_entries[serial - 1].m_entry);
        }
        batch.m_changedRows.reserve(m_changed.size());
        // When a good part of the rows changed, walking the flags in row order (newest entry first) costs
        // less than sorting the list of changes afterwards.
        sorted = m_changed.size() > m_nPulled / kScanInsteadOfSortDivisor;
        if (sorted) {
            for (std::size_t index = m_nPulled; index-- > 0;) {
                if (m_changedFlags[index] != 0) {
                    m_changedFlags[index] = 0;
                    batch.m_changedRows.push_back(RowChange{count - 1 - index, m_entries[index].m_entry});
                }
            }
        } else {
            for (const std::uint32_t index : m_changed) {
                m_changedFlags[index] = 0;
                batch.m_changedRows.push_back(RowChange{count - 1 - index, m_entries[index].m_entry});
            }
        }
        m_changed.clear();
        m_nPulled = count;
    }
    if (!sorted) {
        std::sort(batch.m_changedRows.begin(), batch.m_changedRows.end(),
                  [](const RowChange& a, const RowChange& b) { return a.m_nRow < b.m_nRow; });
    }
    return batch;
}

void CTrafficTable::Clear() {
    const std::lock_guard lock(m_mutex);
    m_entries.clear();
    m_slots = LargeArray<Slot>(kInitialSlots);
    std::vector<std::uint8_t>().swap(m_changedFlags);
    std::vector<std::uint32_t>().swap(m_changed);
    m_nPulled = 0;
    m_bResetPending = true;
}

std::size_t CTrafficTable::EntryCount() const {
    const std::lock_guard lock(m_mutex);
    return m_entries.size();
}

std::optional<CTrafficEntry> CTrafficTable::Find(Ipv4Address a, Ipv4Address b, std::uint8_t proto) const {
    const std::lock_guard lock(m_mutex);
    const Slot& slot = m_slots[FindSlot(a, b, proto, KeyHash(a, b, proto))];
    if (slot.m_nIndexPlusOne == 0) {
        return std::nullopt;
    }
    return m_entries[slot.m_nIndexPlusOne - 1].m_entry;
}

std::vector<CTrafficEntry> CTrafficTable::Snapshot() const {
    const std::lock_guard lock(m_mutex);
    std::vector<CTrafficEntry> entries;
    entries.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        entries.push_back(m_entries[i].m_entry);
    }
    return entries;
}

std::size_t CTrafficTable::MemoryBytes() const {
    const std::lock_guard lock(m_mutex);
    return sizeof(*this) + m_entries.allocated_bytes() + m_slots.size() * sizeof(Slot) +
           m_changedFlags.capacity() + m_changed.capacity() * sizeof(std::uint32_t);
}

} // namespace flowsentry
