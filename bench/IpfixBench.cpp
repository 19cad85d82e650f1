// SPDX-License-Identifier: GPL-3.0-or-later
// Flow records per second: a table's rows taken in by the exporter and sent as IPFIX, all of them at once as
// at the end of a file, to a socket on loopback that a thread of its own empties (over UDP, or over TCP).
// The records/s counter is the figure; bench/ipfix_rate.sh gives the cost on a whole read.
//   build/dev/bench/ipfix_bench
#include "export/FlowExporter.h"
#include "export/IpfixSink.h"
#include "traffic/TrafficTable.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace flowsentry {
namespace {

// A collector that reads and throws away whatever comes, on a port of loopback.
class CDrain {
public:
    explicit CDrain(bool tcp) : m_bTcp(tcp) {
        m_listener = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        const int buffer = 64 << 20;
        setsockopt(m_listener, SOL_SOCKET, SO_RCVBUFFORCE, &buffer,
                   sizeof(buffer)); // root only; else default
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            (tcp && listen(m_listener, 4) != 0)) {
            throw std::runtime_error("cannot open a socket on loopback");
        }
        m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    CDrain(const CDrain&) = delete;
    CDrain& operator=(const CDrain&) = delete;
    ~CDrain() {
        m_bStop = true;
        m_thread.join();
        close(m_listener);
    }
    [[nodiscard]] int Port() const { return m_nPort; }

private:
    void Run() {
        std::vector<char> buffer(1 << 16);
        std::vector<pollfd> watched{{m_listener, POLLIN, 0}};
        while (!m_bStop) {
            if (poll(watched.data(), watched.size(), 50) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if ((watched[i].revents & POLLIN) == 0) {
                    continue;
                }
                if (m_bTcp && i == 0) {
                    watched.push_back({accept(m_listener, nullptr, nullptr), POLLIN, 0});
                } else if (recv(watched[i].fd, buffer.data(), buffer.size(), 0) == 0) {
                    watched[i].events = 0; // closed
                }
            }
        }
        for (std::size_t i = 1; i < watched.size(); ++i) {
            close(watched[i].fd);
        }
    }

    bool m_bTcp;
    int m_listener = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// A table of `rows` IPv4 rows with traffic both ways: two records each.
TrafficBatch RowsBothWays(std::uint32_t rows) {
    CTrafficTable table;
    std::vector<CTrafficEntry> samples(2 * static_cast<std::size_t>(rows));
    for (std::uint32_t i = 0; i < rows; ++i) {
        for (int way = 0; way < 2; ++way) {
            CTrafficEntry& s = samples[2 * i + static_cast<std::uint32_t>(way)];
            s.m_dwSrcAddress = way == 0 ? 0xC0A80001U : 0x0A000000U + i;
            s.m_dwDestAddress = way == 0 ? 0x0A000000U + i : 0xC0A80001U;
            s.m_nProto = 17;
            s.m_nSendData = 1000;
            s.m_nSendPackets = 1;
            s.m_tLastUpdate = 1'700'000'000;
        }
    }
    table.AddSamples(samples, std::nullopt);
    return table.PullChanges();
}

void BM_ExportRows(benchmark::State& state) {
    const bool tcp = state.range(1) != 0;
    const TrafficBatch batch = RowsBothWays(static_cast<std::uint32_t>(state.range(0)));
    const CDrain collector(tcp);
    IpfixSettings settings;
    settings.m_target.m_bTcp = tcp;
    settings.m_target.m_strHost = "127.0.0.1";
    settings.m_target.m_strPort = std::to_string(collector.Port());
    CIpfixSink sink(settings, [](const std::string& problem) { throw std::runtime_error(problem); });
    if (!sink.Drain(5)) {
        state.SkipWithError("the collector on loopback was not reached");
        return;
    }
    std::uint64_t records = 0;
    for (auto _ : state) {
        CFlowExporter exporter(sink, FlowTimeouts{});
        exporter.Apply(batch);
        if (!exporter.Finish() || !sink.Drain(10)) {
            state.SkipWithError("the records could not be sent");
            return;
        }
        records += exporter.RecordsWritten();
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["lost"] = static_cast<double>(sink.RecordsLost());
}
BENCHMARK(BM_ExportRows)
    ->Args({100'000, 0})
    ->Args({100'000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
} // namespace flowsentry

BENCHMARK_MAIN();
