// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/TrafficTable.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

// Symmetric in the two addresses without ordering them: the sum of their hashes.
std::uint32_t KeyHash6(const Ipv6Address& a, const Ipv6Address& b, std::uint8_t proto) {
    auto half = [](const Ipv6Address& x) {
        std::uint64_t hi = 0;
        std::uint64_t lo = 0;
        std::memcpy(&hi, x.data(), 8);
        std::memcpy(&lo, x.data() + 8, 8);
        std::uint64_t h = hi * 0x9E3779B97F4A7C15ULL ^ lo;
        h ^= h >> 33U;
        h *= 0xFF51AFD7ED558CCDULL;
        h ^= h >> 33U;
        return h;
    };
    std::uint64_t x = half(a) + half(b) + std::uint64_t{proto} * 0xC2B2AE3D27D4EB4FULL;
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
// An IPv6 sample's addresses; PacketSample's index has been checked against `v6`.
const Ipv6Address& Source6(const CTrafficEntry& s, std::span<const Ipv6Pair> /*v6*/) {
    return s.m_src6;
}
const Ipv6Address& Source6(const PacketSample& s, std::span<const Ipv6Pair> v6) {
    return v6[s.m_dwSrcAddress].m_src;
}
const Ipv6Address& Dest6(const CTrafficEntry& s, std::span<const Ipv6Pair> /*v6*/) {
    return s.m_dest6;
}
const Ipv6Address& Dest6(const PacketSample& s, std::span<const Ipv6Pair> v6) {
    return v6[s.m_dwSrcAddress].m_dest;
}
bool HasPair(const CTrafficEntry& /*s*/, std::span<const Ipv6Pair> /*v6*/) {
    return true;
}
bool HasPair(const PacketSample& s, std::span<const Ipv6Pair> v6) {
    return s.m_dwSrcAddress < v6.size();
}
const CTrafficEntry& AsEntry(const CTrafficEntry& s, std::span<const Ipv6Pair> /*v6*/) {
    return s;
}
CTrafficEntry AsEntry(const PacketSample& s, std::span<const Ipv6Pair> v6) {
    CTrafficEntry entry;
    entry.m_family = s.m_family;
    if (s.m_family == IpFamily::Ipv6) {
        entry.m_src6 = v6[s.m_dwSrcAddress].m_src;
        entry.m_dest6 = v6[s.m_dwSrcAddress].m_dest;
    } else {
        entry.m_dwSrcAddress = s.m_dwSrcAddress;
        entry.m_dwDestAddress = s.m_dwDestAddress;
    }
    entry.m_nProto = s.m_nProto;
    entry.m_nSendData = s.m_nBytes;
    entry.m_nSendPackets = s.m_nPackets;
    entry.m_tLastUpdate = s.m_tTime;
    return entry;
}

template <class Stored> bool SamePair(const Stored& e, Ipv4Address a, Ipv4Address b, std::uint8_t proto) {
    return e.m_nProto == proto && ((e.m_dwSrcAddress == a && e.m_dwDestAddress == b) ||
                                   (e.m_dwSrcAddress == b && e.m_dwDestAddress == a));
}

template <class Stored>
bool SamePair6(const Stored& e, const Ipv6Address& a, const Ipv6Address& b, std::uint8_t proto) {
    return e.m_nProto == proto && ((e.m_src6 == a && e.m_dest6 == b) || (e.m_src6 == b && e.m_dest6 == a));
}

// Adds a sample's bytes and packets to the counters of its entry, on the side its direction says.
[[gnu::always_inline]] inline void AddTo(auto& counts, bool sent, std::uint64_t bytes, std::uint64_t packets,
                                         std::int64_t time) {
    // Both directions are equally likely, so the counters are chosen without a branch.
    const std::uint64_t sentBytes = sent ? bytes : 0;
    const std::uint64_t sentPackets = sent ? packets : 0;
    counts.m_nSendData += sentBytes;
    counts.m_nRcvData += bytes - sentBytes;
    counts.m_nSendPackets += sentPackets;
    counts.m_nRcvPackets += packets - sentPackets;
    counts.m_tLastUpdate = time;
}

} // namespace

