// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowOrder.h"

#include <algorithm>
#include <array>
#include <utility>

namespace flowsentry {
namespace {

// Sorts by key alone and keeps equal keys in the order they had: a radix sort from the least significant
// byte up, which skips the bytes that every key shares. A click on a heading sorts a million rows in a
// few passes over memory rather than twenty rounds of comparisons (over 100 ms here).
template <class Item> void SortByKey(std::vector<Item>& items, std::vector<Item>& scratch) {
    constexpr int kBytes = 8;
    std::array<std::array<std::size_t, 256>, kBytes> counts{};
    for (const Item& item : items) {
        for (int byte = 0; byte < kBytes; ++byte) {
            ++counts[static_cast<std::size_t>(byte)]
                    [(item.m_nKey >> (8U * static_cast<unsigned>(byte))) & 0xFFU];
        }
    }
    scratch.resize(items.size());
    for (int byte = 0; byte < kBytes; ++byte) {
        auto& count = counts[static_cast<std::size_t>(byte)];
        if (std::find(count.begin(), count.end(), items.size()) != count.end()) {
            continue; // every key has the same byte here
        }
        std::size_t start = 0;
        for (std::size_t& bucket : count) {
            start += std::exchange(bucket, start);
        }
        const unsigned shift = 8U * static_cast<unsigned>(byte);
        for (const Item& item : items) {
            scratch[count[(item.m_nKey >> shift) & 0xFFU]++] = item;
        }
        items.swap(scratch);
    }
}

} // namespace

CRowOrder::Item CRowOrder::MakeItem(const CRowStore& rows, std::size_t serial) const {
    std::uint64_t key = m_nColumn == kDefaultOrder ? 0 : rows.SortValue(serial, m_nColumn);
    return Item{m_bDescending ? ~key : key, static_cast<std::uint32_t>(serial)};
}

bool CRowOrder::Less(const CRowStore& rows, const Item& a, const Item& b) const {
    if (a.m_nKey != b.m_nKey) {
        return a.m_nKey < b.m_nKey;
    }
    if (m_nColumn == ColSrcAddress || m_nColumn == ColDestAddress) {
        const bool source = m_nColumn == ColSrcAddress;
        const std::size_t first = m_bDescending ? b.m_nSerial : a.m_nSerial;
        const std::size_t second = m_bDescending ? a.m_nSerial : b.m_nSerial;
        if (rows.AddressLess(first, second, source)) {
            return true;
        }
        if (rows.AddressLess(second, first, source)) {
            return false;
        }
    }
    return a.m_nSerial > b.m_nSerial; // equal values: newest first
}

void CRowOrder::SetSort(const CRowStore& rows, int column, bool descending) {
    m_nColumn = column >= 0 && column < ListColumnCount ? column : kDefaultOrder;
    m_bDescending = m_nColumn != kDefaultOrder && descending;
    Rebuild(rows);
}

void CRowOrder::SetFilter(const CRowStore& rows, Filter filter) {
    m_filter = std::move(filter);
    Rebuild(rows);
}

void CRowOrder::Rebuild(const CRowStore& rows) {
    m_items.clear();
    m_nSorted = 0;
    if (IsPlain()) {
        m_items.shrink_to_fit();
        m_scratch = {};
        m_flags = {};
        return;
    }
    m_items.reserve(rows.RowCount());
    m_flags.assign(rows.RowCount(), 0);
    // Newest first, so that a stable sort by key leaves equal values newest first, as Less orders them.
    for (std::size_t row = 0; row < rows.RowCount(); ++row) {
        const std::size_t serial = rows.SerialOf(row);
        if (!m_filter || m_filter(rows.Entry(serial))) {
            m_flags[serial] = kShown;
            m_items.push_back(MakeItem(rows, serial));
        }
    }
    if (m_nColumn != kDefaultOrder) {
        SortByKey(m_items, m_scratch);
        if (m_nColumn == ColSrcAddress || m_nColumn == ColDestAddress) {
            // IPv6 addresses that share the bits in the key are put in order among themselves.
            const auto less = [&](const Item& a, const Item& b) { return Less(rows, a, b); };
            for (auto first = m_items.begin(); first != m_items.end();) {
                const auto last = std::find_if(
                    first, m_items.end(), [&](const Item& item) { return item.m_nKey != first->m_nKey; });
                if (last - first > 1) {
                    std::sort(first, last, less);
                }
                first = last;
            }
        }
    }
    m_nSorted = m_items.size();
}

std::size_t CRowOrder::AddNewRows(const CRowStore& rows) {
    if (rows.WasReset()) {
        Clear();
    }
    if (IsPlain()) {
        return rows.NewRowCount();
    }
    const std::size_t before = m_items.size();
    const std::size_t count = rows.RowCount();
    // Newest first, as the default order shows them.
    m_flags.resize(count, 0);
    for (std::size_t serial = count; serial-- > count - rows.NewRowCount();) {
        if (Accepts(rows.Entry(serial))) {
            m_flags[serial] = kShown;
            m_items.push_back(MakeItem(rows, serial));
        }
    }
    const std::size_t added = m_items.size() - before;
    if (m_nColumn == kDefaultOrder) {
        // Newer than every row shown: they go on top.
        std::rotate(m_items.begin(), m_items.begin() + static_cast<std::ptrdiff_t>(before), m_items.end());
        m_nSorted = m_items.size();
    }
    return added;
}

bool CRowOrder::Resort(const CRowStore& rows) {
    if (m_nColumn == kDefaultOrder) {
        return false; // values never move a row in the default order, and new rows are already on top
    }
    // The rows to place: the new ones at the end, and those whose values changed. Addresses and protocols
    // never change, so sorted by them only new rows move.
    std::vector<Item> moving(m_items.begin() + static_cast<std::ptrdiff_t>(m_nSorted), m_items.end());
    m_items.resize(m_nSorted);
    const std::size_t oldRows = rows.RowCount() - rows.NewRowCount();
    const bool valuesMove =
        m_nColumn != ColSrcAddress && m_nColumn != ColDestAddress && m_nColumn != ColProto;
    std::size_t taken = 0;
    if (valuesMove) {
        for (const std::uint32_t serial : rows.Touched()) {
            // Shown and not yet taken: whether the filter lets a row through never changes, so it is
            // asked once per row, when the row comes.
            if (serial < oldRows && m_flags[serial] == kShown) {
                m_flags[serial] = kShown | kMoving;
                moving.push_back(MakeItem(rows, serial));
                ++taken;
            }
        }
    }
    if (moving.empty()) {
        return false;
    }
    const auto less = [&](const Item& a, const Item& b) { return Less(rows, a, b); };
    std::sort(moving.begin(), moving.end(), less);
    // One pass: the rows that stay keep their order, the moving ones are merged in.
    m_scratch.clear();
    m_scratch.reserve(m_items.size() - taken + moving.size());
    auto next = moving.begin();
    for (const Item& item : m_items) {
        if (taken > 0 && m_flags[item.m_nSerial] != kShown) {
            m_flags[item.m_nSerial] = kShown;
            continue;
        }
        while (next != moving.end() && less(*next, item)) {
            m_scratch.push_back(*next++);
        }
        m_scratch.push_back(item);
    }
    m_scratch.insert(m_scratch.end(), next, moving.end());
    std::swap(m_items, m_scratch);
    m_nSorted = m_items.size();
    return true;
}

std::optional<std::size_t> CRowOrder::RowOf(const CRowStore& rows, std::size_t serial) const {
    if (serial >= rows.RowCount()) {
        return std::nullopt;
    }
    if (IsPlain()) {
        return rows.RowCount() - 1 - serial;
    }
    const Item item = MakeItem(rows, serial);
    const auto sortedEnd = m_items.begin() + static_cast<std::ptrdiff_t>(m_nSorted);
    const auto at = std::lower_bound(m_items.begin(), sortedEnd, item,
                                     [&](const Item& a, const Item& b) { return Less(rows, a, b); });
    if (at != sortedEnd && at->m_nSerial == serial) {
        return static_cast<std::size_t>(at - m_items.begin());
    }
    // Not yet placed (between the two steps of an update).
    for (auto it = sortedEnd; it != m_items.end(); ++it) {
        if (it->m_nSerial == serial) {
            return static_cast<std::size_t>(it - m_items.begin());
        }
    }
    return std::nullopt;
}

std::vector<std::uint32_t> CRowOrder::NewlyAccepted(const CRowStore& rows,
                                                    const AddressCheck& recheck) const {
    std::vector<std::uint32_t> serials;
    if (!m_filter) {
        return serials;
    }
    // A pass over the flags, with the filter asked only for hidden rows whose names changed.
    for (std::size_t serial = 0; serial < m_flags.size() && serial < rows.RowCount(); ++serial) {
        if (m_flags[serial] != 0) {
            continue;
        }
        const auto [source, destination] = rows.AddressesOf(serial);
        if (recheck(source, destination) && m_filter(rows.Entry(serial))) {
            serials.push_back(static_cast<std::uint32_t>(serial));
        }
    }
    return serials;
}

void CRowOrder::AddRows(const CRowStore& rows, const std::vector<std::uint32_t>& serials) {
    for (const std::uint32_t serial : serials) {
        if (serial < m_flags.size() && m_flags[serial] == 0) {
            m_flags[serial] = kShown;
            m_items.push_back(MakeItem(rows, serial));
        }
    }
}

void CRowOrder::PlaceAdded(const CRowStore& rows) {
    if (m_nSorted == m_items.size()) {
        return;
    }
    // Less orders the default order too (every key 0, newest first), so one merge serves both.
    const auto less = [&](const Item& a, const Item& b) { return Less(rows, a, b); };
    const auto middle = m_items.begin() + static_cast<std::ptrdiff_t>(m_nSorted);
    std::sort(middle, m_items.end(), less);
    std::inplace_merge(m_items.begin(), middle, m_items.end(), less);
    m_nSorted = m_items.size();
}

} // namespace flowsentry
