// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/RowWriter.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace flowsentry {
namespace {

constexpr std::array<const char*, 3> kRateHeadings = {"Send Rate", "Rcv Rate", "Peak Rate"};
constexpr std::array<const char*, 2> kNameHeadings = {"Source Name", "Destination Name"};

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// A rate as the shortest decimal that reads back as the same number.
void AppendRate(std::string& out, double rate) {
    std::array<char, 32> number;
    out.append(number.data(), std::to_chars(number.data(), number.data() + number.size(), rate).ptr);
}

} // namespace

std::string IsoTimeText(std::int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
    const long offset = local.tm_gmtoff;
    const long minutes = std::labs(offset) / 60;
    std::array<char, 64> text;
    const int n = std::snprintf(text.data(), text.size(), "%04lld-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                                static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                                minutes / 60, minutes % 60);
    return n > 0 ? std::string(text.data(), static_cast<std::size_t>(n)) : std::string();
}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        std::size_t length = 1;
        if (c == '"' || c == '\\') {
            (out += '\\') += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            // DEL needs no escape, but a control character written plainly surprises whoever reads the file.
            ((out += "\\u00") += kHex[c >> 4]) += kHex[c & 0xF];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((length = Utf8Length(text)) == 0) {
            out += "\\ufffd";
            length = 1;
        } else {
            out += text.substr(0, length);
        }
        text.remove_prefix(length);
    }
    out += '"';
}

CRowWriter::CRowWriter(RowWriterOptions options) : m_options(std::move(options)) {}

void CRowWriter::Begin(std::string& out) {
    m_bFirstRow = true;
    if (m_options.m_format == RowFormat::Json) {
        out += '[';
        return;
    }
    for (int c = 0; c < ColumnCount; ++c) {
        if (c > 0) {
            out += ',';
        }
        out += kColumnHeadings[static_cast<std::size_t>(c)];
    }
    if (m_options.m_bRates) {
        for (const char* heading : kRateHeadings) {
            (out += ',') += heading;
        }
    }
    if (m_options.m_names) {
        for (const char* heading : kNameHeadings) {
            (out += ',') += heading;
        }
    }
    out += '\n';
}

void CRowWriter::Row(std::string& out, const CTrafficEntry& entry, const RowRates& rates) {
    const bool json = m_options.m_format == RowFormat::Json;
    const char* const between = json ? (m_options.m_bOneLine ? "," : ", ") : ",";
    // Each field is preceded by its key in JSON, by a comma in CSV (but the first).
    bool first = true;
    auto field = [&](const char* heading) {
        if (!first) {
            out += between;
        }
        first = false;
        if (json) {
            ((out += '"') += heading) += m_options.m_bOneLine ? "\":" : "\": ";
        }
    };
    if (json) {
        out +=
            m_bFirstRow ? (m_options.m_bOneLine ? "{" : "\n  {") : (m_options.m_bOneLine ? ",{" : ",\n  {");
    }
    m_bFirstRow = false;
    for (int c = 0; c < ColumnCount; ++c) {
        field(kColumnHeadings[static_cast<std::size_t>(c)]);
        if (c == ColDateTime) {
            AppendTime(out, entry.m_tLastUpdate);
        } else if (json && !IsCounterColumn(c)) {
            // Addresses ("other" included) and protocol names hold nothing that JSON escapes.
            out += '"';
            m_cells.Append(out, entry, c);
            out += '"';
        } else {
            // Counters, and CSV's addresses and protocols, which hold no comma, quote or line break.
            m_cells.Append(out, entry, c);
        }
    }
    if (m_options.m_bRates) {
        const std::array<double, 3> values = {rates.m_dSend, rates.m_dRcv, rates.m_dPeak};
        for (std::size_t i = 0; i < values.size(); ++i) {
            field(kRateHeadings[i]);
            AppendRate(out, values[i]);
        }
    }
    if (m_options.m_names) {
        for (const bool source : {true, false}) {
            field(kNameHeadings[source ? 0 : 1]);
            AppendName(out, m_options.m_names(entry, source));
        }
    }
    out += json ? '}' : '\n';
}

void CRowWriter::End(std::string& out) {
    if (m_options.m_format == RowFormat::Json) {
        out += m_bFirstRow || m_options.m_bOneLine ? "]\n" : "\n]\n";
    }
}

void CRowWriter::AppendTime(std::string& out, std::int64_t seconds) {
    TimeSlot& slot = m_times[static_cast<std::uint64_t>(seconds) % m_times.size()];
    if (!slot.m_bFilled || slot.m_tSeconds != seconds) {
        slot.m_strText = IsoTimeText(seconds);
        slot.m_tSeconds = seconds;
        slot.m_bFilled = true;
    }
    if (m_options.m_format == RowFormat::Csv) {
        out += slot.m_strText;
    } else if (slot.m_strText.empty()) {
        out += "null";
    } else {
        ((out += '"') += slot.m_strText) += '"';
    }
}

void CRowWriter::AppendName(std::string& out, std::string_view name) {
    if (m_options.m_format == RowFormat::Csv) {
        AppendCsvField(out, name);
    } else if (name.empty()) {
        out += "null"; // not known (yet)
    } else {
        AppendJsonString(out, name);
    }
}

CBlockOutput::CBlockOutput(std::FILE* out) : m_pOut(out) {
    m_strBlock.reserve(kBlockBytes + 1024);
}

void CBlockOutput::Flush() {
    if (std::ferror(m_pOut) == 0) {
        std::fwrite(m_strBlock.data(), 1, m_strBlock.size(), m_pOut);
    }
    m_strBlock.clear();
}

void WriteRows(const CRowStore& rows, const RowWriterOptions& options, CBlockOutput& out) {
    CRowWriter writer(options);
    writer.Begin(out.Block());
    for (std::size_t r = 0; r < rows.RowCount(); ++r) {
        // Rates are only worked out when they are written.
        writer.Row(out.Block(), rows.Row(r), options.m_bRates ? rows.Rates(r) : RowRates{});
        out.RowDone();
    }
    writer.End(out.Block());
}

} // namespace flowsentry