CTrafficTable::CTrafficTable() : m_slots(kInitialSlots), m_slots6(kInitialSlots) {}

CTrafficTable::~CTrafficTable() = default;

std::size_t CTrafficTable::FindSlot(Ipv4Address a, Ipv4Address b, std::uint8_t proto,
                                    std::uint32_t hash) const {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.m_nIndexPlusOne == 0 ||
            (slot.m_nHash == hash && SamePair(m_entries[slot.m_nIndexPlusOne - 1], a, b, proto))) {
            return i;
        }
    }
}

std::size_t CTrafficTable::FindSlot6(const Ipv6Address& a, const Ipv6Address& b, std::uint8_t proto,
                                     std::uint32_t hash) const {
    const std::size_t mask = m_slots6.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots6[i];
        if (slot.m_nIndexPlusOne == 0 ||
            (slot.m_nHash == hash && SamePair6(m_entries6[slot.m_nIndexPlusOne - 1], a, b, proto))) {
            return i;
        }
    }
}

void CTrafficTable::GrowIndex(LargeArray<Slot>& slots) {
    LargeArray<Slot> grown(slots.size() * 2);
    const std::size_t mask = grown.size() - 1;
    for (const Slot& slot : slots) {
        if (slot.m_nIndexPlusOne == 0) {
            continue;
        }
        std::size_t i = slot.m_nHash & mask;
        while (grown[i].m_nIndexPlusOne != 0) {
            i = (i + 1) & mask;
        }
        grown[i] = slot;
    }
    slots = std::move(grown);
}

template <class Entry, class FindAgain>
void CTrafficTable::Append(ChunkedVector<Entry>& entries, LargeArray<Slot>& slots, const Entry& entry,
                           std::uint32_t hash, std::size_t slotIndex, FindAgain findAgain) {
    // Everything that can throw happens before the table is changed, so a failed allocation drops
    // only this sample.
    if ((entries.size() + 1) * 10 > slots.size() * 7) {
        GrowIndex(slots);
        slotIndex = findAgain();
    }
    entries.reserve_one();
    ReserveChangeRoom();
    slots[slotIndex] = Slot{static_cast<std::uint32_t>(entries.size() + 1), hash};
    entries.push_back(entry);
}

void CTrafficTable::ReserveChangeRoom() {
    // m_changed has room for every entry, so that recording a change never allocates. Geometric growth by
    // hand: reserve() alone would reallocate on every new entry.
    if (m_changed.capacity() <= Stored()) {
        m_changed.reserve(std::max<std::size_t>(1024, 2 * m_changed.capacity()));
    }
}

void CTrafficTable::CopyCounts(const Counts& counts, CTrafficEntry& entry) {
    entry.m_nSendData = counts.m_nSendData;
    entry.m_nRcvData = counts.m_nRcvData;
    entry.m_nSendPackets = counts.m_nSendPackets;
    entry.m_nRcvPackets = counts.m_nRcvPackets;
    entry.m_tLastUpdate = counts.m_tLastUpdate;
}

namespace {

// A change start kept as its low 32 bits, made whole from the last update; a datagram older than the one
// before it (files are not always in order) leaves the start at the last update.
std::int64_t WholeChangeStart(std::uint32_t low, std::int64_t last) {
    const auto back = static_cast<std::int32_t>(static_cast<std::uint32_t>(last) - low);
    return back >= 0 ? last - back : last;
}

} // namespace

CTrafficEntry CTrafficTable::ToEntry(const StoredEntry& stored) {
    CTrafficEntry entry;
    entry.m_dwSrcAddress = stored.m_dwSrcAddress;
    entry.m_dwDestAddress = stored.m_dwDestAddress;
    entry.m_dwEntryId = stored.m_dwEntryId;
    entry.m_nProto = stored.m_nProto;
    CopyCounts(stored.m_counts, entry);
    return entry;
}

CTrafficEntry CTrafficTable::ToEntry(const OverflowRow& row) {
    CTrafficEntry entry;
    entry.m_family = IpFamily::Other;
    entry.m_dwEntryId = EntryId(0, 0, row.m_nProto);
    entry.m_nProto = row.m_nProto;
    CopyCounts(row.m_counts, entry);
    return entry;
}

