// SPDX-License-Identifier: GPL-3.0-or-later
// The per-packet cost of decoding and folding (known entries, and a flood into a full table's overflow rows),
// and the cost of pulling a batch of changes.
//   build/dev/bench/table_bench
#include "capture/Datagram.h"
#include "traffic/RowStore.h"
#include "traffic/TrafficTable.h"

#include <benchmark/benchmark.h>
#include <pcap/dlt.h>
#include <random>
#include <vector>

namespace flowsentry {
namespace {

constexpr Ipv4Address kLocal = 0xC0A80001U; // 192.168.0.1
constexpr std::size_t kFrameBytes = 34;     // an Ethernet header and a 20-byte IPv4 header, as captured
constexpr std::size_t kFrame6Bytes = 54;    // an Ethernet header and a 40-byte IPv6 header
constexpr std::uint32_t kWireLength = 1514; // the frame on the wire: a 1500-byte datagram
constexpr std::size_t kBatch = 64;          // frames per libpcap dispatch, as the capture reads them

// Ethernet frames of IPv4 datagrams, one per distinct entry: half outgoing, half incoming, three protocols.
std::vector<std::uint8_t> MakeFrames(std::size_t entries) {
    std::vector<std::uint8_t> bytes(entries * kFrameBytes, 0);
    for (std::size_t i = 0; i < entries; ++i) {
        std::uint8_t* f = &bytes[i * kFrameBytes];
        f[12] = 0x08; // IPv4
        std::uint8_t* d = f + 14;
        const auto remote = static_cast<std::uint32_t>(0x0A000000U + i / 3);
        const std::uint8_t protos[] = {6, 17, 1};
        d[0] = 0x45;
        d[2] = 1500 >> 8;
        d[3] = 1500 & 0xFF;
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

// The same traffic in IPv6: the local address fd00:f5::1, the remotes fd00:f5::1:0:0 onwards.
std::vector<std::uint8_t> MakeFrames6(std::size_t entries) {
    std::vector<std::uint8_t> bytes(entries * kFrame6Bytes, 0);
    for (std::size_t i = 0; i < entries; ++i) {
        std::uint8_t* f = &bytes[i * kFrame6Bytes];
        f[12] = 0x86;
        f[13] = 0xDD;
        std::uint8_t* d = f + 14;
        const auto remote = static_cast<std::uint32_t>(i / 3);
        const std::uint8_t protos[] = {6, 17, 58};
        d[0] = 0x60;
        d[4] = 1460 >> 8;
        d[5] = 1460 & 0xFF;
        d[6] = protos[i % 3];
        const bool outgoing = (i / 3) % 2 == 0;
        std::uint8_t* local = d + (outgoing ? 8 : 24);
        std::uint8_t* other = d + (outgoing ? 24 : 8);
        local[0] = other[0] = 0xFD;
        local[3] = other[3] = 0xF5;
        local[15] = 1;
        other[11] = 1;
        for (int k = 0; k < 4; ++k) {
            other[12 + k] = static_cast<std::uint8_t>(remote >> (24 - 8 * k));
        }
    }
    return bytes;
}

IpAddress Local(bool ipv6) {
    return ipv6 ? IpAddress(Ipv6Address{0xFD, 0, 0, 0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})
                : IpAddress(kLocal);
}

// Decodes `count` frames of `frameBytes` from `stream` at `first` the way a capture does, appending to
// `samples`.
void DecodeFrames(const std::vector<std::uint8_t>& stream, std::size_t frameBytes, std::size_t first,
                  std::size_t count, std::uint32_t mtu, SampleBuffer& samples, CaptureCounters& counters) {
    for (std::size_t k = 0; k < count; ++k) {
        AppendFrameSample(DLT_EN10MB, std::span(&stream[(first + k) * frameBytes], frameBytes), kWireLength,
                          0, mtu, samples, counters);
    }
}

// Creates every entry once, then returns the traffic to measure: the frames one after another in one
// buffer, as the capture reads them, visiting the entries in a shuffled order rather than creation order.
std::vector<std::uint8_t> PrepareTable(CTrafficTable& table, std::size_t entries, bool ipv6 = false) {
    const std::size_t frameBytes = ipv6 ? kFrame6Bytes : kFrameBytes;
    const std::vector<std::uint8_t> frames = ipv6 ? MakeFrames6(entries) : MakeFrames(entries);
    SampleBuffer samples;
    CaptureCounters counters;
    DecodeFrames(frames, frameBytes, 0, entries, 0, samples, counters);
    table.AddSamples(samples, Local(ipv6));
    const std::size_t packets = std::max<std::size_t>(entries, 1 << 16) / kBatch * kBatch;
    std::vector<std::uint8_t> stream(packets * frameBytes);
    std::mt19937 random(7);
    for (std::size_t p = 0; p < packets; ++p) {
        const std::size_t i = random() % entries;
        std::copy_n(&frames[i * frameBytes], frameBytes, &stream[p * frameBytes]);
    }
    return stream;
}

// The link layer and the decode alone, for a capture file (no MTU) and a live capture (MTU 1500); the
// second argument 6 for IPv6 traffic.
void BM_Decode(benchmark::State& state) {
    const auto mtu = static_cast<std::uint32_t>(state.range(0));
    const bool ipv6 = state.range(1) == 6;
    const std::size_t frameBytes = ipv6 ? kFrame6Bytes : kFrameBytes;
    CTrafficTable table;
    const std::vector<std::uint8_t> stream = PrepareTable(table, 10'000, ipv6);
    const std::size_t packets = stream.size() / frameBytes;
    SampleBuffer samples;
    samples.reserve(kBatch);
    CaptureCounters counters;
    std::size_t next = 0;
    for (auto _ : state) {
        samples.clear();
        DecodeFrames(stream, frameBytes, next, kBatch, mtu, samples, counters);
        benchmark::DoNotOptimize(samples.m_samples.data());
        benchmark::ClobberMemory();
        next = next + kBatch == packets ? 0 : next + kBatch;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
    state.counters["ns_per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBatch,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Decode)->Args({0, 4})->Args({1500, 4})->Args({0, 6})->Args({1500, 6});

// The timed loop of the decode-and-fold benchmarks: a batch of frames of `stream` decoded and folded per
// iteration, round and round.
void DecodeAndFold(benchmark::State& state, CTrafficTable& table, const std::vector<std::uint8_t>& stream,
                   std::size_t frameBytes, const IpAddress& local) {
    const std::size_t packets = stream.size() / frameBytes;
    SampleBuffer samples;
    samples.reserve(kBatch);
    CaptureCounters counters;
    std::size_t next = 0;
    for (auto _ : state) {
        samples.clear();
        DecodeFrames(stream, frameBytes, next, kBatch, 0, samples, counters);
        next = next + kBatch == packets ? 0 : next + kBatch;
        table.AddSamples(samples, local);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
    state.counters["ns_per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBatch,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// As the capture does it: the frames of one libpcap dispatch are decoded into samples and folded under
// one lock, which lets the table overlap the memory accesses of the batch. The second argument 6 for IPv6.
void BM_DecodeAndFoldBatch(benchmark::State& state) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    const bool ipv6 = state.range(1) == 6;
    const std::size_t frameBytes = ipv6 ? kFrame6Bytes : kFrameBytes;
    const IpAddress local = Local(ipv6);
    CTrafficTable table;
    const std::vector<std::uint8_t> stream = PrepareTable(table, entries, ipv6);
    DecodeAndFold(state, table, stream, frameBytes, local);
    state.counters["bytes_per_entry"] =
        static_cast<double>(table.MemoryBytes()) / static_cast<double>(table.EntryCount());
}
BENCHMARK(BM_DecodeAndFoldBatch)
    ->Args({10, 4})
    ->Args({10'000, 4})
    ->Args({1'000'000, 4})
    ->Args({10, 6})
    ->Args({10'000, 6})
    ->Args({1'000'000, 6});

// A flood from addresses never seen before into a full table (10,000 entries): every datagram misses the
// index and is counted in its protocol's overflow row.
void BM_DecodeAndFoldOverflow(benchmark::State& state) {
    constexpr std::size_t kEntries = 10'000;
    CTrafficTable table;
    table.SetMaxEntries(kEntries);
    (void)PrepareTable(table, kEntries);
    const std::size_t packets = std::size_t{1} << 20U;
    const std::vector<std::uint8_t> all = MakeFrames(kEntries + packets);
    const std::vector<std::uint8_t> stream(all.begin() + kEntries * kFrameBytes, all.end());
    DecodeAndFold(state, table, stream, kFrameBytes, kLocal);
    state.counters["rows"] = static_cast<double>(table.EntryCount());
}
BENCHMARK(BM_DecodeAndFoldOverflow);

// A pull from a table of `rows` rows of which `changed` changed since the previous pull, and the consumer
// applying it.
// One sample from the local address to each of `rows` peers.
std::vector<CTrafficEntry> PeerSamples(std::uint32_t rows, std::uint8_t proto) {
    std::vector<CTrafficEntry> samples(rows);
    for (std::uint32_t i = 0; i < rows; ++i) {
        samples[i].m_dwSrcAddress = kLocal;
        samples[i].m_dwDestAddress = 0x0A000000U + i;
        samples[i].m_nProto = proto;
        samples[i].m_nSendData = 100;
        samples[i].m_nSendPackets = 1;
    }
    return samples;
}

void BM_PullChanges(benchmark::State& state) {
    const auto rows = static_cast<std::uint32_t>(state.range(0));
    const auto changed = static_cast<std::uint32_t>(state.range(1));
    CTrafficTable table;
    CRowStore store;
    const std::vector<CTrafficEntry> samples = PeerSamples(rows, 6);
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
BENCHMARK(BM_PullChanges)
    ->Args({100'000, 1'000})
    ->Args({100'000, 100})
    ->Args({1'000'000, 1'000})
    ->Args({1'000'000, 200'000})
    ->Unit(benchmark::kMicrosecond);

// Folding into entries that were pulled already, as in a capture the window or an exporter pulls from: each
// changed entry is also marked for the next pull. `rows` entries, random samples among them, a pull after
// every batch of `batch` samples (not timed).
void BM_FoldPulledEntries(benchmark::State& state) {
    const auto rows = static_cast<std::uint32_t>(state.range(0));
    const auto batch = static_cast<std::size_t>(state.range(1));
    CTrafficTable table;
    const std::vector<CTrafficEntry> samples = PeerSamples(rows, 17);
    table.AddSamples(samples, kLocal);
    (void)table.PullChanges();
    std::mt19937 random(5);
    std::vector<CTrafficEntry> folded(batch);
    for (auto& f : folded) {
        f = samples[random() % rows];
    }
    for (auto _ : state) {
        table.AddSamples(folded, kLocal);
        state.PauseTiming();
        benchmark::DoNotOptimize(table.PullChanges().m_changedRows.data());
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
}
BENCHMARK(BM_FoldPulledEntries)->Args({100'000, 1'000'000})->Args({1'000'000, 1'000'000});

} // namespace
} // namespace flowsentry

BENCHMARK_MAIN();
