// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Formats.h"

#include "export/ListToText.h"
#include "traffic/CellWriter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace flowsentry::cli {
namespace {

// Collects output and hands it to the stream in blocks.
class BlockWriter {
public:
    explicit BlockWriter(std::FILE* out) : m_pOut(out) { m_strBlock.reserve(kBlockBytes + 1024); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;
    ~BlockWriter() { Flush(); }

    std::string& Block() { return m_strBlock; }
    // Called after each row: writes the block once it is large enough.
    void RowDone() {
        if (m_strBlock.size() >= kBlockBytes) {
            Flush();
        }
    }
    // After a failed write the rest is dropped; the caller sees the stream's error and says so.
    void Flush() {
        if (std::ferror(m_pOut) == 0) {
            std::fwrite(m_strBlock.data(), 1, m_strBlock.size(), m_pOut);
        }
        m_strBlock.clear();
    }

private:
    static constexpr std::size_t kBlockBytes = std::size_t{256} * 1024;
    std::FILE* m_pOut;
    std::string m_strBlock;
};

void AlignedTable(const CRowStore& rows, BlockWriter& writer, const INameLookup* names) {
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

constexpr std::array<const char*, 3> kRateHeadings = {"Send Rate", "Rcv Rate", "Peak Rate"};

// A rate as the shortest decimal that reads back as the same number.
char* WriteRate(char* at, double rate) {
    return std::to_chars(at, at + 32, rate).ptr;
}

void Csv(const CRowStore& rows, BlockWriter& writer, bool rates) {
    std::string& out = writer.Block();
    for (int c = 0; c < ColumnCount; ++c) {
        out += kColumnHeadings[static_cast<std::size_t>(c)];
        out += c + 1 < ColumnCount ? ',' : '\n';
    }
    if (rates) {
        out.pop_back();
        for (const char* heading : kRateHeadings) {
            (out += ',') += heading;
        }
        out += '\n';
    }
    CCellWriter cells;
    std::array<char, ColumnCount*(CCellWriter::kMaxCell + 1) + 3 * 33> line;
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const CTrafficEntry& e = rows.Row(r);
        char* at = line.data();
        for (int c = 0; c < ColumnCount; ++c) {
            // No cell text holds a comma or a quote, so no quoting is needed.
            at = cells.Write(at, e, c);
            *at++ = ',';
        }
        if (rates) {
            const RowRates rate = rows.Rates(r);
            for (const double value : {rate.m_dSend, rate.m_dRcv, rate.m_dPeak}) {
                at = WriteRate(at, value);
                *at++ = ',';
            }
        }
        at[-1] = '\n';
        out.append(line.data(), at);
        writer.RowDone();
    }
}

void Json(const CRowStore& rows, BlockWriter& writer, bool rates) {
    std::string& out = writer.Block();
    out += '[';
    CCellWriter cells;
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const CTrafficEntry& e = rows.Row(r);
        out += r == 0 ? "\n  {" : ",\n  {";
        for (int c = 0; c < ColumnCount; ++c) {
            out += '"';
            out += kColumnHeadings[static_cast<std::size_t>(c)];
            out += "\": ";
            if (IsCounterColumn(c)) {
                cells.Append(out, e, c);
            } else {
                // Addresses, dates and protocol names hold no character that JSON must escape.
                out += '"';
                cells.Append(out, e, c);
                out += '"';
            }
            if (c + 1 < ColumnCount) {
                out += ", ";
            }
        }
        if (rates) {
            const RowRates rate = rows.Rates(r);
            const std::array<double, 3> values = {rate.m_dSend, rate.m_dRcv, rate.m_dPeak};
            for (std::size_t i = 0; i < values.size(); ++i) {
                std::array<char, 32> number;
                ((out += ", \"") += kRateHeadings[i]) += "\": ";
                out.append(number.data(), WriteRate(number.data(), values[i]));
            }
        }
        out += '}';
        writer.RowDone();
    }
    out += rows.RowCount() == 0 ? "]\n" : "\n]\n";
}

void Text(const CRowStore& rows, BlockWriter& writer) {
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

void WriteRows(const CRowStore& rows, Format format, std::FILE* out, bool rates, const INameLookup* names) {
    BlockWriter writer(out);
    switch (format) {
    case Format::Table:
        AlignedTable(rows, writer, names);
        break;
    case Format::Text:
        Text(rows, writer);
        break;
    case Format::Csv:
        Csv(rows, writer, rates);
        break;
    case Format::Json:
        Json(rows, writer, rates);
        break;
    case Format::None:
        break;
    }
}

} // namespace flowsentry::cli
