// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <array>
#include <optional>

namespace flowsentry {

using ColumnWidthArray = std::array<int, ColumnCount>;

// The list's width shared out among the ten columns: w = client width / 10; both addresses get w + 10, the
// time w + 20 (its text is the longest), every other column w. The total is 10 * w + 40, a little wider
// than the client area, so the list scrolls sideways by a few pixels. `addressWidth` is the least width of
// an address column: 0 while the list holds IPv4 rows only, the width of the longest IPv6 address once it
// holds IPv6 rows.
ColumnWidthArray ColumnWidths(int clientWidth, int addressWidth = 0);

// The widths after a size change. A client area of 100 pixels or less in either direction (a window being
// minimised or squeezed) keeps the widths the user had.
std::optional<ColumnWidthArray> ColumnWidthsAfterResize(int clientWidth, int clientHeight,
                                                        int addressWidth = 0);

} // namespace flowsentry
