// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FlowExporter.h"

#include "TestUtil.h"
#include "export/IpfixSink.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

namespace flowsentry {
namespace {

using test::Ip;
using test::Sample;
using test::Sample6;

class CListSink final : public IFlowSink {
public:
    bool Ready() override { return m_bReady; }
    void Write(const FlowRecord& record) override { m_records.push_back(record); }
    void Flush() override { ++m_nFlushes; }

    bool m_bReady = true;
    std::vector<FlowRecord> m_records;
    int m_nFlushes = 0;
};

using Key = std::tuple<std::string, std::string, int>; // source, destination, protocol
struct Sum {
    std::uint64_t m_nOctets = 0;
    std::uint64_t m_nPackets = 0;
    friend bool operator==(const Sum&, const Sum&) = default;
};

std::string SourceText(const FlowRecord& r) {
    return r.m_family == IpFamily::Ipv6 ? Ipv6ToText(r.m_src6) : Ipv4ToText(r.m_dwSrcAddress);
}
std::string DestText(const FlowRecord& r) {
    return r.m_family == IpFamily::Ipv6 ? Ipv6ToText(r.m_dest6) : Ipv4ToText(r.m_dwDestAddress);
}

// What a collector adds up per uniflow.
std::map<Key, Sum> Collect(const std::vector<FlowRecord>& records) {
    std::map<Key, Sum> sums;
    for (const FlowRecord& r : records) {
        Sum& sum = sums[{SourceText(r), DestText(r), r.m_nProto}];
        sum.m_nOctets += r.m_nOctets;
        sum.m_nPackets += r.m_nPackets;
    }
    return sums;
}

// The same from the table: each row's send counters one way, its receive counters the other.
std::map<Key, Sum> Expected(const CTrafficTable& table) {
    std::map<Key, Sum> sums;
    for (const CTrafficEntry& e : table.Snapshot()) {
        std::string src = e.IsOverflow() ? "0.0.0.0" : IpToText(e.Source());
        std::string dest = e.IsOverflow() ? "0.0.0.0" : IpToText(e.Destination());
        if (e.m_nSendPackets != 0) {
            Sum& sum = sums[{src, dest, e.m_nProto}];
            sum.m_nOctets += e.m_nSendData;
            sum.m_nPackets += e.m_nSendPackets;
        }
        if (e.m_nRcvPackets != 0) {
            Sum& sum = sums[{dest, src, e.m_nProto}];
            sum.m_nOctets += e.m_nRcvData;
            sum.m_nPackets += e.m_nRcvPackets;
        }
    }
    return sums;
}

std::vector<FlowRecord> Of(const std::vector<FlowRecord>& records, const std::string& src) {
    std::vector<FlowRecord> out;
    for (const FlowRecord& r : records) {
        if (SourceText(r) == src) {
            out.push_back(r);
        }
    }
    return out;
}

// Five minutes of capture, pulled once a second: a busy IPv4 row both ways, an IPv6 row that talks twice
// with a long pause, and a row in the overflow (the table holds three pairs).
TEST(FlowExporter, TimeoutsSplitRowsIntoRecordsThatAddUpToTheirCounters) {
    const auto local = Ip("10.0.0.1");
    CTrafficTable table;
    table.SetMaxEntries(3);
    CListSink sink;
    CFlowExporter exporter(sink, {60, 15});
    const std::int64_t t0 = 1'700'000'000;
    for (std::int64_t t = t0; t < t0 + 300; ++t) {
        table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1500, t), local);
        table.AddSample(Sample("10.0.0.2", "10.0.0.1", 6, 40, t), local);
        if (t == t0 || t == t0 + 100) {
            table.AddSample(Sample6("fd00::1", "fd00::2", 17, 120, t), local);
            table.AddSample(Sample6("fd00::1", "fd00::2", 17, 80, t), local);
        }
        if (t == t0 + 1) {
            table.AddSample(Sample("10.0.0.1", "10.0.0.3", 17, 60, t), local);
            table.AddSample(Sample("10.0.0.9", "10.0.0.1", 17, 70, t), local); // overflows
        }
        exporter.Apply(table.PullChanges());
        exporter.Expire(exporter.Clock());
    }
    // Before the end: the busy row sent a record per active timeout, each starting after the last ended.
    const auto busy = Of(sink.m_records, "10.0.0.1");
    std::vector<FlowRecord> forward;
    for (const FlowRecord& r : busy) {
        if (DestText(r) == "10.0.0.2") {
            forward.push_back(r);
        }
    }
    ASSERT_EQ(forward.size(), 4U);
    for (std::size_t i = 0; i < forward.size(); ++i) {
        EXPECT_EQ(forward[i].m_reason, FlowEndReason::ActiveTimeout);
        // Timeouts are looked at after each pull, so a record holds the second it timed out in.
        EXPECT_EQ(forward[i].m_nStartMs, (t0 + 61 * static_cast<std::int64_t>(i)) * 1000);
        EXPECT_EQ(forward[i].m_nEndMs, forward[i].m_nStartMs + 60'000);
        EXPECT_EQ(forward[i].m_nPackets, 61U);
        EXPECT_EQ(forward[i].m_nOctets, forward[i].m_nPackets * 1500);
    }
    // The IPv6 row went idle twice: one record each time, ended at its last packet.
    const auto quiet = Of(sink.m_records, "fd00::1");
    ASSERT_EQ(quiet.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(quiet[i].m_family, IpFamily::Ipv6);
        EXPECT_EQ(quiet[i].m_reason, FlowEndReason::IdleTimeout);
        EXPECT_EQ(quiet[i].m_nEndMs, (t0 + 100 * static_cast<std::int64_t>(i)) * 1000);
        EXPECT_EQ(quiet[i].m_nPackets, 2U);
        EXPECT_EQ(quiet[i].m_nOctets, 200U);
    }

    const std::size_t before = sink.m_records.size();
    EXPECT_TRUE(exporter.Finish());
    ASSERT_GT(sink.m_records.size(), before);
    for (std::size_t i = before; i < sink.m_records.size(); ++i) {
        EXPECT_EQ(sink.m_records[i].m_reason, FlowEndReason::ForcedEnd);
    }
    // Never more and never less than the table counted, both ways, overflow included.
    EXPECT_EQ(Collect(sink.m_records), Expected(table));
    EXPECT_EQ(exporter.RecordsWritten(), sink.m_records.size());
}

// A capture file read faster than its packets came: pulled only when MayExpire says something could be due,
// its records are those of a pull every second, and a flow starts at its first packet, not at the pull
// that found it.
TEST(FlowExporter, PullsWhereSomethingMayBeDueGiveTheRecordsOfPullsEverySecond) {
    const auto local = Ip("10.0.0.1");
    auto capture = [&](CTrafficTable& table, std::int64_t t) {
        const std::int64_t t0 = 1'700'000'000;
        if (t < t0 + 40) { // busy for 40 s, then quiet; another row talks now and then
            table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 1000, t), local);
        }
        if (t == t0 + 3 || t == t0 + 4 || t == t0 + 16 || t == t0 + 34) {
            table.AddSample(Sample("10.0.0.3", "10.0.0.1", 17, 100, t), local);
        }
    };
    const std::int64_t t0 = 1'700'000'000;
    CTrafficTable everySecond;
    CListSink all;
    CFlowExporter reference(all, {30, 10});
    CTrafficTable rarely;
    CListSink some;
    CFlowExporter exporter(some, {30, 10});
    int pulls = 0;
    for (std::int64_t t = t0; t < t0 + 120; ++t) {
        capture(everySecond, t);
        reference.Apply(everySecond.PullChanges());
        reference.Expire(reference.Clock());
        capture(rarely, t);
        if (exporter.MayExpire(rarely.Times())) {
            exporter.Apply(rarely.PullChanges());
            exporter.Expire(exporter.Clock());
            ++pulls;
        }
    }
    EXPECT_LT(pulls, 20);
    // The end of the file: a last pull, and what is left goes.
    exporter.Apply(rarely.PullChanges());
    EXPECT_TRUE(reference.Finish());
    EXPECT_TRUE(exporter.Finish());
    auto text = [](const std::vector<FlowRecord>& records) {
        std::vector<std::tuple<std::string, std::int64_t, std::int64_t, std::uint64_t, int>> out;
        for (const FlowRecord& r : records) {
            out.emplace_back(SourceText(r), r.m_nStartMs, r.m_nEndMs, r.m_nPackets,
                             static_cast<int>(r.m_reason));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(text(some.m_records), text(all.m_records));
    const auto quiet = Of(some.m_records, "10.0.0.3");
    ASSERT_EQ(quiet.size(), 3U);
    EXPECT_EQ(quiet[0].m_nStartMs, (t0 + 3) * 1000); // its first packet, found by a pull at t0 + 14
    EXPECT_EQ(quiet[0].m_nEndMs, (t0 + 4) * 1000);
    EXPECT_EQ(quiet[0].m_reason, FlowEndReason::IdleTimeout);
}

// A sink that cannot send (a TCP collector away) holds nothing back for ever and loses nothing.
TEST(FlowExporter, RecordsWaitWhileTheSinkIsNotReady) {
    CTrafficTable table;
    CListSink sink;
    CFlowExporter exporter(sink, {60, 15});
    sink.m_bReady = false;
    const std::int64_t t0 = 1'700'000'000;
    for (std::int64_t t = t0; t < t0 + 200; ++t) {
        table.AddSample(Sample("10.0.0.1", "10.0.0.2", 6, 100 + static_cast<std::uint64_t>(t - t0), t),
                        std::nullopt);
        exporter.Apply(table.PullChanges());
        exporter.Expire(exporter.Clock());
        if (t == t0 + 150) {
            EXPECT_TRUE(sink.m_records.empty());
            sink.m_bReady = true;
        }
    }
    EXPECT_FALSE(sink.m_records.empty());
    EXPECT_TRUE(exporter.Finish());
    EXPECT_EQ(Collect(sink.m_records), Expected(table));
}

TEST(IpfixTarget, ParsesTheCollectorForms) {
    struct Case {
        const char* text;
        bool ok;
        bool tcp;
        const char* host;
        const char* port;
    };
    for (const Case& c : {Case{"127.0.0.1:4739", true, false, "127.0.0.1", "4739"},
                          Case{"udp:collector.example:2055", true, false, "collector.example", "2055"},
                          Case{"tcp:[::1]:4739", true, true, "::1", "4739"},
                          Case{"[fe80::1%eth0]:9995", true, false, "fe80::1%eth0", "9995"},
                          Case{"::1:4739", false, false, "", ""}, Case{"host", false, false, "", ""},
                          Case{"host:0", false, false, "", ""}, Case{"host:65536", false, false, "", ""},
                          Case{"host:47x", false, false, "", ""}, Case{":4739", false, false, "", ""}}) {
        const auto target = ParseIpfixTarget(c.text);
        ASSERT_EQ(target.has_value(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(target->m_bTcp, c.tcp) << c.text;
            EXPECT_EQ(target->m_strHost, c.host) << c.text;
            EXPECT_EQ(target->m_strPort, c.port) << c.text;
        }
    }
}

} // namespace
} // namespace flowsentry
