// SPDX-License-Identifier: GPL-3.0-or-later
// The traffic list's filter over a million rows, as the window re-filters them when the text changes;
// beside it, the same words matched against the rows' cell texts, which is what the filter avoids; and
// the cost of names: re-filtering with names on, and the re-check of hidden rows when names arrive.
//   build/dev/bench/filter_bench
#include "platform/NameCache.h"
#include "traffic/CellWriter.h"
#include "traffic/RowFilter.h"
#include "traffic/RowOrder.h"
#include "traffic/RowStore.h"

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

// Names as the window holds them: the remotes of the first kNamed rows have names, answered through a
// resolver that only takes the questions.
constexpr std::size_t kNamed = 4096;

class NullResolver final : public IResolver {
public:
    void Ask(const IpAddress& /*address*/) override {}
};

struct NamedRows {
    NullResolver m_resolver;
    CNameCache m_names{m_resolver, [] {
                           CNameCache::Settings settings;
                           settings.m_nMaxInFlight = kNamed * 2;
                           settings.m_nMaxQueued = kNamed * 2;
                           return settings;
                       }()};
    CRowStore m_rows;
    std::vector<IpAddress> m_named;

    NamedRows() {
        TrafficBatch batch;
        batch.m_newRows = Rows();
        batch.m_nRowCount = batch.m_newRows.size();
        m_rows.Apply(batch);
        for (std::size_t i = 0; m_named.size() < kNamed; ++i) {
            const CTrafficEntry& e = Rows()[i];
            if (e.IsIpv6()) {
                continue;
            }
            const IpAddress remote = e.m_dwSrcAddress == 0xC0A80001U ? e.Destination() : e.Source();
            m_names.Want(remote);
            m_names.Answer({remote, "host-" + std::to_string(i) + ".example.org"});
            m_named.push_back(remote);
        }
    }
};

NamedRows& Named() {
    static NamedRows named;
    return named;
}

// Typing a filter with names on: every row once, names looked up for the rows whose numbers do not match.
void BM_RowFilterWithNames(benchmark::State& state) {
    NamedRows& named = Named();
    const CRowFilter filter = CRowFilter::Parse("example");
    std::size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const CTrafficEntry& e : Rows()) {
            matched += filter.Matches(e, &named.m_names) ? 1U : 0U;
        }
        benchmark::DoNotOptimize(matched);
    }
    state.counters["ns_per_row"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["matched"] = static_cast<double>(matched);
}
BENCHMARK(BM_RowFilterWithNames)->Unit(benchmark::kMillisecond);

// Names arriving while a filter hides most rows: the hidden rows whose addresses just got names are found
// and asked again (what the window does at most twice a second while answers come). state.range(0): how many
// names arrived at once.
void BM_RecheckWhenNamesArrive(benchmark::State& state) {
    NamedRows& named = Named();
    const auto filter = std::make_shared<CRowFilter>(CRowFilter::Parse("example"));
    CRowOrder order;
    // Filtered before the names came, as in the window; they come right after.
    NullResolver resolver;
    const CNameCache none(resolver);
    const INameLookup* names = &none;
    order.SetFilter(named.m_rows,
                    [filter, &names](const CTrafficEntry& e) { return filter->Matches(e, names); });
    names = &named.m_names;
    const auto count = static_cast<std::size_t>(state.range(0));
    const CAddressSet arrived(std::vector<IpAddress>(
        named.m_named.begin(), named.m_named.begin() + static_cast<std::ptrdiff_t>(count)));
    std::size_t found = 0;
    for (auto _ : state) {
        const auto serials =
            order.NewlyAccepted(named.m_rows, [&](const IpAddress& source, const IpAddress& destination) {
                return arrived.Contains(source) || arrived.Contains(destination);
            });
        found = serials.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["rechecked_rows"] = static_cast<double>(found);
}
BENCHMARK(BM_RecheckWhenNamesArrive)->Arg(1)->Arg(64)->Arg(kNamed)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace flowsentry

BENCHMARK_MAIN();
