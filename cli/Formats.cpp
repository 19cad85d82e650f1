#include "cli/Formats.h"

#include "export/ListToText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace flowsentry::cli {
namespace {

bool IsNumberColumn(int column) { return column >= ColSendData && column <= ColTotalPackets; }

std::uint64_t NumberCell(const CTrafficEntry& e, int column) {
    switch (column) {
    case ColSendData:
        return e.m_nSendData;
    case ColRcvData:
        return e.m_nRcvData;
    case ColTotalData:
        return e.m_nSendData + e.m_nRcvData;
    case ColSendPackets:
        return e.m_nSendPackets;
    case ColRcvPackets:
        return e.m_nRcvPackets;
    default:
        return e.m_nSendPackets + e.m_nRcvPackets;
    }
}

std::string AlignedTable(const CRowStore& rows) {
    std::array<std::size_t, ColumnCount> widths{};
    for (int c = 0; c < ColumnCount; ++c) {
        widths[static_cast<std::size_t>(c)] = std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]).size();
    }
    std::vector<std::array<std::string, ColumnCount>> cells(rows.RowCount());
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        for (int c = 0; c < ColumnCount; ++c) {
            auto& cell = cells[r][static_cast<std::size_t>(c)];
            cell = rows.CellText(r, c);
            widths[static_cast<std::size_t>(c)] = std::max(widths[static_cast<std::size_t>(c)], cell.size());
        }
    }
    std::string out;
    auto line = [&](auto cellOf) {
        for (int c = 0; c < ColumnCount; ++c) {
            const std::string_view cell = cellOf(c);
            const std::size_t pad = widths[static_cast<std::size_t>(c)] - cell.size();
            if (IsNumberColumn(c)) {
                out.append(pad, ' ').append(cell);
            } else {
                out.append(cell);
                if (c + 1 < ColumnCount) {
                    out.append(pad, ' ');
                }
            }
            out += c + 1 < ColumnCount ? "  " : "\n";
        }
    };
    line([](int c) { return std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]); });
    for (const auto& row : cells) {
        line([&row](int c) { return std::string_view(row[static_cast<std::size_t>(c)]); });
    }
    return out;
}

std::string Csv(const CRowStore& rows) {
    std::string out;
    for (int c = 0; c < ColumnCount; ++c) {
        out += kColumnHeadings[static_cast<std::size_t>(c)];
        out += c + 1 < ColumnCount ? ',' : '\n';
    }
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const CTrafficEntry& e = rows.Row(r);
        for (int c = 0; c < ColumnCount; ++c) {
            // No cell text holds a comma or a quote, so no quoting is needed.
            out += IsNumberColumn(c) ? std::to_string(NumberCell(e, c)) : rows.CellText(r, c);
            out += c + 1 < ColumnCount ? ',' : '\n';
        }
    }
    return out;
}

std::string Json(const CRowStore& rows) {
    std::string out = "[";
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const CTrafficEntry& e = rows.Row(r);
        out += r == 0 ? "\n  {" : ",\n  {";
        for (int c = 0; c < ColumnCount; ++c) {
            out += '"';
            out += kColumnHeadings[static_cast<std::size_t>(c)];
            out += "\": ";
            if (IsNumberColumn(c)) {
                out += std::to_string(NumberCell(e, c));
            } else {
                // Addresses, dates and protocol names hold no character that JSON must escape.
                out += '"' + rows.CellText(r, c) + '"';
            }
            if (c + 1 < ColumnCount) {
                out += ", ";
            }
        }
        out += '}';
    }
    out += rows.RowCount() == 0 ? "]\n" : "\n]\n";
    return out;
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
    } else {
        return false;
    }
    return true;
}

std::string FormatRows(const CRowStore& rows, Format format) {
    switch (format) {
    case Format::Table:
        return AlignedTable(rows);
    case Format::Text:
        return ListToText(rows);
    case Format::Csv:
        return Csv(rows);
    case Format::Json:
        return Json(rows);
    }
    return {};
}

} // namespace flowsentry::cli
