// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Formats.h"

#include "export/ListToText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace flowsentry::cli {
namespace {

// Writes the text of a cell, the same bytes as CellText, without making a string for each cell: with
// 100,000 rows the strings and the local-time conversions cost more than reading the capture.
class CellWriter {
public:
    // Longest cell: a 20-digit counter; a date text is longer only in years past 9999, which strftime
    // writes in full (DateTimeText allows 64).
    static constexpr std::size_t kMaxCell = 64;

    CellWriter() {
        for (unsigned octet = 0; octet < m_octets.size(); ++octet) {
            Text& text = m_octets[octet];
            text.m_nLength = static_cast<std::uint8_t>(
                std::to_chars(text.m_chars.data(), text.m_chars.data() + text.m_chars.size(), octet).ptr -
                text.m_chars.data());
        }
        for (unsigned proto = 0; proto < m_protocols.size(); ++proto) {
            m_protocols[proto] = ProtocolText(static_cast<std::uint8_t>(proto));
        }
    }

    // Writes the cell at `at`, which has room for kMaxCell characters; returns the end.
    char* Write(char* at, const CTrafficEntry& e, int column) {
        switch (column) {
        case ColSrcAddress:
            return WriteAddress(at, e.m_dwSrcAddress);
        case ColDestAddress:
            return WriteAddress(at, e.m_dwDestAddress);
        case ColDateTime:
            return Copy(at, DateText(e.m_tLastUpdate));
        case ColProto:
            return Copy(at, m_protocols[e.m_nProto]);
        default:
            return std::to_chars(at, at + kMaxCell, CounterValue(e, column)).ptr;
        }
    }

    void Append(std::string& out, const CTrafficEntry& e, int column) {
        std::array<char, kMaxCell> cell;
        out.append(cell.data(), Write(cell.data(), e, column));
    }

private:
    struct Text {
        std::array<char, 3> m_chars{};
        std::uint8_t m_nLength = 0;
    };

    char* WriteAddress(char* at, Ipv4Address address) const {
        for (unsigned shift = 24;; shift -= 8) {
            const Text& octet = m_octets[(address >> shift) & 0xFFU];
            std::copy_n(octet.m_chars.data(), octet.m_chars.size(),
                        at); // always 3 bytes: a fixed, cheap copy
            at += octet.m_nLength;
            if (shift == 0) {
                return at;
            }
            *at++ = '.';
        }
    }

    static char* Copy(char* at, const std::string& text) {
        const std::size_t length = std::min(text.size(), kMaxCell);
        std::copy_n(text.data(), length, at);
        return at + length;
    }

    // Rows updated in the same second share one text. The slot is picked by the second itself, so rows
    // from a few minutes of traffic, in any order, mostly find their text made.
    const std::string& DateText(std::int64_t seconds) {
        DateSlot& slot = m_dates[static_cast<std::uint64_t>(seconds) % m_dates.size()];
        if (!slot.m_bFilled || slot.m_tSeconds != seconds) {
            slot.m_strText = DateTimeText(seconds);
            slot.m_tSeconds = seconds;
            slot.m_bFilled = true;
        }
        return slot.m_strText;
    }

    struct DateSlot {
        std::int64_t m_tSeconds = 0;
        bool m_bFilled = false;
        std::string m_strText;
    };
    std::array<Text, 256> m_octets{};
    std::array<std::string, 256> m_protocols;
    std::array<DateSlot, 1024> m_dates{};
};

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

void AlignedTable(const CRowStore& rows, BlockWriter& writer) {
    CellWriter cells;
    std::string cell;
    auto cellText = [&](std::size_t r, int c) -> const std::string& {
        cell.clear();
        cells.Append(cell, rows.Row(r), c);
        return cell;
    };
    // A first pass finds the column widths; the cells are made again when written, rather than kept.
    std::array<std::size_t, ColumnCount> widths{};
    for (int c = 0; c < ColumnCount; ++c) {
        widths[static_cast<std::size_t>(c)] = std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]).size();
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

void Csv(const CRowStore& rows, BlockWriter& writer) {
    std::string& out = writer.Block();
    for (int c = 0; c < ColumnCount; ++c) {
        out += kColumnHeadings[static_cast<std::size_t>(c)];
        out += c + 1 < ColumnCount ? ',' : '\n';
    }
    CellWriter cells;
    std::array<char, ColumnCount*(CellWriter::kMaxCell + 1)> line;
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        const CTrafficEntry& e = rows.Row(r);
        char* at = line.data();
        for (int c = 0; c < ColumnCount; ++c) {
            // No cell text holds a comma or a quote, so no quoting is needed.
            at = cells.Write(at, e, c);
            *at++ = c + 1 < ColumnCount ? ',' : '\n';
        }
        out.append(line.data(), at);
        writer.RowDone();
    }
}

void Json(const CRowStore& rows, BlockWriter& writer) {
    std::string& out = writer.Block();
    out += '[';
    CellWriter cells;
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
        out += '}';
        writer.RowDone();
    }
    out += rows.RowCount() == 0 ? "]\n" : "\n]\n";
}

void Text(const CRowStore& rows, BlockWriter& writer) {
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        AppendRowAsText(rows, r, writer.Block());
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
    } else {
        return false;
    }
    return true;
}

void WriteRows(const CRowStore& rows, Format format, std::FILE* out) {
    BlockWriter writer(out);
    switch (format) {
    case Format::Table:
        AlignedTable(rows, writer);
        break;
    case Format::Text:
        Text(rows, writer);
        break;
    case Format::Csv:
        Csv(rows, writer);
        break;
    case Format::Json:
        Json(rows, writer);
        break;
    }
}

} // namespace flowsentry::cli