std::int64_t CTrafficTable::ChangeStart(const StoredEntry& stored) {
    return WholeChangeStart(stored.m_nChangeStart, stored.m_counts.m_tLastUpdate);
}

std::int64_t CTrafficTable::ChangeStart(const StoredEntry6& stored) {
    return WholeChangeStart(stored.m_nChangeStart, stored.m_counts.m_tLastUpdate);
}

std::int64_t CTrafficTable::ChangeStart(const OverflowRow& row) {
    return std::min(row.m_tChangeStart, row.m_counts.m_tLastUpdate);
}

CTrafficEntry CTrafficTable::ToEntry(const StoredEntry6& stored) {
    CTrafficEntry entry;
    entry.m_family = IpFamily::Ipv6;
    entry.m_src6 = stored.m_src6;
    entry.m_dest6 = stored.m_dest6;
    entry.m_dwEntryId = stored.m_dwEntryId;
    entry.m_nProto = stored.m_nProto;
    CopyCounts(stored.m_counts, entry);
    return entry;
}

CTrafficTable::Counts CTrafficTable::NewCounts(const CTrafficEntry& sample, bool turned) {
    if (turned) {
        return {sample.m_nRcvData, sample.m_nSendData, sample.m_nRcvPackets, sample.m_nSendPackets,
                sample.m_tLastUpdate};
    }
    return {sample.m_nSendData, sample.m_nRcvData, sample.m_nSendPackets, sample.m_nRcvPackets,
            sample.m_tLastUpdate};
}

int CTrafficTable::AddLocked(const CTrafficEntry& sample, std::optional<IpAddress> local) {
    if (sample.IsIpv6()) {
        return AddLocked6(sample, local);
    }
    const Ipv4Address src = sample.m_dwSrcAddress;
    const Ipv4Address dest = sample.m_dwDestAddress;
    const std::uint8_t proto = sample.m_nProto;
    const std::uint32_t hash = KeyHash(src, dest, proto);
    std::size_t slotIndex = FindSlot(src, dest, proto, hash);
    Slot& slot = m_slots[slotIndex];

    if (slot.m_nIndexPlusOne != 0) {
        const std::size_t index = slot.m_nIndexPlusOne - 1;
        StoredEntry& entry = m_entries[index];
        // The same-direction test comes first, which matters only for traffic from an address to itself.
        AddTo(entry.m_counts, entry.m_dwSrcAddress == src && entry.m_dwDestAddress == dest,
              sample.m_nSendData, sample.m_nSendPackets, sample.m_tLastUpdate);
        NoteChanged(entry, index);
        return 0;
    }
    if (Stored() >= m_nMaxEntries) {
        return AddOverflow(sample, local);
    }

    StoredEntry entry;
    entry.m_dwSrcAddress = src;
    entry.m_dwDestAddress = dest;
    entry.m_nProto = proto;
    entry.m_nSerial = static_cast<std::uint32_t>(Count());
    entry.m_nChangeStart = static_cast<std::uint32_t>(sample.m_tLastUpdate);
    const bool turned = local && local->m_family == IpFamily::Ipv4 && dest == local->m_dwV4;
    entry.m_counts = NewCounts(sample, turned);
    if (turned) {
        std::swap(entry.m_dwSrcAddress, entry.m_dwDestAddress);
    }
    entry.m_dwEntryId = EntryId(entry.m_dwSrcAddress, entry.m_dwDestAddress, proto);
    Append(m_entries, m_slots, entry, hash, slotIndex, [&] { return FindSlot(src, dest, proto, hash); });
    return 1;
}

