// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/ChunkedVector.h"
#include "traffic/TrafficEntry.h"
#include "traffic/TrafficTable.h"

#include <cstddef>
#include <string>

namespace flowsentry {

// The consumer's copy of the rows (the window's model, the command-line front end), kept up to date by
// applying the table's batches. Row 0 is the newest entry. Owned by one thread, so reading it needs no lock
// and every read of it is one consistent snapshot.
class CRowStore {
public:
    void Apply(const TrafficBatch& batch);
    // Apply in two steps, for a consumer that announces the inserted rows before the changed ones:
    // the reset and the new rows, then the changed rows.
    void ApplyResetAndNewRows(const TrafficBatch& batch);
    void ApplyChangedRows(const TrafficBatch& batch);
    void Clear();

    [[nodiscard]] std::size_t RowCount() const { return m_rows.size(); }
    [[nodiscard]] const CTrafficEntry& Row(std::size_t row) const { return m_rows[m_rows.size() - 1 - row]; }
    [[nodiscard]] std::string CellText(std::size_t row, int column) const;

private:
    ChunkedVector<CTrafficEntry> m_rows; // creation order: row r is element size - 1 - r
};

} // namespace flowsentry
