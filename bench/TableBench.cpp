// The per-packet cost of decoding and folding, and the cost of pulling a batch of changes.
//   build/dev/bench/table_bench
#include "capture/Datagram.h"
#include "traffic/RowStore.h"
#include "traffic/TrafficTable.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace flowsentry {
namespace {

constexpr Ipv4Address kLocal = 0xC0A80001U; // 192.168.0.1

// 20-byte IPv4 headers, one per distinct entry: half outgoing, half incoming, three protocols.
std::vector<std::uint8_t> MakeDatagrams(std::size_t entries) {
    std::vector<std::uint8_t> bytes(entries * 20, 0);
    for (std::size_t i = 0; i < entries; ++i) {
        std::uint8_t* d = &bytes[i * 20];
        const auto remote = static_cast<std::uint32_t>(0x0A000000U + i / 3);
        const std::uint8_t protos[] = {6, 17, 1};
        d[0] = 0x45;
        d[9] = protos[i % 3];
        const bool outgoing = (i / 3) % 2 == 0;
        const std::uint32_t src = outgoing ? kLocal : remote;
        const std::uint32_t dst = outgoing ? remote : kLocal;
        for (int k = 0; k < 4; ++k) {
            d[12 + k] = static_cast<std::uint8_t>(src >> (24 - 8 * k));
            d[16 + k] = static_cast<std::uint8_t>(dst >> (24 - 8 * k));
        }
    }
    return bytes;
}

void BM_DecodeAndFold(benchmark::State& state) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> datagrams = MakeDatagrams(entries);
    // Visit the entries in a shuffled order, as real traffic would, not in creation order.
    std::vector<std::uint32_t> order(std::max<std::size_t>(entries, 1 << 16));
    std::mt19937 random(7);
    for (auto& o : order) {
        o = static_cast<std::uint32_t>(random() % entries);
    }
    CTrafficTable table;
    for (std::size_t i = 0; i < entries; ++i) {
        ProcessDatagram(table, kLocal, std::span(&datagrams[i * 20], 20), 1500, 0);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        const std::uint32_t i = order[next];
        next = next + 1 == order.size() ? 0 : next + 1;
        benchmark::DoNotOptimize(ProcessDatagram(table, kLocal, std::span(&datagrams[i * 20], 20), 1500, 0));
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["entries"] = static_cast<double>(table.EntryCount());
    state.counters["bytes_per_entry"] =
        static_cast<double>(table.MemoryBytes()) / static_cast<double>(table.EntryCount());
}
BENCHMARK(BM_DecodeAndFold)->Arg(10)->Arg(10'000)->Arg(1'000'000);

// A pull from a table of `rows` rows of which `changed` changed since the previous pull, and the consumer
// applying it.
void BM_PullChanges(benchmark::State& state) {
    const auto rows = static_cast<std::uint32_t>(state.range(0));
    const auto changed = static_cast<std::uint32_t>(state.range(1));
    CTrafficTable table;
    CRowStore store;
    std::vector<CTrafficEntry> samples(rows);
    for (std::uint32_t i = 0; i < rows; ++i) {
        samples[i].m_dwSrcAddress = kLocal;
        samples[i].m_dwDestAddress = 0x0A000000U + i;
        samples[i].m_nProto = 6;
        samples[i].m_nSendData = 100;
        samples[i].m_nSendPackets = 1;
    }
    table.AddSamples(samples, kLocal);
    store.Apply(table.PullChanges());
    std::mt19937 random(11);
    std::vector<CTrafficEntry> touched(changed);
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& t : touched) {
            t = samples[random() % rows];
        }
        table.AddSamples(touched, kLocal);
        state.ResumeTiming();
        const TrafficBatch batch = table.PullChanges();
        store.Apply(batch);
        benchmark::DoNotOptimize(batch.m_changedRows.data());
    }
    state.counters["rows"] = static_cast<double>(store.RowCount());
}
BENCHMARK(BM_PullChanges)->Args({100'000, 1'000})->Args({100'000, 100})->Args({1'000'000, 1'000})
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace flowsentry

BENCHMARK_MAIN();
