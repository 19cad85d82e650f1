#include "cli/Formats.h"

#include "export/ListToText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
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
    // A first pass finds the column widths; the cells are made again when written, rather than kept.
    std::array<std::size_t, ColumnCount> widths{};
    for (int c = 0; c < ColumnCount; ++c) {
        widths[static_cast<std::size_t>(c)] = std::string_view(kColumnHeadings[static_cast<std::size_t>(c)]).size();
    }
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        for (int c = 0; c < ColumnCount; ++c) {
            widths[static_cast<std::size_t>(c)] = std::max(widths[static_cast<std::size_t>(c)], rows.CellText(r, c).size());
        }
    }
    std::string& out = writer.Block();
    auto line = [&](auto cellOf) {
        for (int c = 0; c < ColumnCount; ++c) {
            const std::string cell = cellOf(c);
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
        writer.RowDone();
    };
    line([](int c) { return std::string(kColumnHeadings[static_cast<std::size_t>(c)]); });
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        line([&rows, r](int c) { return rows.CellText(r, c); });
    }
}

void Csv(const CRowStore& rows, BlockWriter& writer) {
    std::string& out = writer.Block();
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
        writer.RowDone();
    }
}

void Json(const CRowStore& rows, BlockWriter& writer) {
    std::string& out = writer.Block();
    out += '[';
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
