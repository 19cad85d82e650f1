// How long the window thread stalls while packets are folded into the table at full speed on another
// thread, and what one refresh of the list costs for a given number of rows and changed rows.
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency [--rows N] [--seconds S] [--hot H] [--new-per-tick K]
// Under a display (xvfb-run) it shows the real window, which is also how the screenshot is taken.
#include "app/MainFrame.h"
#include "view/FlowsentryView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

namespace flowsentry {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Ipv4Address kLocal = 0x0A000001U; // 10.0.0.1

struct Options {
    std::size_t m_nRows = 100'000;
    double m_dSeconds = 10.0;
    // Entries that receive packets during one refresh interval; real traffic hits a working set, not
    // every entry that ever existed.
    std::size_t m_nHot = 50'000;
    std::size_t m_nNewPerTick = 10'000;
};

// Entry n: 10.0.0.1 with 11.x.y.z, protocols taking turns.
CTrafficEntry EntrySample(std::size_t n, bool outgoing, std::int64_t now) {
    CTrafficEntry sample;
    const auto remote = static_cast<Ipv4Address>(0x0B000000U + n / 3);
    sample.m_dwSrcAddress = outgoing ? kLocal : remote;
    sample.m_dwDestAddress = outgoing ? remote : kLocal;
    sample.m_nProto = static_cast<std::uint8_t>(n % 3 == 0 ? 6 : n % 3 == 1 ? 17 : 1);
    sample.m_nSendData = 40 + n % 1400;
    sample.m_nSendPackets = 1;
    sample.m_tLastUpdate = now;
    return sample;
}

void Prefill(CTrafficTable& table, std::size_t rows) {
    std::vector<CTrafficEntry> samples;
    samples.reserve(rows);
    const std::int64_t now = std::time(nullptr);
    for (std::size_t n = 0; n < rows; ++n) {
        samples.push_back(EntrySample(n, n % 2 == 0, now));
    }
    table.AddSamples(samples, kLocal);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// Phase 1: the event loop's lateness under full-speed folding.
void MeasureLatency(CMainFrame& frame, const Options& options) {
    CFlowsentryView& view = frame.View();
    CTrafficTable& table = view.Table();
    const auto fillStart = Clock::now();
    Prefill(table, options.m_nRows);
    view.Refresh();
    QApplication::processEvents();
    std::printf("prefill: %zu rows folded and shown in %.1f ms\n", options.m_nRows, Ms(Clock::now() - fillStart));

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> folded{0};
    std::thread feeder([&] {
        std::mt19937_64 random(42);
        std::vector<CTrafficEntry> batch(4096);
        std::size_t entries = options.m_nRows;
        const auto start = Clock::now();
        const double newPerSecond = static_cast<double>(options.m_nNewPerTick) * 4.0;
        while (!stop.load(std::memory_order_relaxed)) {
            const std::int64_t now = std::time(nullptr);
            const std::size_t base = std::max<std::size_t>(options.m_nRows, 1);
            const std::size_t hot = std::min(options.m_nHot, base);
            for (auto& sample : batch) {
                // A fixed working set spread over the prefilled entries (a large prime stride), so changed
                // rows lie anywhere from the top to the bottom of the list.
                const std::size_t n = (random() % hot) * 7919 % base;
                sample = EntrySample(n, (random() & 1U) != 0, now);
            }
            table.AddSamples(batch, kLocal);
            folded.fetch_add(batch.size(), std::memory_order_relaxed);
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto due = options.m_nRows + static_cast<std::size_t>(elapsed * newPerSecond);
            std::vector<CTrafficEntry> fresh;
            for (; entries < due; ++entries) {
                fresh.push_back(EntrySample(entries, entries % 2 == 0, now));
            }
            table.AddSamples(fresh, kLocal);
            folded.fetch_add(fresh.size(), std::memory_order_relaxed);
        }
    });

    std::vector<double> lateness;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    auto last = Clock::now();
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        lateness.push_back(std::max(0.0, Ms(now - last) - 10.0));
        last = now;
    });
    QTimer::singleShot(static_cast<int>(options.m_dSeconds * 1000), [&] { QApplication::quit(); });
    last = Clock::now();
    probe.start();
    const auto runStart = Clock::now();
    QApplication::exec();
    stop = true;
    feeder.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    view.Refresh();

    std::printf("live: %.1f s, %.2f M samples/s folded on the feeder thread, rows at end %d\n", seconds,
                static_cast<double>(folded.load()) / seconds / 1e6, view.model()->rowCount());
    std::printf("event-loop lateness of a 10 ms timer over %zu fires: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                lateness.size(), Percentile(lateness, 0.5), Percentile(lateness, 0.99),
                lateness.empty() ? 0.0 : *std::max_element(lateness.begin(), lateness.end()));
}

// Phase 2: one refresh (pull, apply, signals, repaint) by table size and number of changed rows.
void MeasureTickCost(CMainFrame& frame, std::size_t rows) {
    CFlowsentryView& view = frame.View();
    CTrafficTable& table = view.Table();
    table.Clear();
    Prefill(table, rows);
    view.Refresh();
    QApplication::processEvents();
    std::mt19937_64 random(7);
    const std::int64_t now = std::time(nullptr);
    for (const std::size_t changed : {std::size_t{100}, std::size_t{10'000}, std::size_t{50'000}}) {
        std::vector<double> costs;
        for (int round = 0; round < 8; ++round) {
            std::vector<CTrafficEntry> samples;
            for (std::size_t i = 0; i < changed; ++i) {
                samples.push_back(EntrySample(random() % rows, true, now));
            }
            table.AddSamples(samples, kLocal);
            const auto start = Clock::now();
            view.Refresh();
            view.viewport()->repaint();
            costs.push_back(Ms(Clock::now() - start));
        }
        std::printf("tick: %8zu rows, %6zu changed: median %.2f ms, max %.2f ms\n", rows, changed,
                    Percentile(costs, 0.5), *std::max_element(costs.begin(), costs.end()));
    }
}

std::size_t Number(const char* text) { return static_cast<std::size_t>(std::strtoull(text, nullptr, 10)); }

} // namespace
} // namespace flowsentry

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    flowsentry::Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0) {
            options.m_nRows = flowsentry::Number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            options.m_dSeconds = std::strtod(argv[i + 1], nullptr);
        } else if (std::strcmp(argv[i], "--hot") == 0) {
            options.m_nHot = flowsentry::Number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--new-per-tick") == 0) {
            options.m_nNewPerTick = flowsentry::Number(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: window_latency [--rows N] [--seconds S] [--hot H] [--new-per-tick K]\n");
            return 2;
        }
    }
    std::printf("platform %s, %zu rows, %zu hot entries, %zu new entries per 250 ms\n",
                qPrintable(QGuiApplication::platformName()), options.m_nRows, options.m_nHot,
                options.m_nNewPerTick);

    flowsentry::CMainFrame frame;
    frame.resize(1280, 760);
    frame.show();
    frame.View().OnInitialUpdate();
    QApplication::processEvents();
    flowsentry::MeasureLatency(frame, options);
    flowsentry::MeasureTickCost(frame, 100'000);
    flowsentry::MeasureTickCost(frame, 1'000'000);
    return 0;
}
