// SPDX-License-Identifier: GPL-3.0-or-later
// How long the window thread stalls while packets are folded into the table at full speed on another
// thread, and what one refresh of the list costs for a given number of rows and changed rows.
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency [--rows N] [--seconds S] [--hot H]
//   [--new-per-tick K] [--sort COLUMN] [--filter TEXT]
// The list is filled with N rows, then sorted by COLUMN (a number, or the heading in lower case with
// dashes: total-data, date-time, send-rate; largest first) and filtered by TEXT as typed in the filter
// bar. A feeder thread then folds packets at full speed into a working set of H rows and adds K new rows per
// refresh interval, while a timer of this program refreshes the list every 250 ms as the view's own timer
// does during a capture (that timer runs only while a capture runs). Printed: the lateness of a 10 ms
// timer (the largest is the longest stall), the time spent in each refresh (CFlowsentryView::Refresh) and
// in each repaint of the window after it, the rows each refresh changed, and the peak resident memory.
// With --ipfix, the window sends flow records to that collector meanwhile, as its "Send Flows to a
// Collector..." does; the time to empty the list at the end (as Stop does) includes sending the rest.
// With --refresh-cost, no feeder: K rows of N change, then one refresh and one repaint of the list are
// timed, for K from 1,000 to 100,000, sorted and filtered as asked beside unsorted and unfiltered:
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency --refresh-cost [--rows N] [--sort COLUMN]
//       [--filter TEXT]
// bench/monitor_latency.sh runs both, with a million rows.
// With --live, the main window instead captures live on ADDR through its own Start Analyzing command (the
// capture helper, as the program runs it), for S seconds or until SIGINT/SIGTERM, then prints on stderr the
// rows shown, the capture's counters, the event loop's lateness and the CPU of this process and of the
// helper (bench/live_rate.sh runs it during its replay):
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency --live ADDR [--seconds S]
// With --export, the window's own Copy, Save or Export (csv, json) of the list (N rows, changing meanwhile):
// how long it takes, the event loop's lateness while it runs, and the memory before and after. With
// --filter (and --sort), Export writes only the rows the filter shows, in their order:
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency --rows 2000000 --export copy|save|csv|json
//       [--save-to PATH] [--hot H] [--new-per-tick K] [--filter TEXT] [--sort COLUMN]
// Under a display (xvfb-run) it shows the real window, which is also how the screenshot is taken.
#include "app/MainFrame.h"
#include "export/IpfixSink.h"
#include "platform/Privileges.h"
#include "traffic/RowFilter.h"
#include "traffic/RowOrder.h"
#include "view/FilterBar.h"
#include "view/FlowsentryView.h"
#include "view/TrafficChart.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
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
    std::string m_strSort;   // empty: the default order, newest first
    std::string m_strFilter; // empty: every row
    bool m_bRefreshCost = false;
    std::string m_strExport; // "copy", "save", "csv" or "json"
    std::string m_strSaveTo = "/tmp/window_latency_export.txt";
    std::string m_strIpfix; // a collector the window sends flow records to, as --ipfix of the CLI takes it
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double Max(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// The CPU time of the calling thread, in milliseconds.
double ThreadCpuMs() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_nsec) / 1e6;
}

// How long each of a kind of work took on the window thread: on the clock, and on the CPU. On a shared
// machine the first can be much longer, while the thread waits for a core (or for the table's lock).
struct Durations {
    std::vector<double> m_wall;
    std::vector<double> m_cpu;

    // Runs `work` and records its times.
    template <class Work> void Time(Work work) {
        const auto start = Clock::now();
        const double cpu = ThreadCpuMs();
        work();
        m_cpu.push_back(ThreadCpuMs() - cpu);
        m_wall.push_back(Ms(Clock::now() - start));
    }
    [[nodiscard]] std::string Summary() const {
        std::array<char, 200> text{};
        std::snprintf(text.data(), text.size(),
                      "median %.2f ms, p99 %.2f ms, max %.2f ms (on the CPU: median %.2f ms, max %.2f ms)",
                      Percentile(m_wall, 0.5), Percentile(m_wall, 0.99), Max(m_wall), Percentile(m_cpu, 0.5),
                      Max(m_cpu));
        return text.data();
    }
};

// This process's resident memory now and at its peak, in MiB.
struct Memory {
    double m_dResident = 0;
    double m_dPeak = 0;
};

Memory ReadMemory() {
    Memory memory;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        const auto kib = [&line] { return std::strtod(line.c_str() + line.find(':') + 1, nullptr) / 1024.0; };
        if (line.rfind("VmRSS:", 0) == 0) {
            memory.m_dResident = kib();
        } else if (line.rfind("VmHWM:", 0) == 0) {
            memory.m_dPeak = kib();
        }
    }
    return memory;
}

// Times the window's repaints: an update request to a window paints what changed in it into its backing
// store (after a refresh, the status bar in one, and the list with its headings and scroll bars in the
// next). Requests nest (the platform window's is handed on to the widget), so only the outermost counts.
// Apart from that, the paint events of one widget: the list's own rows.
class CBenchApplication final : public QApplication {
public:
    using QApplication::QApplication;

    // Records each repaint's times in `window` from now on, and those of `widget`'s paint events in
    // `widgetTimes` (nullptr: stops).
    void TimePaints(Durations* window, const QObject* widget = nullptr, Durations* widgetTimes = nullptr,
                    const QObject* chart = nullptr, Durations* chartTimes = nullptr) {
        m_pWindowTimes = window;
        m_pWidget = widget;
        m_pWidgetTimes = widgetTimes;
        m_pChart = chart;
        m_pChartTimes = chartTimes;
    }

