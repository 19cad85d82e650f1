// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/NameLookup.h"
#include "traffic/TrafficEntry.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace flowsentry {

// What a reverse look-up found: the host name, or nothing (no name, a failure, a time-out: to the list
// they are the same, the address stays numeric).
struct NameAnswer {
    IpAddress m_address;
    std::string m_strName;
};

// Something that looks names up. Ask starts a look-up and returns at once; the answer comes later, on
// whatever thread the resolver uses, through the handler it was made with, and its owner hands it to
// CNameCache::Answer on the cache's thread. A resolver never answers from inside Ask.
class IResolver {
public:
    IResolver() = default;
    IResolver(const IResolver&) = delete;
    IResolver& operator=(const IResolver&) = delete;
    virtual ~IResolver() = default;

    virtual void Ask(const IpAddress& address) = 0;
};

struct IpAddressHash {
    std::size_t operator()(const IpAddress& address) const noexcept;
};

// A set of addresses asked about every row of the list (which rows' names just came): a bit per hash
// answers most questions without a lookup.
class CAddressSet {
public:
    explicit CAddressSet(const std::vector<IpAddress>& addresses);
    [[nodiscard]] bool Contains(const IpAddress& address) const {
        const std::size_t bit = IpAddressHash{}(address) % kBits;
        return ((m_bits[bit / 64] >> (bit % 64)) & 1U) != 0 && m_set.count(address) != 0;
    }

private:
    static constexpr std::size_t kBits = std::size_t{1} << 16;
    std::vector<std::uint64_t> m_bits = std::vector<std::uint64_t>(kBits / 64);
    std::unordered_set<IpAddress, IpAddressHash> m_set;
};

// Host names of addresses, for the list and the CLI. Each address is asked once while what is known about
// it is fresh: a name for an hour, no name for five minutes. At most a few look-ups are outstanding at
// once; the addresses wanted beyond them wait in a bounded queue, the most recently wanted asked first
// (they are the rows that just came, at the top of the list), and when the queue is full the address
// wanted longest ago is dropped: it stays numeric until it is wanted again. So a flood of new peers costs a
// bounded queue and a few look-ups at a time, never a look-up per peer.
//
// Not thread-safe: one thread (the window's, the CLI's main) wants, answers and reads.
class CNameCache final : public INameLookup {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    struct Settings {
        std::chrono::milliseconds m_nameLifetime = std::chrono::hours(1);
        std::chrono::milliseconds m_noNameLifetime = std::chrono::minutes(5);
        std::size_t m_nMaxInFlight = 4;
        std::size_t m_nMaxQueued = 4096;
        // Past this many addresses, the settled ones are forgotten (expired ones first).
        std::size_t m_nMaxEntries = std::size_t{1} << 18;
        // A look-up that has had no answer for this long counts as failed, so that a resolver that loses
        // an answer cannot hold a slot for ever. Far above the resolver's own time-outs.
        std::chrono::milliseconds m_giveUpAfter = std::chrono::seconds(30);
    };

    enum class State { Unknown, Queued, Asked, Named, NoName };

    explicit CNameCache(IResolver& resolver) : CNameCache(resolver, Settings{}) {}
    CNameCache(IResolver& resolver, Settings settings, Clock clock = std::chrono::steady_clock::now);

    // The address is wanted: queued for a look-up unless its entry is fresh, queued or being asked.
    // "other" rows have no address and are not asked.
    void Want(const IpAddress& address);
    // An answer from the resolver. Returns true when the name shown for the address changed (the list then
    // repaints and re-filters). An answer nobody waits for (after Clear, after the cache gave up on it, a
    // second one) changes nothing.
    bool Answer(const NameAnswer& answer);
    // Gives up on look-ups that never answered and asks the next ones; Want and Answer do it too.
    void Tick();
    // Forgets every name and the queue. Look-ups still outstanding keep their slots until they answer (so
    // the resolver never has more than the bound), and their answers are dropped.
    void Clear();

    [[nodiscard]] std::string_view NameOf(const IpAddress& address) const override;
    [[nodiscard]] State StateOf(const IpAddress& address) const;
    [[nodiscard]] std::size_t InFlight() const { return m_inFlight.size(); }
    [[nodiscard]] std::size_t Queued() const { return m_nQueued; }
    // Nothing queued or outstanding: every wanted address has its answer.
    [[nodiscard]] bool Idle() const { return m_nQueued == 0 && m_inFlight.empty(); }
    [[nodiscard]] std::size_t Size() const { return m_entries.size(); }
    [[nodiscard]] const Settings& GetSettings() const { return m_settings; }

private:
    struct Entry {
        State m_state = State::Unknown;
        std::string m_strName; // kept while a stale name is asked again, so the list does not flicker
        TimePoint m_expires{};
        std::uint64_t m_nTicket = 0; // which queue item stands for this entry
    };

    void Pump();
    void MarkNamed(const IpAddress& address);
    [[nodiscard]] bool MaybeNamed(const IpAddress& address) const;
    void GiveUpOverdue(TimePoint now);
    void DropOldestQueued();
    void Trim(TimePoint now);

    IResolver& m_resolver;
    Settings m_settings;
    Clock m_clock;
    std::unordered_map<IpAddress, Entry, IpAddressHash> m_entries;
    // The look-ups outstanding, with when they were asked. Kept through a Clear, so that the resolver
    // never has more than the bound.
    std::unordered_map<IpAddress, TimePoint, IpAddressHash> m_inFlight;
    std::deque<std::pair<IpAddress, std::uint64_t>> m_queue; // front: wanted most recently
    std::size_t m_nQueued = 0;                               // entries in State::Queued
    std::uint64_t m_nTicket = 0;
    // One bit per hash of the addresses that have had a name: the list and the filter ask NameOf for
    // every row, and most rows' addresses have none, so most questions end here without a hash lookup.
    // Bits are set, and cleared only with the entries (Clear, Trim); one set wrongly costs a lookup.
    static constexpr std::size_t kNamedBits = std::size_t{1} << 20;
    std::vector<std::uint64_t> m_namedBits = std::vector<std::uint64_t>(kNamedBits / 64);
};

} // namespace flowsentry