int CTrafficTable::AddLocked6(const CTrafficEntry& sample, std::optional<IpAddress> local) {
    const Ipv6Address& src = sample.m_src6;
    const Ipv6Address& dest = sample.m_dest6;
    const std::uint8_t proto = sample.m_nProto;
    const std::uint32_t hash = KeyHash6(src, dest, proto);
    if (FoldKnown6(src, dest, proto, sample.m_nSendData, sample.m_nSendPackets, sample.m_tLastUpdate, hash)) {
        return 0;
    }
    if (Stored() >= m_nMaxEntries) {
        return AddOverflow(sample, local);
    }
    StoredEntry6 entry;
    entry.m_src6 = src;
    entry.m_dest6 = dest;
    entry.m_nProto = proto;
    entry.m_nSerial = static_cast<std::uint32_t>(Count());
    entry.m_nChangeStart = static_cast<std::uint32_t>(sample.m_tLastUpdate);
    const bool turned = local && local->m_family == IpFamily::Ipv6 && dest == local->m_v6;
    entry.m_counts = NewCounts(sample, turned);
    if (turned) {
        std::swap(entry.m_src6, entry.m_dest6);
    }
    entry.m_dwEntryId = EntryId6(entry.m_src6, entry.m_dest6, proto);
    Append(m_entries6, m_slots6, entry, hash, FindSlot6(src, dest, proto, hash),
           [&] { return FindSlot6(src, dest, proto, hash); });
    return 1;
}

int CTrafficTable::AddOverflow(const CTrafficEntry& sample, std::optional<IpAddress> local) {
    // No first datagram orients a row of many pairs: from the local address is sent, to it received.
    bool received = false;
    if (local && local->m_family == sample.m_family) {
        received = sample.IsIpv6()
                       ? sample.m_src6 != local->m_v6 && sample.m_dest6 == local->m_v6
                       : sample.m_dwSrcAddress != local->m_dwV4 && sample.m_dwDestAddress == local->m_dwV4;
    }
    const Counts add = NewCounts(sample, received);
    if (const std::uint16_t known = m_overflowIndex[sample.m_nProto]; known != 0) {
        const std::size_t index = known - 1U;
        OverflowRow& row = m_overflow[index];
        row.m_counts.m_nSendData += add.m_nSendData;
        row.m_counts.m_nRcvData += add.m_nRcvData;
        row.m_counts.m_nSendPackets += add.m_nSendPackets;
        row.m_counts.m_nRcvPackets += add.m_nRcvPackets;
        row.m_counts.m_tLastUpdate = add.m_tLastUpdate;
        if (index < m_nPulledOverflow && !row.m_bChanged) {
            row.m_bChanged = true;
            row.m_tChangeStart = add.m_tLastUpdate;
        }
        ++m_nOverflowDatagrams;
        return 0;
    }
    OverflowRow row;
    row.m_nSerial = static_cast<std::uint32_t>(Count());
    row.m_nProto = sample.m_nProto;
    row.m_tChangeStart = add.m_tLastUpdate;
    row.m_counts = add;
    m_overflow.push_back(row); // may throw, before anything has changed
    m_overflowIndex[sample.m_nProto] = static_cast<std::uint16_t>(m_overflow.size());
    ++m_nOverflowDatagrams;
    return 1;
}

// Out of the batch loop, which then stays as it was before the table had a maximum. The key has just been
// looked for in vain, so a full table counts the sample without a second look.
[[gnu::noinline]] int CTrafficTable::AddNew(const CTrafficEntry& sample, std::optional<IpAddress> local) {
    return Stored() >= m_nMaxEntries ? AddOverflow(sample, local) : AddLocked(sample, local);
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
        StoredEntry& entry = m_entries[index];
        // The same-direction test comes first, which matters only for traffic from an address to itself.
        const bool sent = entry.m_dwSrcAddress == src && entry.m_dwDestAddress == dest;
        const bool received = entry.m_dwSrcAddress == dest && entry.m_dwDestAddress == src;
        if (entry.m_nProto != sample.m_nProto || !(sent || received)) {
            continue;
        }
        AddTo(entry.m_counts, sent, SentBytes(sample), SentPackets(sample), Time(sample));
        NoteChanged(entry, index);
        return true;
    }
}

bool CTrafficTable::FoldKnown6(const Ipv6Address& src, const Ipv6Address& dest, std::uint8_t proto,
                               std::uint64_t bytes, std::uint64_t packets, std::int64_t time,
                               std::uint32_t hash) {
    const std::size_t mask = m_slots6.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot slot = m_slots6[i];
        if (slot.m_nIndexPlusOne == 0) {
            return false;
        }
        if (slot.m_nHash != hash) {
            continue;
        }
        const std::size_t index = slot.m_nIndexPlusOne - 1;
        StoredEntry6& entry = m_entries6[index];
        const bool sent = entry.m_src6 == src && entry.m_dest6 == dest;
        if (entry.m_nProto != proto || !(sent || (entry.m_src6 == dest && entry.m_dest6 == src))) {
            continue;
        }
        AddTo(entry.m_counts, sent, bytes, packets, time);
        NoteChanged6(entry, index);
        return true;
    }
}

