// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/ColumnWidths.h"

namespace flowsentry {

ColumnWidthArray ColumnWidths(int clientWidth) {
    const int w = clientWidth / 10;
    ColumnWidthArray widths{};
    widths.fill(w);
    widths[ColSrcAddress] = w + 10;
    widths[ColDestAddress] = w + 10;
    widths[ColDateTime] = w + 20;
    return widths;
}

std::optional<ColumnWidthArray> ColumnWidthsAfterResize(int clientWidth, int clientHeight) {
    constexpr int kSmallest = 100;
    if (clientWidth <= kSmallest || clientHeight <= kSmallest) {
        return std::nullopt;
    }
    return ColumnWidths(clientWidth);
}

} // namespace flowsentry
