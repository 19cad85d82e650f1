// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Formats.h"

#include "export/ListToText.h"
#include "export/RowWriter.h"
#include "traffic/CellWriter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace flowsentry::cli {
namespace {

void AlignedTable(const CRowStore& rows, CBlockOutput& writer, const INameLookup* names) {
    CCellWriter cells;
    std::string cell;
    auto cellText = [&](std::size_t r, int c) -> const std::string& {
        cell.clear();
        const CTrafficEntry entry = rows.Row(r);
        if (names != nullptr && (c == ColSrcAddress || c == ColDestAddress) && !entry.IsOverflow()) {
            cell = names->NameOf(c == ColSrcAddress ? entry.Source() : entry.Destination());
        }
        if (cell.empty()) {
            cells.Append(cell, entry, c);
        }
        return cell;
    };
    // A first pass finds the column widths; the cells are made again when written, rather than kept.
    std::array<std::size_t, ColumnCount> widths{};
    for (int c = 0; c < ColumnCount; ++c) {
        widths[static_cast<std::size_t>(c)] =
            std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]).size();
    }
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        for (int c = 0; c < ColumnCount; ++c) {
            widths[static_cast<std::size_t>(c)] =
                std::max(widths[static_cast<std::size_t>(c)], cellText(r, c).size());
        }
    }
    std::string& out = writer.Block();
    auto line = [&](auto cellOf) {
        for (int c = 0; c < ColumnCount; ++c) {
            const std::string_view text = cellOf(c);
            const std::size_t pad = widths[static_cast<std::size_t>(c)] - text.size();
            if (IsCounterColumn(c)) {
                out.append(pad, ' ').append(text);
            } else {
                out.append(text);
                if (c + 1 < ColumnCount) {
                    out.append(pad, ' ');
                }
            }
            out += c + 1 < ColumnCount ? "  " : "\n";
        }
        writer.RowDone();
    };
    line([](int c) { return std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]); });
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        line([&cellText, r](int c) { return std::string_view(cellText(r, c)); });
    }
}

void Text(const CRowStore& rows, CBlockOutput& writer) {
    CCellWriter cells;
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        AppendRowAsText(cells, rows.Row(r), writer.Block());
        writer.RowDone();
    }
}

} // namespace

bool ParseFormat(std::string_view name, Format& format) {
    if (name == "table") {
        format = Format::Table;
    } else if (name == "text") {
        format = Format::Text;
    } else if (name == "csv") {
        format = Format::Csv;
    } else if (name == "json") {
        format = Format::Json;
    } else if (name == "none") {
        format = Format::None;
    } else {
        return false;
    }
    return true;
}

void WriteRows(const CRowStore& rows, Format format, std::FILE* out, bool rates, bool oneLine,
               const INameLookup* names) {
    CBlockOutput writer(out);
    switch (format) {
    case Format::Table:
        AlignedTable(rows, writer, names);
        break;
    case Format::Text:
        Text(rows, writer);
        break;
    case Format::Csv:
    case Format::Json: {
        RowWriterOptions options;
        options.m_format = format == Format::Csv ? RowFormat::Csv : RowFormat::Json;
        options.m_bRates = rates;
        options.m_bOneLine = oneLine;
        if (names != nullptr) {
            options.m_names = [names](const CTrafficEntry& entry, bool source) {
                return entry.IsOverflow() ? std::string_view()
                                          : names->NameOf(source ? entry.Source() : entry.Destination());
            };
        }
        flowsentry::WriteRows(rows, options, writer);
        break;
    }
    case Format::None:
        break;
    }
}

} // namespace flowsentry::cli