    bool notify(QObject* receiver, QEvent* event) override {
        bool handled = false;
        if (m_pWindowTimes != nullptr && event->type() == QEvent::UpdateRequest && !m_bInUpdate) {
            m_bInUpdate = true;
            m_pWindowTimes->Time([&] { handled = QApplication::notify(receiver, event); });
            m_bInUpdate = false;
        } else if (m_pWidgetTimes != nullptr && receiver == m_pWidget && event->type() == QEvent::Paint) {
            m_pWidgetTimes->Time([&] { handled = QApplication::notify(receiver, event); });
        } else if (m_pChartTimes != nullptr && receiver == m_pChart && event->type() == QEvent::Paint) {
            m_pChartTimes->Time([&] { handled = QApplication::notify(receiver, event); });
        } else {
            handled = QApplication::notify(receiver, event);
        }
        return handled;
    }

private:
    Durations* m_pWindowTimes = nullptr;
    const QObject* m_pWidget = nullptr;
    Durations* m_pWidgetTimes = nullptr;
    const QObject* m_pChart = nullptr;
    Durations* m_pChartTimes = nullptr;
    bool m_bInUpdate = false;
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

// Fills the table with `rows` entries and shows them, a slice at a time as a capture would bring them: one
// batch of a million new rows would make the peak memory a figure of this benchmark, not of the window. A
// slice is what one refresh of a capture finding 40,000 new flows a second brings; the freed batches stay
// with the allocator, so larger slices leave more behind (50,000: about 40 MiB more resident).
// Their packets are five minutes old, as in a capture that has run for a while: stamped now, a million rows
// would change their rates together when their second enters and leaves the rate window, twice in the
// first seconds of the measurement.
void Prefill(CFlowsentryView& view, std::size_t rows) {
    constexpr std::size_t kSlice = 10'000;
    std::vector<CTrafficEntry> samples;
    samples.reserve(std::min(rows, kSlice));
    const std::int64_t now = std::time(nullptr) - 300;
    for (std::size_t n = 0; n < rows;) {
        samples.clear();
        for (const std::size_t end = std::min(rows, n + kSlice); n < end; ++n) {
            samples.push_back(EntrySample(n, n % 2 == 0, now));
        }
        view.Table().AddSamples(samples, kLocal);
        view.Refresh();
    }
}

// A column of the list by number or by its heading in lower case with dashes ("total-data").
std::optional<int> ColumnNamed(const CTrafficModel& model, const std::string& text) {
    for (int column = 0; column < ListColumnCount; ++column) {
        std::string name;
        for (const QChar c : model.headerData(column, Qt::Horizontal).toString()) {
            if (c.isLetterOrNumber()) {
                name += static_cast<char>(std::tolower(c.toLatin1()));
            } else if (!name.empty() && name.back() != '-') {
                name += '-';
            }
        }
        if (text == name || text == std::to_string(column)) {
            return column;
        }
    }
    return std::nullopt;
}

std::string ColumnName(const CTrafficModel& model, int column) {
    return model.headerData(column, Qt::Horizontal).toString().toStdString();
}

// Sorts and filters the list as asked, as the user would from the headings and the filter bar, and says
// what it shows and what that took. False on a filter the bar rejects (the bar's message is printed).
bool ApplyOrder(CMainFrame& frame, int column, const std::string& filter) {
    CFlowsentryView& view = frame.View();
    // The filter first: the sort then orders only the rows shown.
    auto start = Clock::now();
    frame.FilterBar().SetText(QString::fromStdString(filter));
    if (!frame.FilterBar().ErrorText().isEmpty()) {
        std::fprintf(stderr, "window_latency: the filter bar says: %s\n",
                     qPrintable(frame.FilterBar().ErrorText()));
        return false;
    }
    const double filterMs = Ms(Clock::now() - start);
    start = Clock::now();
    view.SortBy(column, true);
    const double sortMs = Ms(Clock::now() - start);
    if (column != CRowOrder::kDefaultOrder || !filter.empty()) {
        std::printf("order: %s, %s: %d of %zu rows shown (filter %.0f ms, sort %.0f ms)\n",
                    column == CRowOrder::kDefaultOrder
                        ? "newest first"
                        : ("sorted by " + ColumnName(view.Model(), column) + ", largest first").c_str(),
                    filter.empty() ? "no filter" : ("filter \"" + filter + "\"").c_str(),
                    view.model()->rowCount(), view.Model().Rows().RowCount(), filterMs, sortMs);
    }
    return true;
}

// The 10 ms probe timer whose lateness tells how long the window thread was kept from its events.
class CLatencyProbe {
public:
    CLatencyProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            const double cpu = ThreadCpuMs();
            m_lateness.push_back(std::max(0.0, Ms(now - m_last) - 10.0));
            m_cpu.push_back(cpu - m_dLastCpu);
            m_last = now;
            m_dLastCpu = cpu;
        });
    }
    void Start() {
        m_last = Clock::now();
        m_dLastCpu = ThreadCpuMs();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    [[nodiscard]] const std::vector<double>& Lateness() const { return m_lateness; }
    // The window thread's CPU time between the longest stall's fire and the one before: how much of the
    // stall was work, and how much waiting for a core.
    [[nodiscard]] double LongestStallCpu() const {
        return m_cpu.empty()
                   ? 0.0
                   : m_cpu[static_cast<std::size_t>(std::max_element(m_lateness.begin(), m_lateness.end()) -
                                                    m_lateness.begin())];
    }
    [[nodiscard]] std::string Summary() const {
        std::array<char, 200> text{};
        std::snprintf(
            text.data(), text.size(),
            "event-loop lateness of a 10 ms timer over %zu fires: median %.2f ms, p99 %.2f ms, max %.2f ms",
            m_lateness.size(), Percentile(m_lateness, 0.5), Percentile(m_lateness, 0.99), Max(m_lateness));
        return text.data();
    }

private:
    QTimer m_timer;
    Clock::time_point m_last;
    double m_dLastCpu = 0;
    std::vector<double> m_lateness;
    std::vector<double> m_cpu; // the window thread's CPU time in each interval
};