int CTrafficTable::AddSample(const CTrafficEntry& sample, std::optional<IpAddress> local) {
    const std::lock_guard lock(m_mutex);
    NoteTimes(sample.m_tLastUpdate, sample.m_tLastUpdate);
    return AddLocked(sample, local);
}

void CTrafficTable::NoteTimes(std::int64_t first, std::int64_t last) {
    if (m_tFirstPacket.load(std::memory_order_relaxed) == 0) {
        m_tFirstPacket.store(first, std::memory_order_relaxed);
    }
    m_tLastPacket.store(last, std::memory_order_relaxed);
}

PacketTimes CTrafficTable::Times() const {
    return {m_tFirstPacket.load(std::memory_order_relaxed), m_tLastPacket.load(std::memory_order_relaxed)};
}

template <bool kMixed, class Sample>
std::size_t CTrafficTable::FoldBatch(std::span<const Sample> samples, std::optional<IpAddress> local,
                                     std::span<const Ipv6Pair> v6) {
    // With many entries a fold is bound by two dependent cache misses: the index slot, then the entry it
    // names. A batch knows its keys in advance, so the work runs as a pipeline: the slot of sample
    // i + 2 * kPrefetchDistance is fetched while the entry of sample i + kPrefetchDistance (whose slot has
    // arrived) is fetched and sample i (whose entry has arrived) is folded. The misses of many samples
    // overlap instead of adding up. The fetches are only hints; every fold looks its key up again, so an
    // index that grows in between costs a miss, never a wrong count. Each key is hashed once, for all
    // three steps. IPv6 samples take the same steps through their own index and store.
    const std::lock_guard lock(m_mutex);
    const std::size_t n = samples.size();
    if (n != 0) {
        NoteTimes(Time(samples.front()), Time(samples.back()));
    }
    std::array<std::uint32_t, kHashRing> hashes; // of the samples between the first and the last step
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < n + 2 * kPrefetchDistance; ++i) {
        const std::size_t mask = m_slots.size() - 1; // a fold may have grown the index
        if (i < n) {
            const Sample& s = samples[i];
            if (!kMixed || s.m_family != IpFamily::Ipv6) [[likely]] {
                const std::uint32_t hash = KeyHash(s.m_dwSrcAddress, s.m_dwDestAddress, s.m_nProto);
                hashes[i & (kHashRing - 1)] = hash;
                __builtin_prefetch(&m_slots[hash & mask]);
            } else if (HasPair(s, v6)) {
                const std::uint32_t hash = KeyHash6(Source6(s, v6), Dest6(s, v6), s.m_nProto);
                hashes[i & (kHashRing - 1)] = hash;
                __builtin_prefetch(&m_slots6[hash & (m_slots6.size() - 1)]);
            }
        }
        if (i >= kPrefetchDistance && i - kPrefetchDistance < n) {
            const std::size_t k = i - kPrefetchDistance;
            const std::uint32_t hash = hashes[k & (kHashRing - 1)];
            if (!kMixed || samples[k].m_family != IpFamily::Ipv6) [[likely]] {
                const Slot slot = m_slots[hash & mask];
                if (slot.m_nIndexPlusOne != 0) {
                    __builtin_prefetch(&m_entries[slot.m_nIndexPlusOne - 1], 1);
                }
            } else {
                const Slot slot = m_slots6[hash & (m_slots6.size() - 1)];
                if (slot.m_nIndexPlusOne != 0 && slot.m_nIndexPlusOne <= m_entries6.size()) {
                    __builtin_prefetch(&m_entries6[slot.m_nIndexPlusOne - 1], 1);
                }
            }
        }
        if (i >= 2 * kPrefetchDistance) {
            const std::size_t k = i - 2 * kPrefetchDistance;
            const Sample& s = samples[k];
            const std::uint32_t hash = hashes[k & (kHashRing - 1)];
            if (!kMixed) {
                if (FoldKnown(s, hash)) {
                    continue;
                }
            } else if (s.m_family != IpFamily::Ipv6) [[likely]] {
                if (FoldKnown(s, hash)) {
                    continue;
                }
            } else if (!HasPair(s, v6)) {
                ++dropped;
                continue;
            } else if (FoldKnown6(Source6(s, v6), Dest6(s, v6), s.m_nProto, SentBytes(s), SentPackets(s),
                                  Time(s), hash)) {
                continue;
            }
            try {
                AddNew(AsEntry(s, v6), local);
            } catch (const std::bad_alloc&) {
                ++dropped;
            }
        }
    }
    return dropped;
}

