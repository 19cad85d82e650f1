// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/RowWriter.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <limits>
#include <map>

namespace flowsentry {
namespace {

struct Row {
    CTrafficEntry m_entry;
    RowRates m_rates;
    std::string m_strSource;
    std::string m_strDest;
};

// An IPv4 row with names that CSV must quote, an IPv6 row whose source name holds a line break, a control
// character and a byte that is not UTF-8, and an "other" row without names.
std::vector<Row> SmallTable() {
    std::vector<Row> rows(3);
    CTrafficEntry& v4 = rows[0].m_entry;
    v4.m_dwSrcAddress = test::Ip("10.250.0.1");
    v4.m_dwDestAddress = test::Ip("10.250.0.2");
    v4.m_nProto = 17;
    v4.m_nSendData = 128;
    v4.m_nRcvData = 60;
    v4.m_nSendPackets = 1;
    v4.m_nRcvPackets = 1;
    v4.m_tLastUpdate = 1'700'000'000;
    rows[0].m_rates = {64, 30, 94.5};
    rows[0].m_strSource = "host, \"one\"";
    rows[0].m_strDest = "plain";

    CTrafficEntry& v6 = rows[1].m_entry;
    v6.m_family = IpFamily::Ipv6;
    v6.m_src6 = *Ipv6FromText("fd00::1");
    v6.m_dest6 = *Ipv6FromText("fd00::2");
    v6.m_nProto = 6;
    v6.m_nSendData = 1000;
    v6.m_nSendPackets = 2;
    v6.m_tLastUpdate = 1'700'000'001;
    rows[1].m_rates = {1000.0 / 3, 0, 500};
    rows[1].m_strSource = "line\nbreak\x01\xff";

    CTrafficEntry& other = rows[2].m_entry;
    other.m_family = IpFamily::Other;
    other.m_nProto = 1;
    other.m_nSendData = 84;
    other.m_nSendPackets = 1;
    other.m_tLastUpdate = 1'700'000'002;
    return rows;
}

std::string Write(const std::vector<Row>& rows, RowFormat format, bool rates, bool names,
                  bool oneLine = false) {
    RowWriterOptions options;
    options.m_format = format;
    options.m_bRates = rates;
    options.m_bOneLine = oneLine;
    std::map<const CTrafficEntry*, const Row*> byEntry;
    for (const Row& row : rows) {
        byEntry[&row.m_entry] = &row;
    }
    if (names) {
        options.m_names = [&byEntry](const CTrafficEntry& entry, bool source) -> std::string_view {
            const Row& row = *byEntry.at(&entry);
            return source ? row.m_strSource : row.m_strDest;
        };
    }
    CRowWriter writer(options);
    std::string out;
    writer.Begin(out);
    for (const Row& row : rows) {
        writer.Row(out, row.m_entry, row.m_rates);
    }
    writer.End(out);
    return out;
}

const std::string kHeadings = "Src Address,Dest Address,Send Data,Rcv Data,Total Data,Send Packets,Rcv "
                              "Packets,Total Packets,Date / Time,"
                              "Proto";

TEST(RowWriter, CsvQuotesWhatItMustAndTimesCarryTheLocalOffset) {
    const std::vector<Row> rows = SmallTable();
    {
        const test::ScopedUtc zone("CET-1");
        EXPECT_EQ(Write(rows, RowFormat::Csv, true, true),
                  kHeadings +
                      ",Send Rate,Rcv Rate,Peak Rate,Source Name,Destination Name\n"
                      "10.250.0.1,10.250.0.2,128,60,188,1,1,2,2023-11-14T23:13:20+01:00,UDP,64,30,94.5,"
                      "\"host, \"\"one\"\"\",plain\n"
                      "fd00::1,fd00::2,1000,0,1000,2,0,2,2023-11-14T23:13:21+01:00,TCP,333.3333333333333,0,"
                      "500,\"line\nbreak\x01\xff\",\n"
                      "other,other,84,0,84,1,0,1,2023-11-14T23:13:22+01:00,ICMP,0,0,0,,\n");
    }
    // Without rates and names their columns are gone; a zone west of UTC, off by half an hour.
    const test::ScopedUtc zone("NST3:30");
    EXPECT_EQ(Write(rows, RowFormat::Csv, false, false),
              kHeadings + "\n"
                          "10.250.0.1,10.250.0.2,128,60,188,1,1,2,2023-11-14T18:43:20-03:30,UDP\n"
                          "fd00::1,fd00::2,1000,0,1000,2,0,2,2023-11-14T18:43:21-03:30,TCP\n"
                          "other,other,84,0,84,1,0,1,2023-11-14T18:43:22-03:30,ICMP\n");
    EXPECT_EQ(Write({}, RowFormat::Csv, false, false), kHeadings + "\n");
    // Times are kept by the second in a slot picked by it: seconds sharing a slot keep their own texts, and
    // one the system cannot convert is an empty field.
    std::vector<Row> slots(3);
    slots[0].m_entry.m_tLastUpdate = 1'700'000'000;
    slots[1].m_entry.m_tLastUpdate = 1'700'000'000 + 1024;
    slots[2].m_entry.m_tLastUpdate = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(Write(slots, RowFormat::Csv, false, false),
              kHeadings + "\n"
                          "0.0.0.0,0.0.0.0,0,0,0,0,0,0,2023-11-14T18:43:20-03:30,Proto:0\n"
                          "0.0.0.0,0.0.0.0,0,0,0,0,0,0,2023-11-14T19:00:24-03:30,Proto:0\n"
                          "0.0.0.0,0.0.0.0,0,0,0,0,0,0,,Proto:0\n");
}

TEST(RowWriter, JsonEscapesNamesAndCanBeOneLine) {
    const test::ScopedUtc zone("CET-1");
    const std::vector<Row> rows = SmallTable();
    EXPECT_EQ(
        Write(rows, RowFormat::Json, true, true),
        "[\n"
        "  {\"Src Address\": \"10.250.0.1\", \"Dest Address\": \"10.250.0.2\", \"Send Data\": 128, "
        "\"Rcv Data\": 60, \"Total Data\": 188, \"Send Packets\": 1, \"Rcv Packets\": 1, \"Total Packets\": "
        "2, "
        "\"Date / Time\": \"2023-11-14T23:13:20+01:00\", \"Proto\": \"UDP\", \"Send Rate\": 64, "
        "\"Rcv Rate\": 30, \"Peak Rate\": 94.5, \"Source Name\": \"host, \\\"one\\\"\", "
        "\"Destination Name\": \"plain\"},\n"
        "  {\"Src Address\": \"fd00::1\", \"Dest Address\": \"fd00::2\", \"Send Data\": 1000, "
        "\"Rcv Data\": 0, \"Total Data\": 1000, \"Send Packets\": 2, \"Rcv Packets\": 0, \"Total Packets\": "
        "2, "
        "\"Date / Time\": \"2023-11-14T23:13:21+01:00\", \"Proto\": \"TCP\", "
        "\"Send Rate\": 333.3333333333333, \"Rcv Rate\": 0, \"Peak Rate\": 500, "
        "\"Source Name\": \"line\\nbreak\\u0001\\ufffd\", \"Destination Name\": null},\n"
        "  {\"Src Address\": \"other\", \"Dest Address\": \"other\", \"Send Data\": 84, "
        "\"Rcv Data\": 0, \"Total Data\": 84, \"Send Packets\": 1, \"Rcv Packets\": 0, \"Total Packets\": 1, "
        "\"Date / Time\": \"2023-11-14T23:13:22+01:00\", \"Proto\": \"ICMP\", \"Send Rate\": 0, "
        "\"Rcv Rate\": 0, \"Peak Rate\": 0, \"Source Name\": null, \"Destination Name\": null}\n"
        "]\n");
    // JSON Lines: the same array on one line; without rates and names, no such keys.
    const std::vector<Row> two(rows.begin() + 1, rows.end());
    EXPECT_EQ(Write(two, RowFormat::Json, false, false, true),
              "[{\"Src Address\":\"fd00::1\",\"Dest Address\":\"fd00::2\",\"Send Data\":1000,\"Rcv Data\":0,"
              "\"Total Data\":1000,\"Send Packets\":2,\"Rcv Packets\":0,\"Total Packets\":2,"
              "\"Date / Time\":\"2023-11-14T23:13:21+01:00\",\"Proto\":\"TCP\"},"
              "{\"Src Address\":\"other\",\"Dest Address\":\"other\",\"Send Data\":84,\"Rcv Data\":0,"
              "\"Total Data\":84,\"Send Packets\":1,\"Rcv Packets\":0,\"Total Packets\":1,"
              "\"Date / Time\":\"2023-11-14T23:13:22+01:00\",\"Proto\":\"ICMP\"}]\n");
    EXPECT_EQ(Write({}, RowFormat::Json, true, true), "[]\n");
    EXPECT_EQ(Write({}, RowFormat::Json, true, true, true), "[]\n");

    // Every escape JSON needs, and UTF-8 kept whole while broken or overlong sequences are replaced.
    std::string text;
    AppendJsonString(text, std::string_view("\"\\/\b\f\t\x1f\x7f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 "
                                            "\xc0\xaf \xed\xa0\x80 \xe2\x82"));
    EXPECT_EQ(text, "\"\\\"\\\\/\\u0008\\u000c\\t\\u001f\\u007f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 "
                    "\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\"");
}

} // namespace
} // namespace flowsentry
