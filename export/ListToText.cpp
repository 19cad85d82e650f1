#include "export/ListToText.h"

namespace flowsentry {

std::string ListToText(const CRowStore& rows) {
    std::string text;
    // Enough for a typical row, so that large tables are not copied many times while growing.
    text.reserve(rows.RowCount() * 96);
    for (std::size_t row = 0; row < rows.RowCount(); ++row) {
        for (int column = 0; column < ColumnCount; ++column) {
            text += rows.CellText(row, column);
            text += '\t';
        }
        text += '\r';
    }
    return text;
}

} // namespace flowsentry