std::size_t CTrafficTable::AddSamples(std::span<const CTrafficEntry> samples,
                                      std::optional<IpAddress> local) {
    return FoldBatch<true>(samples, local, {});
}

std::size_t CTrafficTable::AddSamples(std::span<const PacketSample> samples, std::optional<IpAddress> local,
                                      std::span<const Ipv6Pair> v6) {
    // Any sample may claim to be IPv6 here, so each one is looked at.
    return FoldBatch<true>(samples, local, v6);
}

std::size_t CTrafficTable::AddSamples(const SampleBuffer& samples, std::optional<IpAddress> local) {
    // A buffer's IPv6 samples come with their address pairs (SampleBuffer::PushIpv6): without pairs there
    // is none, and the IPv4 pipeline runs without a look at the family.
    const std::span<const PacketSample> all(samples.m_samples);
    return samples.m_v6.empty() ? FoldBatch<false>(all, local, {})
                                : FoldBatch<true>(all, local, samples.m_v6);
}

TrafficBatch CTrafficTable::PullChanges() {
    TrafficBatch batch;
    bool sorted = false;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t count = Count();
        batch.m_bReset = std::exchange(m_bResetPending, false);
        batch.m_nRowCount = count;
        batch.m_newRows.reserve(count - m_nPulled - m_nPulled6 - m_nPulledOverflow);
        batch.m_newRowStarts.reserve(batch.m_newRows.capacity());
        auto newRow = [&batch](const auto& stored) {
            batch.m_newRows.push_back(ToEntry(stored));
            batch.m_newRowStarts.push_back(ChangeStart(stored));
        };
        // Newest first: the three stores merged by serial (-1 where a store has nothing new).
        std::size_t next4 = m_entries.size();
        std::size_t next6 = m_entries6.size();
        std::size_t nextOverflow = m_overflow.size();
        while (true) {
            const std::int64_t serial4 =
                next4 > m_nPulled ? std::int64_t{m_entries[next4 - 1].m_nSerial} : -1;
            const std::int64_t serial6 =
                next6 > m_nPulled6 ? std::int64_t{m_entries6[next6 - 1].m_nSerial} : -1;
            const std::int64_t serialOverflow =
                nextOverflow > m_nPulledOverflow ? std::int64_t{m_overflow[nextOverflow - 1].m_nSerial} : -1;
            if (serial4 > serial6 && serial4 > serialOverflow) {
                newRow(m_entries[--next4]);
            } else if (serial6 > serialOverflow) {
                newRow(m_entries6[--next6]);
            } else if (serialOverflow >= 0) {
                newRow(m_overflow[--nextOverflow]);
            } else {
                break;
            }
        }
        // The overflow rows that changed, by ascending row (newest first).
        std::vector<RowChange> overflowChanges;
        for (std::size_t index = m_nPulledOverflow; index-- > 0;) {
            if (m_overflow[index].m_bChanged) {
                m_overflow[index].m_bChanged = false;
                overflowChanges.push_back(RowChange{count - 1 - m_overflow[index].m_nSerial,
                                                    ToEntry(m_overflow[index]),
                                                    ChangeStart(m_overflow[index])});
            }
        }
        batch.m_changedRows.reserve(m_changed.size() + overflowChanges.size());
        auto changedRow = [&](const auto& entry) {
            return RowChange{count - 1 - entry.m_nSerial, ToEntry(entry), ChangeStart(entry)};
        };
        // When a good part of the rows changed, walking a bit per entry in row order (newest entry first)
        // costs less than sorting the list of changes afterwards. The IPv6 entries are walked the same way
        // and the lists merged.
        sorted = m_changed.size() > (m_nPulled + m_nPulled6) / kScanInsteadOfSortDivisor;
        if (sorted) {
            // Kept between pulls: allocating them each time made fresh pages to fault in.
            m_changeBits.resize((m_nPulled + 63) / 64);
            m_changeBits6.resize((m_nPulled6 + 63) / 64);
            for (const std::uint32_t change : m_changed) {
                const std::uint32_t index = change & ~kIpv6Change;
                auto& words = (change & kIpv6Change) != 0 ? m_changeBits6 : m_changeBits;
                words[index / 64] |= std::uint64_t{1} << (index % 64);
            }
            auto walk = [&](std::vector<std::uint64_t>& words, auto& entries) {
                for (std::size_t w = words.size(); w-- > 0;) {
                    for (std::uint64_t word = std::exchange(words[w], 0); word != 0;) {
                        const int bit = 63 - std::countl_zero(word);
                        word &= ~(std::uint64_t{1} << bit);
                        const auto& entry = entries[w * 64 + static_cast<std::size_t>(bit)];
                        batch.m_changedRows.push_back(changedRow(entry));
                    }
                }
            };
            auto mergeFrom = [&batch](std::ptrdiff_t middle) {
                std::inplace_merge(batch.m_changedRows.begin(), batch.m_changedRows.begin() + middle,
                                   batch.m_changedRows.end(), [](const RowChange& a, const RowChange& b) {
                                       return a.m_nRow < b.m_nRow;
                                   });
            };
            walk(m_changeBits, m_entries);
            if (m_nPulled6 != 0) {
                const auto middle = static_cast<std::ptrdiff_t>(batch.m_changedRows.size());
                walk(m_changeBits6, m_entries6);
                mergeFrom(middle);
            }
            if (!overflowChanges.empty()) {
                const auto middle = static_cast<std::ptrdiff_t>(batch.m_changedRows.size());
                batch.m_changedRows.insert(batch.m_changedRows.end(), overflowChanges.begin(),
                                           overflowChanges.end());
                mergeFrom(middle);
            }
        } else {
            for (const std::uint32_t change : m_changed) {
                const std::uint32_t index = change & ~kIpv6Change;
                auto take = [&](const auto& entry) { batch.m_changedRows.push_back(changedRow(entry)); };
                if ((change & kIpv6Change) != 0) {
                    take(m_entries6[index]);
                } else {
                    take(m_entries[index]);
                }
            }
            batch.m_changedRows.insert(batch.m_changedRows.end(), overflowChanges.begin(),
                                       overflowChanges.end());
        }
        m_changed.clear();
        NextChangeMark();
        m_nPulled = m_entries.size();
        m_nPulled6 = m_entries6.size();
        m_nPulledOverflow = m_overflow.size();
    }
    if (!sorted) {
        std::sort(batch.m_changedRows.begin(), batch.m_changedRows.end(),
                  [](const RowChange& a, const RowChange& b) { return a.m_nRow < b.m_nRow; });
    }
    return batch;
}

