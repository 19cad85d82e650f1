// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/RowStore.h"

#include "traffic/CellWriter.h"

namespace flowsentry {

void CRowStore::Apply(const TrafficBatch& batch) {
    ApplyResetAndNewRows(batch);
    ApplyChangedRows(batch);
}

void CRowStore::ApplyResetAndNewRows(const TrafficBatch& batch) {
    if (batch.m_bReset) {
        m_rows.clear();
    }
    // The batch lists new rows newest first; the store keeps creation order.
    for (auto entry = batch.m_newRows.rbegin(); entry != batch.m_newRows.rend(); ++entry) {
        m_rows.push_back(*entry);
    }
}

void CRowStore::ApplyChangedRows(const TrafficBatch& batch) {
    for (const RowChange& change : batch.m_changedRows) {
        if (change.m_nRow < m_rows.size()) {
            m_rows[m_rows.size() - 1 - change.m_nRow] = change.m_entry;
        }
    }
}

void CRowStore::Clear() {
    m_rows.clear();
}

std::string CRowStore::CellText(std::size_t row, int column) const {
    return flowsentry::CellText(Row(row), column);
}

} // namespace flowsentry