// Refreshes the list every kRefreshInterval, as the view's own timer does while a capture runs, and times
// each refresh from outside: the pull of the table's changes, the model's update (new rows, the merge of
// the changed rows into the order) and the signals, with what the window does on them at once (the status
// bar); not the repaint that follows in the event loop, which CBenchApplication times.
class CRefreshClock {
public:
    explicit CRefreshClock(CFlowsentryView& view) : m_view(view) {
        m_timer.setInterval(CFlowsentryView::kRefreshInterval);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start() { m_timer.start(); }
    void Stop() { m_timer.stop(); }

    [[nodiscard]] const Durations& Costs() const { return m_costs; }
    // Per refresh: the rows it changed (Touched(), new rows included), and the same counted once each.
    [[nodiscard]] const std::vector<double>& Touched() const { return m_touched; }
    [[nodiscard]] const std::vector<double>& Distinct() const { return m_distinct; }
    // The rows changed by the refresh that took longest.
    [[nodiscard]] double ChangedBySlowest() const {
        const auto& wall = m_costs.m_wall;
        return wall.empty() ? 0.0
                            : m_touched[static_cast<std::size_t>(std::max_element(wall.begin(), wall.end()) -
                                                                 wall.begin())];
    }

private:
    void Tick() {
        m_costs.Time([this] { m_view.Refresh(); });
        const CRowStore& rows = m_view.Model().Rows();
        m_seen.resize(rows.RowCount());
        std::size_t distinct = 0;
        for (const std::uint32_t serial : rows.Touched()) {
            distinct += m_seen[serial] == 0 ? 1U : 0U;
            m_seen[serial] = 1;
        }
        for (const std::uint32_t serial : rows.Touched()) {
            m_seen[serial] = 0;
        }
        m_touched.push_back(static_cast<double>(rows.Touched().size()));
        m_distinct.push_back(static_cast<double>(distinct));
    }

    CFlowsentryView& m_view;
    QTimer m_timer;
    Durations m_costs;
    std::vector<double> m_touched;
    std::vector<double> m_distinct;
    std::vector<std::uint8_t> m_seen; // per serial, cleared after each count
};

// Folds packets into the table at full speed on a thread of its own: changes to a working set of the
// prefilled entries, and new entries at the given rate.
class CFeeder {
public:
    CFeeder(CTrafficTable& table, const Options& options)
        : m_thread([this, &table, options] { Run(table, options); }) {}
    CFeeder(const CFeeder&) = delete;
    CFeeder& operator=(const CFeeder&) = delete;
    ~CFeeder() { Stop(); }

    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    [[nodiscard]] std::uint64_t Folded() const { return m_nFolded.load(); }

private:
    void Run(CTrafficTable& table, const Options& options) {
        std::mt19937_64 random(42);
        std::vector<CTrafficEntry> batch(4096);
        std::size_t entries = options.m_nRows;
        const auto start = Clock::now();
        const double newPerSecond = static_cast<double>(options.m_nNewPerTick) * 4.0;
        while (!m_bStop.load(std::memory_order_relaxed)) {
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
            m_nFolded.fetch_add(batch.size(), std::memory_order_relaxed);
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto due = options.m_nRows + static_cast<std::size_t>(elapsed * newPerSecond);
            std::vector<CTrafficEntry> fresh;
            for (; entries < due; ++entries) {
                fresh.push_back(EntrySample(entries, entries % 2 == 0, now));
            }
            table.AddSamples(fresh, kLocal);
            m_nFolded.fetch_add(fresh.size(), std::memory_order_relaxed);
        }
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<std::uint64_t> m_nFolded{0};
    std::thread m_thread; // last: it starts in the constructor and uses the members above
};

// The event loop's lateness under full-speed folding, with the list refreshed as during a capture.
bool MeasureLatency(CMainFrame& frame, CBenchApplication& app, const Options& options, int column) {
    CFlowsentryView& view = frame.View();
    if (!options.m_strIpfix.empty()) {
        const auto target = ParseIpfixTarget(options.m_strIpfix);
        if (!target) {
            std::fprintf(stderr, "window_latency: --ipfix: not a collector: %s\n",
                         options.m_strIpfix.c_str());
            return false;
        }
        CMainFrame::Seams seams;
        seams.m_askCollector = [target](QWidget*, const std::optional<IpfixTarget>&) {
            return std::optional<std::optional<IpfixTarget>>(target);
        };
        frame.SetSeams(seams);
        frame.Action(Command::ViewCollector)->trigger();
    }
    const Memory empty = ReadMemory();
    const auto fillStart = Clock::now();
    Prefill(view, options.m_nRows);
    QApplication::processEvents();
    const Memory filled = ReadMemory();
    std::printf("prefill: %zu rows folded and shown in %.1f ms\n", options.m_nRows,
                Ms(Clock::now() - fillStart));
    if (!ApplyOrder(frame, column, options.m_strFilter)) {
        return false;
    }
    QApplication::processEvents();
    const Memory ordered = ReadMemory();

    CFeeder feeder(view.Table(), options);
    CLatencyProbe probe;
    CRefreshClock refreshes(view);
    Durations paints;
    Durations listPaints;
    Durations chartPaints;
    QTimer::singleShot(static_cast<int>(options.m_dSeconds * 1000), Qt::PreciseTimer,
                       [&] { QApplication::quit(); });
    app.TimePaints(&paints, view.viewport(), &listPaints, frame.Chart().viewport(), &chartPaints);
    probe.Start();
    refreshes.Start();
    const auto runStart = Clock::now();
    const double cpuStart = ThreadCpuMs();
    QApplication::exec();
    const double cpu = ThreadCpuMs() - cpuStart;
    refreshes.Stop();
    probe.Stop();
    app.TimePaints(nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    feeder.Stop();
    view.Refresh();
    const Memory memory = ReadMemory();

    const auto& lateness = probe.Lateness();
    const auto& costs = refreshes.Costs().m_wall;
    std::printf("live: %.1f s, %.2f M samples/s folded on the feeder thread, rows at end %zu, shown %d; the "
                "window thread was on the CPU %.0f%% of the time\n",
                seconds, static_cast<double>(feeder.Folded()) / seconds / 1e6, view.Model().Rows().RowCount(),
                view.model()->rowCount(), cpu / (seconds * 10.0));
    std::printf("%s; in the longest stall the window thread was on the CPU %.2f ms of %.2f\n",
                probe.Summary().c_str(), probe.LongestStallCpu(), Max(lateness) + 10.0);
    std::printf("refreshes: %zu, each (CFlowsentryView::Refresh): %s\n", costs.size(),
                refreshes.Costs().Summary().c_str());
    std::printf(
        "repaints of the window: %zu (the status bar's, and the list's with its headings), the longest "
        "%.2f ms\n",
        paints.m_wall.size(), Max(paints.m_wall));
    const int lastShown = view.rowAt(view.viewport()->height() - 1);
    std::printf("paints of the list's rows (%d rows of %d columns on the screen): %zu, each: %s\n",
                (lastShown < 0 ? view.model()->rowCount() - 1 : lastShown) - view.rowAt(0) + 1,
                ListColumnCount, listPaints.m_wall.size(), listPaints.Summary().c_str());
    double chartMs = 0;
    for (const double ms : chartPaints.m_cpu) {
        chartMs += ms;
    }
    std::printf("the traffic chart: %zu paints, on the CPU %.2f ms per second of the run (each: %s)\n",
                chartPaints.m_wall.size(), chartMs / seconds, chartPaints.Summary().c_str());
    std::printf("rows changed per refresh: median %.0f (%.0f distinct), max %.0f (%.0f distinct); by the "
                "slowest refresh %.0f\n",
                Percentile(refreshes.Touched(), 0.5), Percentile(refreshes.Distinct(), 0.5),
                Max(refreshes.Touched()), Max(refreshes.Distinct()), refreshes.ChangedBySlowest());
    std::printf("memory: resident %.1f MiB with the window shown and no rows, %.1f MiB with the rows (peak "
                "%.1f), %.1f MiB sorted and filtered (peak %.1f), %.1f MiB at the end (peak %.1f)\n",
                empty.m_dResident, filled.m_dResident, filled.m_dPeak, ordered.m_dResident, ordered.m_dPeak,
                memory.m_dResident, memory.m_dPeak);
    // One line for scripts (bench/monitor_latency.sh).
    std::printf(
        "summary: shown=%d rows=%zu stall=%.2f stall_cpu=%.2f p99=%.2f median=%.2f refreshes=%zu "
        "refresh_median=%.2f "
        "refresh_p99=%.2f refresh_max=%.2f refresh_cpu=%.2f refresh_cpu_max=%.2f slowest_changed=%.0f "
        "paint_median=%.2f paint_p99=%.2f "
        "paint_max=%.2f paint_cpu=%.2f window_paint_max=%.2f changed=%.0f distinct=%.0f peak_mib=%.1f\n",
        view.model()->rowCount(), view.Model().Rows().RowCount(), Max(lateness), probe.LongestStallCpu(),
        Percentile(lateness, 0.99), Percentile(lateness, 0.5), costs.size(), Percentile(costs, 0.5),
        Percentile(costs, 0.99), Max(costs), Percentile(refreshes.Costs().m_cpu, 0.5),
        Max(refreshes.Costs().m_cpu), refreshes.ChangedBySlowest(), Percentile(listPaints.m_wall, 0.5),
        Percentile(listPaints.m_wall, 0.99), Max(listPaints.m_wall), Percentile(listPaints.m_cpu, 0.5),
        Max(paints.m_wall), Percentile(refreshes.Touched(), 0.5), Percentile(refreshes.Distinct(), 0.5),
        memory.m_dPeak);
    // What Stop Analyzing does with the list: the last changes go to the flow export, the rows are dropped.
    const auto clearStart = Clock::now();
    view.ClearTraffic();
    std::printf("emptying the list, as Stop does: %.1f ms\n", Ms(Clock::now() - clearStart));
    return true;
}

// One refresh and the list's repaint after K of the rows changed, in one order of the list.
struct RefreshCost {
    std::size_t m_nChanged = 0;
    double m_dShownChanged = 0; // of the changed rows, those the filter shows (median over the rounds)
    double m_dTouchedMax = 0;   // the rows a refresh changed, as the row store counts them: K, or a fault
    double m_dRefreshMedian = 0;
    double m_dRefreshMax = 0;
    double m_dPaintMedian = 0;
    double m_dPaintMax = 0;
};

std::vector<RefreshCost> MeasureRefreshCost(CFlowsentryView& view, const std::vector<std::size_t>& changes) {
    constexpr int kRounds = 10;
    std::vector<RefreshCost> results;
    const std::size_t rows = view.Model().Rows().RowCount();
    std::mt19937_64 random(7);
    for (const std::size_t changed : changes) {
        RefreshCost result;
        result.m_nChanged = std::min(changed, rows);
        std::vector<double> refresh;
        std::vector<double> paint;
        std::vector<double> shown;
        std::vector<double> touched;
        for (int round = 0; round < kRounds; ++round) {
            // K distinct entries spread over the whole list: a stride that is prime and does not divide the
            // count visits each entry once. Their packets are older than any rate window, so that exactly
            // these K rows change: packets of now would change the rates of every row they touched again
            // when their second enters the window and when it leaves it, at whichever round the clock
            // passes a second (the live run measures that).
            const std::int64_t now = std::time(nullptr) - 300;
            std::size_t stride = 7919;
            while (rows % stride == 0) {
                stride += 2;
            }
            const std::size_t first = random() % rows;
            std::vector<CTrafficEntry> samples;
            samples.reserve(result.m_nChanged);
            double accepted = 0;
            for (std::size_t i = 0; i < result.m_nChanged; ++i) {
                samples.push_back(EntrySample((first + i * stride) % rows, true, now));
                accepted += view.Model().Order().Accepts(samples.back()) ? 1 : 0;
            }
            view.Table().AddSamples(samples, kLocal);
            auto start = Clock::now();
            view.Refresh();
            refresh.push_back(Ms(Clock::now() - start));
            start = Clock::now();
            view.viewport()->repaint();
            paint.push_back(Ms(Clock::now() - start));
            shown.push_back(accepted);
            touched.push_back(static_cast<double>(view.Model().Rows().Touched().size()));
        }
        result.m_dShownChanged = Percentile(shown, 0.5);
        result.m_dTouchedMax = Max(touched);
        result.m_dRefreshMedian = Percentile(refresh, 0.5);
        result.m_dRefreshMax = Max(refresh);
        result.m_dPaintMedian = Percentile(paint, 0.5);
        result.m_dPaintMax = Max(paint);
        results.push_back(result);
    }
    return results;
}

// The refresh-cost table: sorted and filtered as asked beside the default order without a filter.
bool MeasureRefreshCosts(CMainFrame& frame, const Options& options, int column) {
    CFlowsentryView& view = frame.View();
    Prefill(view, options.m_nRows);
    QApplication::processEvents();
    const std::vector<std::size_t> changes = {1'000, 10'000, 50'000, 100'000};
    const bool ordered = column != CRowOrder::kDefaultOrder || !options.m_strFilter.empty();
    std::vector<RefreshCost> orderedCosts;
    std::string orderedName;
    int orderedShown = 0;
    if (ordered) {
        if (!ApplyOrder(frame, column, options.m_strFilter)) {
            return false;
        }
        orderedShown = view.model()->rowCount();
        orderedName = (column == CRowOrder::kDefaultOrder ? std::string("newest first")
                                                          : "by " + ColumnName(view.Model(), column)) +
                      (options.m_strFilter.empty() ? "" : ", " + options.m_strFilter);
        orderedCosts = MeasureRefreshCost(view, changes);
        ApplyOrder(frame, CRowOrder::kDefaultOrder, {});
    }
    const std::vector<RefreshCost> plainCosts = MeasureRefreshCost(view, changes);
    const Memory memory = ReadMemory();

    std::printf("refresh cost with %zu rows, 10 rounds each: one refresh (CFlowsentryView::Refresh) and one "
                "repaint of the list, median / max ms\n",
                options.m_nRows);
    if (ordered) {
        std::printf("%8s | %-49s | %s\n", "",
                    (orderedName + " (" + std::to_string(orderedShown) + " shown)").c_str(),
                    "unsorted, no filter");
        std::printf("%8s | %7s %20s %20s | %20s %20s\n", "changed", "shown", "refresh", "repaint", "refresh",
                    "repaint");
    } else {
        std::printf("%8s | %20s %20s\n", "changed", "refresh", "repaint");
    }
    for (std::size_t i = 0; i < plainCosts.size(); ++i) {
        const RefreshCost& plain = plainCosts[i];
        std::printf("%8zu | ", plain.m_nChanged);
        if (ordered) {
            const RefreshCost& cost = orderedCosts[i];
            std::printf("%7.0f %9.2f / %8.2f %9.2f / %8.2f | ", cost.m_dShownChanged, cost.m_dRefreshMedian,
                        cost.m_dRefreshMax, cost.m_dPaintMedian, cost.m_dPaintMax);
        }
        std::printf("%9.2f / %8.2f %9.2f / %8.2f\n", plain.m_dRefreshMedian, plain.m_dRefreshMax,
                    plain.m_dPaintMedian, plain.m_dPaintMax);
    }
    // The figures are those of K changed rows only if the store saw no more.
    for (const std::vector<RefreshCost>& costs : {std::cref(orderedCosts), std::cref(plainCosts)}) {
        for (const RefreshCost& cost : costs) {
            if (cost.m_dTouchedMax != static_cast<double>(cost.m_nChanged)) {
                std::printf("note: with %zu rows changed, a refresh changed %.0f\n", cost.m_nChanged,
                            cost.m_dTouchedMax);
            }
        }
    }
    std::printf("memory: resident %.1f MiB at the end, peak %.1f MiB\n", memory.m_dResident, memory.m_dPeak);
    return true;
}

// --- Save and Copy --------------------------------------------------------------------------------

// Runs the window's events for a while.
void RunEvents(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window's own Save (to `path`) or Copy of the list, through its command, while the feeder keeps
// changing the rows (--hot 0: no feeder): how long the job takes and how late the 10 ms timer fires from
// the command until shortly after the job (which includes the refresh held back while the rows were
// copied), beside the same window and feeder without a job for as long again; the memory before and after.
// With --new-per-tick 0 the table does not grow meanwhile, so the memory figures are the job's.
bool MeasureExport(CMainFrame& frame, const Options& options, int column) {
    const std::string& kind = options.m_strExport;
    const bool save = kind != "copy"; // a file is written
    const std::string& path = options.m_strSaveTo;
    CFlowsentryView& view = frame.View();
    Prefill(view, options.m_nRows);
    QApplication::processEvents();
    if (!ApplyOrder(frame, column, options.m_strFilter)) {
        return false;
    }
    std::optional<CFeeder> feeder;
    if (options.m_nHot > 0) {
        feeder.emplace(view.Table(), options);
    }
    RunEvents(std::chrono::seconds(1));
    const Memory before = ReadMemory();
    const int rows = view.model()->rowCount();

    CMainFrame::Seams seams;
    seams.m_askSaveName = [path](QWidget*) { return QString::fromStdString(path); };
    seams.m_askExport = [path, json = kind == "json"](QWidget*, bool filtered) {
        return std::optional<ExportChoice>(
            ExportChoice{QString::fromStdString(path), json ? RowFormat::Json : RowFormat::Csv, filtered});
    };
    frame.SetSeams(seams);
    QEventLoop loop;
    Clock::time_point finished;
    bool completed = false;
    QObject::connect(&frame.Export(), &CListExport::Finished, &loop, [&](bool done) {
        finished = Clock::now();
        completed = done;
        // The held refresh and the clipboard's update come right after.
        QTimer::singleShot(500, &loop, &QEventLoop::quit);
    });
    // The capture's side: samples folded per second while the job runs, and then without it.
    const auto folded = [&feeder] { return feeder ? feeder->Folded() : 0; };
    const std::uint64_t foldedBefore = folded();
    CLatencyProbe probe;
    probe.Start();
    const auto start = Clock::now();
    frame
        .Action(kind == "copy"   ? Command::EditCopy
                : kind == "save" ? Command::FileSave
                                 : Command::FileExport)
        ->trigger();
    const double command = Ms(Clock::now() - start);
    if (frame.Export().IsRunning()) {
        loop.exec();
    } else {
        finished = Clock::now();
    }
    probe.Stop();
    const auto probed = Clock::now() - start;
    const double foldRate = static_cast<double>(folded() - foldedBefore) / (Ms(probed) / 1000.0) / 1e6;
    RunEvents(std::chrono::seconds(1));
    const Memory after = ReadMemory();
    // The yardstick: this machine is shared and noisy, and the list's own refreshes cost something.
    CLatencyProbe control;
    const std::uint64_t foldedThen = folded();
    const auto controlStart = Clock::now();
    control.Start();
    RunEvents(std::chrono::duration_cast<std::chrono::milliseconds>(probed));
    control.Stop();
    const double controlFoldRate =
        static_cast<double>(folded() - foldedThen) / (Ms(Clock::now() - controlStart) / 1000.0) / 1e6;
    feeder.reset();

    std::printf("%s of %d rows (%s): %.0f ms until done; the command itself returned after %.1f ms\n",
                kind.c_str(), rows, completed ? "completed" : "NOT completed", Ms(finished - start), command);
    std::printf("during the job: %s\n", probe.Summary().c_str());
    std::printf("then no job:    %s\n", control.Summary().c_str());
    if (options.m_nHot > 0) {
        std::printf("folded on the feeder thread: %.2f M samples/s during the job, %.2f M/s then\n", foldRate,
                    controlFoldRate);
    }
    if (save) {
        std::error_code ec;
        std::printf("file: %.1f MiB\n",
                    static_cast<double>(std::filesystem::file_size(path, ec)) / 1048576.0);
    } else if (const QMimeData* data = QGuiApplication::clipboard()->mimeData()) {
        std::printf("clipboard: %.1f MiB of text held\n",
                    static_cast<double>(data->data(QStringLiteral("text/plain")).size()) / 1048576.0);
    }
    std::printf(
        "memory: resident %.1f MiB before, %.1f MiB after (%+.1f MiB%s), peak %.1f MiB; rows now %d\n",
        before.m_dResident, after.m_dResident, after.m_dResident - before.m_dResident,
        save ? "" : ", the clipboard's text included", after.m_dPeak, view.model()->rowCount());
    return true;
}

// --- Live mode --------------------------------------------------------------------------------------

// Written by the signal handler, read by a socket notifier on the window thread: the only safe way to turn
// a signal into a Qt event.
int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    (void)!write(g_signalPipe[1], &byte, 1);
}

struct ProcessCpu {
    pid_t m_nPid = -1;
    pid_t m_nParent = -1;
    std::string m_strName; // as the kernel keeps it: 15 characters
    double m_dUser = 0;
    double m_dSystem = 0;
};

// A process's or thread's stat file: its name, parent and CPU so far.
std::optional<ProcessCpu> ReadStat(const std::filesystem::path& path, pid_t pid) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 > line.size()) {
        return std::nullopt;
    }
    // After the name: state (field 3), ppid (4), ..., utime (14), stime (15).
    std::istringstream fields(line.substr(close + 2));
    std::vector<std::string> values;
    std::string value;
    while (values.size() < 13 && fields >> value) {
        values.push_back(value);
    }
    if (values.size() < 13) {
        return std::nullopt;
    }
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    ProcessCpu cpu;
    cpu.m_nPid = pid;
    cpu.m_nParent = static_cast<pid_t>(std::strtol(values[1].c_str(), nullptr, 10));
    cpu.m_strName = line.substr(open + 1, close - open - 1);
    cpu.m_dUser = static_cast<double>(std::strtoull(values[11].c_str(), nullptr, 10)) / tick;
    cpu.m_dSystem = static_cast<double>(std::strtoull(values[12].c_str(), nullptr, 10)) / tick;
    return cpu;
}

// The capture helper this process started, found by its parent id, with its CPU so far. Read before the
// stop, while it still runs (once it is collected, only wait4's total of all children remains).
std::optional<ProcessCpu> HelperCpu() {
    const pid_t self = getpid();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const auto cpu =
            ReadStat(entry.path() / "stat", static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10)));
        if (cpu && cpu->m_nParent == self && cpu->m_strName == "flowsentry-capt") {
            return cpu;
        }
    }
    return std::nullopt;
}

