// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/RowStore.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace flowsentry {

// The order in which the list shows the rows of a CRowStore: every row newest first (the default), or
// sorted by a column, and only the rows a filter lets through. It is kept up to date after each apply at
// the cost of what changed: the changed rows are sorted among themselves and merged into the order in one
// pass, so a million rows with ten thousand changing cost a few milliseconds, not a sort of everything.
class CRowOrder {
public:
    static constexpr int kDefaultOrder = -1;
    // Which rows are shown; the fields it reads (addresses, protocol) never change while a row lives.
    using Filter = std::function<bool(const CTrafficEntry&)>;

    // Orders by `column` (kDefaultOrder: newest first); ties newest first. Rebuilds the order.
    void SetSort(const CRowStore& rows, int column, bool descending);
    // Shows only the rows `filter` lets through (none: every row). Rebuilds the order.
    void SetFilter(const CRowStore& rows, Filter filter);
    // Rebuilds the order from the rows (after the rate window changed, say).
    void Rebuild(const CRowStore& rows);

    [[nodiscard]] int SortColumn() const { return m_nColumn; }
    [[nodiscard]] bool Descending() const { return m_bDescending; }
    [[nodiscard]] bool Filtered() const { return static_cast<bool>(m_filter); }
    // Every row in the store's own order: row r is serial count - 1 - r, with nothing kept here.
    [[nodiscard]] bool IsPlain() const { return m_nColumn == kDefaultOrder && !m_filter; }
    [[nodiscard]] bool Accepts(const CTrafficEntry& entry) const { return !m_filter || m_filter(entry); }

    // Brings the order up to date after rows.Apply, in two steps for a consumer that announces new rows
    // before it moves rows. First the new rows that pass the filter: at the top in the default order, at
    // the bottom when sorted (returns how many).
    std::size_t AddNewRows(const CRowStore& rows);
    // Then, when sorted, the new and changed rows move to their places. Returns whether any row moved.
    bool Resort(const CRowStore& rows);
    // The filter asks once per row, when it comes; a row's names can come later and make a filter word match
    // it. Returns the serials of the rows the filter turned away that `recheck` picks (their names changed)
    // and the filter now lets through; AddRows then adds them after the shown rows and PlaceAdded puts them
    // in their places (two steps, as for new rows). Rows already shown stay shown.
    using AddressCheck = std::function<bool(const IpAddress& source, const IpAddress& destination)>;
    [[nodiscard]] std::vector<std::uint32_t> NewlyAccepted(const CRowStore& rows,
                                                           const AddressCheck& recheck) const;
    void AddRows(const CRowStore& rows, const std::vector<std::uint32_t>& serials);
    void PlaceAdded(const CRowStore& rows);
    // Forgets every row, as after a reset of the store.
    void Clear() {
        m_items.clear();
        m_flags.clear();
        m_nSorted = 0;
    }

    [[nodiscard]] std::size_t Size(const CRowStore& rows) const {
        return IsPlain() ? rows.RowCount() : m_items.size();
    }
    [[nodiscard]] std::size_t SerialAt(const CRowStore& rows, std::size_t row) const {
        return IsPlain() ? rows.SerialOf(row) : m_items[row].m_nSerial;
    }
    // Where a row is shown, if it is (after Resort).
    [[nodiscard]] std::optional<std::size_t> RowOf(const CRowStore& rows, std::size_t serial) const;

private:
    struct Item {
        std::uint64_t m_nKey = 0; // the sort value, complemented when descending
        std::uint32_t m_nSerial = 0;
    };
    [[nodiscard]] Item MakeItem(const CRowStore& rows, std::size_t serial) const;
    [[nodiscard]] bool Less(const CRowStore& rows, const Item& a, const Item& b) const;

    int m_nColumn = kDefaultOrder;
    bool m_bDescending = false;
    Filter m_filter;
    std::vector<Item> m_items;                 // row order; empty while IsPlain()
    std::size_t m_nSorted = 0;                 // the items in order; after them, new rows not yet placed
    std::vector<Item> m_scratch;               // the merge's output, kept to spare an allocation each time
    static constexpr std::uint8_t kShown = 1;  // the filter lets the row through
    static constexpr std::uint8_t kMoving = 2; // taken out, to be placed again
    std::vector<std::uint8_t> m_flags;         // per serial, while !IsPlain()
};

} // namespace flowsentry
