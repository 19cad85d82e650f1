// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/CellWriter.h"
#include "traffic/RowStore.h"

#include <string>

namespace flowsentry {

// The rows as text: top row first, every cell in column index order followed by a tab, every row ended by
// a carriage return, no heading line. The same bytes go to a saved file and to the clipboard.
std::string ListToText(const CRowStore& rows);
// One row of that text (its cells, tabs and carriage return), appended to `out`.
void AppendRowAsText(CCellWriter& cells, const CTrafficEntry& entry, std::string& out);

} // namespace flowsentry
