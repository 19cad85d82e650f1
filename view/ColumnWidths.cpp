// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/ColumnWidths.h"

#include <algorithm>

namespace flowsentry {

ColumnWidthArray ColumnWidths(int clientWidth, int addressWidth) {
    const int w = clientWidth / 10;
    ColumnWidthArray widths{};
    widths.fill(w);
    widths[ColSrcAddress] = std::max(w + 10, addressWidth);
    widths[ColDestAddress] = std::max(w + 10, addressWidth);
    widths[ColDateTime] = w + 20;
    return widths;
}

std::optional<ColumnWidthArray> ColumnWidthsAfterResize(int clientWidth, int clientHeight, int addressWidth) {
    constexpr int kSmallest = 100;
    if (clientWidth <= kSmallest || clientHeight <= kSmallest) {
        return std::nullopt;
    }
    return ColumnWidths(clientWidth, addressWidth);
}

} // namespace flowsentry
