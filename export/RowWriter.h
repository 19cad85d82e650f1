// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/CellWriter.h"
#include "traffic/RowStore.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace flowsentry {

// The formats other programs read: CSV and JSON, with every column of the list. One writer serves the
// window's Export and flowsentry-cli.
enum class RowFormat { Csv, Json };

// The host name of a row's source (`source`) or destination; empty while none is known. Called once per row
// and end, on the thread that writes; the text has to stay valid until the next call.
using NameSource = std::function<std::string_view(const CTrafficEntry& entry, bool source)>;

struct RowWriterOptions {
    RowFormat m_format = RowFormat::Csv;
    // "Send Rate", "Rcv Rate" and "Peak Rate" in bytes per second after the ten columns.
    bool m_bRates = false;
    // "Source Name" and "Destination Name" after those; without a source the columns are left out.
    NameSource m_names;
    // JSON on a single line, for JSON Lines (one document a line); CSV is line based already.
    bool m_bOneLine = false;
};

// Writes rows as CSV or JSON, a row at a time, into a string the caller hands on in blocks:
//  - CSV: a heading line with the list's headings, then a line per row ended by "\n". Fields are quoted
//    as RFC 4180 says where they hold a comma, a quote or a line break (names can).
//  - JSON: an array with an object per row, keyed by the headings, in the columns' order.
// Counters are integers; rates the shortest decimal that reads back as the same double; the time of the
// row's last packet ISO 8601 in local time with its offset ("2026-12-09T05:53:40+01:00"), or null (an
// empty CSV field) where the system cannot convert it. Addresses, the protocol and names are strings, a
// name not known an empty CSV field or null. One
// writer serves one thread: it keeps the texts it has made.
class CRowWriter {
public:
    explicit CRowWriter(RowWriterOptions options);

    // The heading line, or the array's opening.
    void Begin(std::string& out);
    // One row; `rates` is read only when the options ask for rates.
    void Row(std::string& out, const CTrafficEntry& entry, const RowRates& rates);
    // The array's end; nothing for CSV.
    void End(std::string& out);

private:
    void AppendTime(std::string& out, std::int64_t seconds);
    void AppendName(std::string& out, std::string_view name);

    RowWriterOptions m_options;
    CCellWriter m_cells;
    bool m_bFirstRow = true;
    // Rows updated in the same second share their time text (a local-time conversion costs a microsecond),
    // kept by the second as CCellWriter keeps its date texts.
    struct TimeSlot {
        std::int64_t m_tSeconds = 0;
        bool m_bFilled = false;
        std::string m_strText;
    };
    std::array<TimeSlot, 1024> m_times{};
};

// "2026-12-09T05:53:40+01:00": `seconds` since the epoch in the local time zone with its offset; empty when
// it cannot be converted.
std::string IsoTimeText(std::int64_t seconds);

// A CSV field as RFC 4180 writes it: as it is, or quoted with its quotes doubled where it holds a comma, a
// quote, a carriage return or a line feed.
void AppendCsvField(std::string& out, std::string_view field);
// A JSON string with its quotes: quotes, backslashes and control characters escaped, and bytes that are not
// UTF-8 replaced by U+FFFD, so that any name gives a document that parses.
void AppendJsonString(std::string& out, std::string_view text);

// Hands text to a stream a block at a time, so that a table is never held as text whole. After a failed
// write the rest is dropped; the caller sees the stream's error and says so.
class CBlockOutput {
public:
    explicit CBlockOutput(std::FILE* out);
    CBlockOutput(const CBlockOutput&) = delete;
    CBlockOutput& operator=(const CBlockOutput&) = delete;
    ~CBlockOutput() { Flush(); }

    std::string& Block() { return m_strBlock; }
    // Called after each row: writes the block once it is large enough.
    void RowDone() {
        if (m_strBlock.size() >= kBlockBytes) {
            Flush();
        }
    }
    void Flush();

private:
    static constexpr std::size_t kBlockBytes = std::size_t{256} * 1024;
    std::FILE* m_pOut;
    std::string m_strBlock;
};

// Every row of `rows`, top row first, through a CRowWriter into `out`.
void WriteRows(const CRowStore& rows, const RowWriterOptions& options, CBlockOutput& out);

} // namespace flowsentry