void CTrafficTable::NextChangeMark() {
    if (++m_nChangeMark != 0) {
        return;
    }
    // Once in 65,535 pulls the marks come round: the old ones are wiped so that none reads as current.
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        m_entries[i].m_nChangeMark = 0;
    }
    for (std::size_t i = 0; i < m_entries6.size(); ++i) {
        m_entries6[i].m_nChangeMark = 0;
    }
    m_nChangeMark = 1;
}

void CTrafficTable::Clear() {
    const std::lock_guard lock(m_mutex);
    m_entries.clear();
    m_entries6.clear();
    m_slots = LargeArray<Slot>(kInitialSlots);
    m_slots6 = LargeArray<Slot>(kInitialSlots);
    std::vector<std::uint32_t>().swap(m_changed);
    std::vector<std::uint64_t>().swap(m_changeBits);
    std::vector<std::uint64_t>().swap(m_changeBits6);
    m_nPulled = 0;
    m_nPulled6 = 0;
    std::vector<OverflowRow>().swap(m_overflow);
    m_overflowIndex.fill(0);
    m_nPulledOverflow = 0;
    m_nOverflowDatagrams = 0;
    m_bResetPending = true;
    m_tFirstPacket.store(0, std::memory_order_relaxed);
    m_tLastPacket.store(0, std::memory_order_relaxed);
}

