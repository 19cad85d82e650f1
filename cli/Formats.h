#pragma once

#include "traffic/RowStore.h"

#include <string>
#include <string_view>

namespace flowsentry::cli {

enum class Format { Table, Text, Csv, Json };

bool ParseFormat(std::string_view name, Format& format);
// The rows (newest first) in one of the output formats. Text is exactly what the window's Save As writes.
std::string FormatRows(const CRowStore& rows, Format format);

} // namespace flowsentry::cli
