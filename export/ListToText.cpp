// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ListToText.h"

namespace flowsentry {

void AppendRowAsText(CCellWriter& cells, const CTrafficEntry& entry, std::string& out) {
    std::array<char, ColumnCount*(CCellWriter::kMaxCell + 1) + 1> line;
    char* at = line.data();
    for (int column = 0; column < ColumnCount; ++column) {
        at = cells.Write(at, entry, column);
        *at++ = '\t';
    }
    *at++ = '\r';
    out.append(line.data(), at);
}

std::string ListToText(const CRowStore& rows) {
    std::string text;
    // Enough for a typical row, so that large tables are not copied many times while growing.
    text.reserve(rows.RowCount() * 96);
    CCellWriter cells;
    for (std::size_t row = 0; row < rows.RowCount(); ++row) {
        AppendRowAsText(cells, rows.Row(row), text);
    }
    return text;
}

} // namespace flowsentry
