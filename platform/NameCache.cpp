// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/NameCache.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace flowsentry {

std::size_t IpAddressHash::operator()(const IpAddress& address) const noexcept {
    if (address.m_family != IpFamily::Ipv6) {
        return std::hash<std::uint64_t>{}(
            (std::uint64_t{static_cast<std::uint8_t>(address.m_family)} << 32U) | address.m_dwV4);
    }
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, address.m_v6.data(), 8);
    std::memcpy(&low, address.m_v6.data() + 8, 8);
    return std::hash<std::uint64_t>{}(high ^ (low * 0x9E3779B97F4A7C15ULL));
}

CAddressSet::CAddressSet(const std::vector<IpAddress>& addresses)
    : m_set(addresses.begin(), addresses.end()) {
    for (const IpAddress& address : m_set) {
        const std::size_t bit = IpAddressHash{}(address) % kBits;
        m_bits[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
}

CNameCache::CNameCache(IResolver& resolver, Settings settings, Clock clock)
    : m_resolver(resolver), m_settings(settings), m_clock(std::move(clock)) {
    if (m_settings.m_nMaxInFlight == 0) {
        m_settings.m_nMaxInFlight = 1;
    }
}

void CNameCache::Want(const IpAddress& address) {
    if (address.m_family == IpFamily::Other) {
        return;
    }
    const TimePoint now = m_clock();
    auto [it, inserted] = m_entries.try_emplace(address);
    Entry& entry = it->second;
    if (!inserted) {
        if (entry.m_state == State::Queued || entry.m_state == State::Asked || now < entry.m_expires) {
            return;
        }
    }
    if (const auto flight = m_inFlight.find(address); flight != m_inFlight.end()) {
        // Asked before a Clear and not yet answered: that answer will do, rather than a second look-up.
        entry.m_state = State::Asked;
        return;
    }
    entry.m_state = State::Queued;
    entry.m_nTicket = ++m_nTicket;
    ++m_nQueued;
    m_queue.emplace_front(address, entry.m_nTicket);
    while (m_queue.size() > m_settings.m_nMaxQueued) {
        DropOldestQueued();
    }
    Trim(now);
    Pump();
}

void CNameCache::DropOldestQueued() {
    const auto [address, ticket] = m_queue.back();
    m_queue.pop_back();
    const auto it = m_entries.find(address);
    if (it == m_entries.end() || it->second.m_state != State::Queued || it->second.m_nTicket != ticket) {
        return;
    }
    --m_nQueued;
    if (it->second.m_strName.empty()) {
        m_entries.erase(it);
    } else {
        it->second.m_state = State::Named; // still expired: asked again when wanted again
    }
}

bool CNameCache::Answer(const NameAnswer& answer) {
    const auto flight = m_inFlight.find(answer.m_address);
    if (flight == m_inFlight.end()) {
        Pump();
        return false;
    }
    m_inFlight.erase(flight);
    bool changed = false;
    // Only an entry waiting for it takes the answer: after a Clear nobody waits (unless the address was
    // wanted again meanwhile).
    if (const auto it = m_entries.find(answer.m_address);
        it != m_entries.end() && it->second.m_state == State::Asked) {
        Entry& entry = it->second;
        const bool found = !answer.m_strName.empty();
        changed = entry.m_strName != answer.m_strName;
        entry.m_state = found ? State::Named : State::NoName;
        entry.m_strName = answer.m_strName;
        if (found) {
            MarkNamed(answer.m_address);
        }
        entry.m_expires = m_clock() + (found ? m_settings.m_nameLifetime : m_settings.m_noNameLifetime);
    }
    Pump();
    return changed;
}

void CNameCache::Tick() {
    Pump();
}

void CNameCache::Clear() {
    m_entries.clear();
    std::fill(m_namedBits.begin(), m_namedBits.end(), 0);
    m_queue.clear();
    m_nQueued = 0;
}

void CNameCache::GiveUpOverdue(TimePoint now) {
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (now - it->second < m_settings.m_giveUpAfter) {
            ++it;
            continue;
        }
        if (const auto entry = m_entries.find(it->first);
            entry != m_entries.end() && entry->second.m_state == State::Asked) {
            entry->second.m_state = State::NoName;
            entry->second.m_strName.clear();
            entry->second.m_expires = now + m_settings.m_noNameLifetime;
        }
        it = m_inFlight.erase(it);
    }
}

void CNameCache::Pump() {
    const TimePoint now = m_clock();
    GiveUpOverdue(now);
    while (m_inFlight.size() < m_settings.m_nMaxInFlight && !m_queue.empty()) {
        const auto [address, ticket] = m_queue.front();
        m_queue.pop_front();
        const auto it = m_entries.find(address);
        if (it == m_entries.end() || it->second.m_state != State::Queued || it->second.m_nTicket != ticket) {
            continue;
        }
        --m_nQueued;
        it->second.m_state = State::Asked;
        m_inFlight.emplace(address, now);
        m_resolver.Ask(address);
    }
}

void CNameCache::Trim(TimePoint now) {
    if (m_entries.size() <= m_settings.m_nMaxEntries) {
        return;
    }
    const auto settled = [](const Entry& entry) {
        return entry.m_state == State::Named || entry.m_state == State::NoName;
    };
    // Expired ones first; when that is not enough, every settled one: they are asked again if wanted.
    for (const bool expiredOnly : {true, false}) {
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (settled(it->second) && (!expiredOnly || now >= it->second.m_expires)) {
                it = m_entries.erase(it);
            } else {
                ++it;
            }
        }
        if (m_entries.size() <= m_settings.m_nMaxEntries * 3 / 4) {
            break;
        }
    }
    std::fill(m_namedBits.begin(), m_namedBits.end(), 0);
    for (const auto& [address, entry] : m_entries) {
        if (!entry.m_strName.empty()) {
            MarkNamed(address);
        }
    }
}

void CNameCache::MarkNamed(const IpAddress& address) {
    const std::size_t bit = IpAddressHash{}(address) % kNamedBits;
    m_namedBits[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

bool CNameCache::MaybeNamed(const IpAddress& address) const {
    const std::size_t bit = IpAddressHash{}(address) % kNamedBits;
    return ((m_namedBits[bit / 64] >> (bit % 64)) & 1U) != 0;
}

std::string_view CNameCache::NameOf(const IpAddress& address) const {
    if (!MaybeNamed(address)) {
        return {};
    }
    const auto it = m_entries.find(address);
    return it == m_entries.end() ? std::string_view() : std::string_view(it->second.m_strName);
}

CNameCache::State CNameCache::StateOf(const IpAddress& address) const {
    const auto it = m_entries.find(address);
    return it == m_entries.end() ? State::Unknown : it->second.m_state;
}

} // namespace flowsentry