// The window thread's own CPU (its thread id is the process id), apart from the capture thread's.
std::optional<ProcessCpu> WindowThreadCpu() {
    const pid_t self = getpid();
    return ReadStat("/proc/self/task/" + std::to_string(self) + "/stat", self);
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// The window capturing live on `address` until `seconds` have passed (none: until SIGINT or SIGTERM).
int RunLive(CMainFrame& frame, const std::string& address, std::optional<double> seconds) {
    CFlowsentryView& view = frame.View();
    // What the command would show in a message box is printed instead: nobody is there to close it.
    const CapturePrivileges privileges = CheckCapturePrivileges();
    if (!privileges.bCanCapture) {
        std::fprintf(stderr, "window_latency: %s\n", privileges.strExplanation.c_str());
        return 1;
    }
    // Context of the connections below, so that none outlives what it refers to.
    QObject scope;
    // The figures are taken when the run is over, before quitting: Qt's quit closes the window, whose
    // close stops the capture (as in the program), and the helper's CPU can only be read while it runs.
    CLatencyProbe probe;
    Clock::time_point runStart;
    double wall = 0;
    std::optional<ProcessCpu> helper;
    std::optional<ProcessCpu> windowThread;
    rusage self{};
    bool finished = false;
    const auto finish = [&] {
        if (finished) {
            return;
        }
        finished = true;
        probe.Stop();
        wall = std::chrono::duration<double>(Clock::now() - runStart).count();
        helper = HelperCpu();
        windowThread = WindowThreadCpu();
        getrusage(RUSAGE_SELF, &self);
        QApplication::quit();
    };

    int status = 0;
    QObject::disconnect(&view, &CFlowsentryView::CaptureEnded, &frame, nullptr);
    QObject::connect(
        &view, &CFlowsentryView::CaptureEnded, &scope, [&status, &finish](const QString& errorText) {
            std::fprintf(stderr, "window_latency: the capture ended by itself: %s\n", qPrintable(errorText));
            status = 1;
            finish();
        });

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("window_latency: pipe");
        return 1;
    }
    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &scope, finish);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Start Analyzing as the menu runs it, with the address chosen here instead of in the dialog.
    CMainFrame::Seams seams;
    seams.m_chooseAddress =
        [&address](QWidget*, const std::vector<std::string>& addresses) -> std::optional<std::string> {
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            std::fprintf(stderr, "window_latency: %s is not an address of this machine\n", address.c_str());
            return std::nullopt;
        }
        return address;
    };
    frame.SetSeams(seams);
    frame.OnStartAnalyzing();
    if (!view.Sniffer().IsRunning()) {
        // An unknown address has been reported by the chooser already.
        if (const std::string text = view.Sniffer().GetErrorText(); !text.empty()) {
            std::fprintf(stderr, "window_latency: the capture did not start: %s\n", text.c_str());
        }
        return 1;
    }
    std::fprintf(stderr, "window_latency: platform %s, capturing on %s\n",
                 qPrintable(QGuiApplication::platformName()), address.c_str());

    if (seconds) {
        QTimer::singleShot(static_cast<int>(*seconds * 1000), &scope, finish);
    }
    probe.Start();
    runStart = Clock::now();
    QApplication::exec();
    finish(); // the loop ended some other way: the figures are taken now

    // Already stopped by the window's close; then the last changes are pulled so that the list shows all
    // that was counted.
    view.Sniffer().StopSniffing();
    view.Refresh();
    const SnifferStats stats = view.Sniffer().Stats();
    std::fprintf(stderr,
                 "rows shown: %d, packets seen: %llu, counted: %llu, dropped by the kernel: %llu (%.1f s)\n",
                 view.model()->rowCount(), static_cast<unsigned long long>(stats.m_counters.m_nFrames),
                 static_cast<unsigned long long>(stats.m_counters.m_nCounted),
                 static_cast<unsigned long long>(stats.m_nKernelDrops), wall);
    std::fprintf(stderr, "%s\n", probe.Summary().c_str());
    std::fprintf(stderr, "cpu: window process user %.2f s, system %.2f s", Seconds(self.ru_utime),
                 Seconds(self.ru_stime));
    if (windowThread) {
        std::fprintf(stderr, " (window thread user %.2f s, system %.2f s)", windowThread->m_dUser,
                     windowThread->m_dSystem);
    }
    if (helper) {
        std::fprintf(stderr, "; helper (pid %d) user %.2f s, system %.2f s\n",
                     static_cast<int>(helper->m_nPid), helper->m_dUser, helper->m_dSystem);
    } else {
        std::fprintf(stderr, "; helper not found\n");
    }
    return status;
}

