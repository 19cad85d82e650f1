// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ListToText.h"

namespace flowsentry {

void AppendRowAsText(const CTrafficEntry& entry, std::string& out) {
    for (int column = 0; column < ColumnCount; ++column) {
        out += CellText(entry, column);
        out += '\t';
    }
    out += '\r';
}

void AppendRowAsText(const CRowStore& rows, std::size_t row, std::string& out) {
    AppendRowAsText(rows.Row(row), out);
}

std::string ListToText(const CRowStore& rows) {
    std::string text;
    // Enough for a typical row, so that large tables are not copied many times while growing.
    text.reserve(rows.RowCount() * 96);
    for (std::size_t row = 0; row < rows.RowCount(); ++row) {
        AppendRowAsText(rows, row, text);
    }
    return text;
}

} // namespace flowsentry
