// SPDX-License-Identifier: GPL-3.0-or-later
// The traffic list's filter over a million rows, as the window re-filters them when the text changes;
// beside it, the same words matched against the rows' cell texts, which is what the filter avoids.
//   build/dev/bench/filter_bench
#include "traffic/CellWriter.h"
#include "traffic/RowFilter.h"

#include <algorithm>
#include <array>
#include <benchmark/benchmark.h>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry {
namespace {

constexpr std::size_t kRows = 1'000'000;

// Rows towards one local address: nine in ten IPv4 (remotes all over 10.0.0.0/8), one in ten IPv6
// (remotes in fd00:f5::/64); mostly TCP and UDP, some ICMP and a few other protocols.
const std::vector<CTrafficEntry>& Rows() {
    static const std::vector<CTrafficEntry> rows = [] {
        std::vector<CTrafficEntry> made(kRows);
        std::mt19937 random(42); // NOLINT(cert-msc51-cpp): the same rows in every run
        const std::uint8_t protos[] = {6, 6, 6, 17, 17, 17, 1, 58, 47, 50};
        for (CTrafficEntry& e : made) {
            const bool outgoing = random() % 2 == 0;
            e.m_nProto = protos[random() % std::size(protos)];
            if (random() % 10 == 0) {
                e.m_family = IpFamily::Ipv6;
                Ipv6Address local{0xFD, 0, 0, 0xF5};
                Ipv6Address remote = local;
                local[15] = 1;
                for (std::size_t k = 8; k < 16; ++k) {
                    remote[k] = static_cast<std::uint8_t>(random());
                }
                e.m_src6 = outgoing ? local : remote;
                e.m_dest6 = outgoing ? remote : local;
            } else {
                const Ipv4Address local = 0xC0A80001U; // 192.168.0.1
                const Ipv4Address remote = 0x0A000000U | (random() & 0x00FFFFFFU);
                e.m_dwSrcAddress = outgoing ? local : remote;
                e.m_dwDestAddress = outgoing ? remote : local;
            }
        }
        return made;
    }();
    return rows;
}

const char* const kFilters[] = {
    "10.1 tcp",          // an IPv4 text prefix and a protocol name
    "10.128.0.0/9 udp",  // an IPv4 network and a protocol name
    "fd00:f5::1 tcp",    // an IPv6 text prefix: IPv6 rows are formatted
    "192.168 10.20",     // two IPv4 text prefixes
    "proto:4 fd00::/16", // the start of a protocol text and an IPv6 network
};

void Report(benchmark::State& state, std::size_t matched) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRows));
    state.counters["ns_per_row"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["matched"] = static_cast<double>(matched);
    state.SetLabel(kFilters[state.range(0)]);
}

void BM_RowFilter(benchmark::State& state) {
    const std::vector<CTrafficEntry>& rows = Rows();
    const CRowFilter filter = CRowFilter::Parse(kFilters[state.range(0)]);
    std::size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const CTrafficEntry& e : rows) {
            if (filter.Matches(e)) {
                ++matched;
            }
        }
        benchmark::DoNotOptimize(matched);
    }
    Report(state, matched);
}
BENCHMARK(BM_RowFilter)->DenseRange(0, std::size(kFilters) - 1)->Unit(benchmark::kMillisecond);

// The yardstick: each row's address and protocol cells written (without a string per cell) and each word
// looked for at their start. Text prefixes only, so its matched count differs for the network filters.
void BM_CellTextPrefix(benchmark::State& state) {
    const std::vector<CTrafficEntry>& rows = Rows();
    std::vector<std::string> words;
    std::string text = kFilters[state.range(0)];
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    CCellWriter writer;
    std::size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const CTrafficEntry& e : rows) {
            std::array<std::array<char, CCellWriter::kMaxCell>, 3> cells;
            std::array<std::string_view, 3> shown;
            const int columns[] = {ColSrcAddress, ColDestAddress, ColProto};
            for (std::size_t c = 0; c < 3; ++c) {
                char* end = writer.Write(cells[c].data(), e, columns[c]);
                std::transform(cells[c].data(), end, cells[c].data(), [](char ch) {
                    return static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                });
                shown[c] = std::string_view(cells[c].data(), static_cast<std::size_t>(end - cells[c].data()));
            }
            const bool all = std::all_of(words.begin(), words.end(), [&shown](const std::string& w) {
                return std::any_of(shown.begin(), shown.end(),
                                   [&w](std::string_view s) { return s.substr(0, w.size()) == w; });
            });
            if (all) {
                ++matched;
            }
        }
        benchmark::DoNotOptimize(matched);
    }
    Report(state, matched);
}
BENCHMARK(BM_CellTextPrefix)->DenseRange(0, std::size(kFilters) - 1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace flowsentry

BENCHMARK_MAIN();