std::size_t Number(const char* text) {
    return static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

} // namespace
} // namespace flowsentry

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    flowsentry::CBenchApplication app(argc, argv);
    flowsentry::Options options;
    std::optional<std::string> live;
    bool secondsGiven = false;
    const auto usage = [] {
        std::fprintf(
            stderr,
            "usage: window_latency [--rows N] [--seconds S] [--hot H] [--new-per-tick K]\n"
            "                      [--sort COLUMN] [--filter TEXT] [--ipfix HOST:PORT]\n"
            "       window_latency --refresh-cost [--rows N] [--sort COLUMN] [--filter TEXT]\n"
            "       window_latency --export copy|save|csv|json [--save-to PATH] [--rows N] [--hot H]\n"
            "                      [--new-per-tick K] [--sort COLUMN] [--filter TEXT]\n"
            "       window_latency --live ADDR [--seconds S]\n"
            "COLUMN: a number from 0, or a heading in lower case with dashes (total-data, send-rate)\n");
        return 2;
    };
    for (int i = 1; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--refresh-cost") == 0) {
            options.m_bRefreshCost = true;
            --i; // takes no value
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "window_latency: %s lacks its value\n", argv[i]);
            return 2;
        }
        if (std::strcmp(argv[i], "--live") == 0) {
            live = argv[i + 1];
        } else if (std::strcmp(argv[i], "--rows") == 0) {
            options.m_nRows = flowsentry::Number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            options.m_dSeconds = std::strtod(argv[i + 1], nullptr);
            secondsGiven = true;
        } else if (std::strcmp(argv[i], "--hot") == 0) {
            options.m_nHot = flowsentry::Number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--new-per-tick") == 0) {
            options.m_nNewPerTick = flowsentry::Number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--sort") == 0) {
            options.m_strSort = argv[i + 1];
        } else if (std::strcmp(argv[i], "--filter") == 0) {
            options.m_strFilter = argv[i + 1];
        } else if (std::strcmp(argv[i], "--export") == 0 &&
                   (std::strcmp(argv[i + 1], "copy") == 0 || std::strcmp(argv[i + 1], "save") == 0 ||
                    std::strcmp(argv[i + 1], "csv") == 0 || std::strcmp(argv[i + 1], "json") == 0)) {
            options.m_strExport = argv[i + 1];
        } else if (std::strcmp(argv[i], "--ipfix") == 0) {
            options.m_strIpfix = argv[i + 1];
        } else if (std::strcmp(argv[i], "--save-to") == 0) {
            options.m_strSaveTo = argv[i + 1];
        } else {
            return usage();
        }
    }
    if (live) {
        flowsentry::CMainFrame frame;
        frame.SetDocumentTitle(QStringLiteral("Untitled"));
        frame.resize(1280, 760);
        frame.show();
        frame.View().OnInitialUpdate();
        QApplication::processEvents();
        return flowsentry::RunLive(frame, *live,
                                   secondsGiven ? std::optional<double>(options.m_dSeconds) : std::nullopt);
    }

    flowsentry::CMainFrame frame;
    int column = flowsentry::CRowOrder::kDefaultOrder;
    if (!options.m_strSort.empty()) {
        const auto named = flowsentry::ColumnNamed(frame.View().Model(), options.m_strSort);
        if (!named) {
            std::fprintf(stderr, "window_latency: no column \"%s\"\n", options.m_strSort.c_str());
            return usage();
        }
        column = *named;
    }
    // Checked before a million rows are made for nothing; the bar says the same.
    if (const std::string error = flowsentry::CRowFilter::Parse(options.m_strFilter).Error();
        !error.empty()) {
        std::fprintf(stderr, "window_latency: --filter: %s\n", error.c_str());
        return 2;
    }
    if (options.m_bRefreshCost) {
        std::printf("platform %s, %zu rows, no feeder\n", qPrintable(QGuiApplication::platformName()),
                    options.m_nRows);
    } else {
        std::printf("platform %s, %zu rows, %zu hot entries, %zu new entries per 250 ms\n",
                    qPrintable(QGuiApplication::platformName()), options.m_nRows, options.m_nHot,
                    options.m_nNewPerTick);
    }
    frame.resize(1280, 760);
    frame.show();
    frame.View().OnInitialUpdate();
    QApplication::processEvents();
    if (!options.m_strExport.empty()) {
        return flowsentry::MeasureExport(frame, options, column) ? 0 : 1;
    }
    if (options.m_bRefreshCost) {
        return flowsentry::MeasureRefreshCosts(frame, options, column) ? 0 : 1;
    }
    return flowsentry::MeasureLatency(frame, app, options, column) ? 0 : 1;
}
