// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/NameLookup.h"
#include "traffic/RowStore.h"

#include <cstdio>
#include <string_view>

namespace flowsentry::cli {

// None prints no table (flow records sent with --ipfix are then the only output).
enum class Format { Table, Text, Csv, Json, None };

bool ParseFormat(std::string_view name, Format& format);
// Writes the rows (newest first) in one of the output formats, a block at a time, so that a million rows
// never stand in memory twice. Text is exactly what the window's Save As writes.
// Csv and json are CRowWriter's. With `rates` (a live capture) they add each row's send, receive and peak
// rates in bytes per second; with `oneLine` json is a single line (JSON Lines, for --interval).
// With `names` (--resolve), table's address cells show the host names known, numbers where none is, and csv
// and json add "Source Name" and "Destination Name".
void WriteRows(const CRowStore& rows, Format format, std::FILE* out, bool rates = false, bool oneLine = false,
               const INameLookup* names = nullptr);

} // namespace flowsentry::cli