void CTrafficTable::SetMaxEntries(std::size_t maxEntries) {
    const std::lock_guard lock(m_mutex);
    m_nMaxEntries = maxEntries;
}

std::size_t CTrafficTable::MaxEntries() const {
    const std::lock_guard lock(m_mutex);
    return m_nMaxEntries;
}

std::uint64_t CTrafficTable::OverflowDatagrams() const {
    const std::lock_guard lock(m_mutex);
    return m_nOverflowDatagrams;
}

std::size_t CTrafficTable::EntryCount() const {
    const std::lock_guard lock(m_mutex);
    return Count();
}

std::optional<CTrafficEntry> CTrafficTable::Find(Ipv4Address a, Ipv4Address b, std::uint8_t proto) const {
    const std::lock_guard lock(m_mutex);
    const Slot& slot = m_slots[FindSlot(a, b, proto, KeyHash(a, b, proto))];
    if (slot.m_nIndexPlusOne == 0) {
        return std::nullopt;
    }
    return ToEntry(m_entries[slot.m_nIndexPlusOne - 1]);
}

std::optional<CTrafficEntry> CTrafficTable::Find(const Ipv6Address& a, const Ipv6Address& b,
                                                 std::uint8_t proto) const {
    const std::lock_guard lock(m_mutex);
    const Slot& slot = m_slots6[FindSlot6(a, b, proto, KeyHash6(a, b, proto))];
    if (slot.m_nIndexPlusOne == 0) {
        return std::nullopt;
    }
    return ToEntry(m_entries6[slot.m_nIndexPlusOne - 1]);
}

std::optional<CTrafficEntry> CTrafficTable::FindOverflow(std::uint8_t proto) const {
    const std::lock_guard lock(m_mutex);
    if (m_overflowIndex[proto] == 0) {
        return std::nullopt;
    }
    return ToEntry(m_overflow[m_overflowIndex[proto] - 1U]);
}

std::vector<CTrafficEntry> CTrafficTable::Snapshot() const {
    const std::lock_guard lock(m_mutex);
    std::vector<CTrafficEntry> entries;
    entries.reserve(Count());
    // Oldest first: the three stores merged by serial (past the last serial where a store has no more).
    constexpr std::uint64_t kDone = std::uint64_t{1} << 32U;
    std::size_t i4 = 0;
    std::size_t i6 = 0;
    std::size_t iOverflow = 0;
    while (true) {
        const std::uint64_t serial4 = i4 < m_entries.size() ? m_entries[i4].m_nSerial : kDone;
        const std::uint64_t serial6 = i6 < m_entries6.size() ? m_entries6[i6].m_nSerial : kDone;
        const std::uint64_t serialOverflow =
            iOverflow < m_overflow.size() ? m_overflow[iOverflow].m_nSerial : kDone;
        if (serial4 < serial6 && serial4 < serialOverflow) {
            entries.push_back(ToEntry(m_entries[i4++]));
        } else if (serial6 < serialOverflow) {
            entries.push_back(ToEntry(m_entries6[i6++]));
        } else if (serialOverflow != kDone) {
            entries.push_back(ToEntry(m_overflow[iOverflow++]));
        } else {
            break;
        }
    }
    return entries;
}

std::size_t CTrafficTable::MemoryBytes() const {
    const std::lock_guard lock(m_mutex);
    return sizeof(*this) + m_entries.allocated_bytes() + m_slots.size() * sizeof(Slot) +
           m_entries6.allocated_bytes() + m_slots6.size() * sizeof(Slot) +
           (m_changeBits.capacity() + m_changeBits6.capacity()) * sizeof(std::uint64_t) +
           m_changed.capacity() * sizeof(std::uint32_t) + m_overflow.capacity() * sizeof(OverflowRow);
}

} // namespace flowsentry
