// SPDX-License-Identifier: GPL-3.0-or-later
// How long the window thread stalls while packets are folded into the table at full speed on another
// thread, and what one refresh of the list costs for a given number of rows and changed rows.
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency [--rows N] [--seconds S] [--hot H]
//   [--new-per-tick K]
// With --live, the main window instead captures live on ADDR through its own Start Analyzing command (the
// capture helper, as the program runs it), for S seconds or until SIGINT/SIGTERM, then prints on stderr the
// rows shown, the capture's counters, the event loop's lateness and the CPU of this process and of the
// helper (bench/live_rate.sh runs it during its replay):
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency --live ADDR [--seconds S]
// With --export, the window's own Copy or Save of the list (N rows, changing meanwhile): how long it takes,
// the event loop's lateness while it runs, and the memory before and after:
//   QT_QPA_PLATFORM=offscreen build/dev/bench/window_latency --rows 2000000 --export copy|save
//       [--save-to PATH] [--hot H] [--new-per-tick K]
// Under a display (xvfb-run) it shows the real window, which is also how the screenshot is taken.
#include "app/MainFrame.h"
#include "platform/Privileges.h"
#include "view/FlowsentryView.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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
    std::string m_strExport; // "copy" or "save"
    std::string m_strSaveTo = "/tmp/window_latency_export.txt";
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

// The 10 ms probe timer whose lateness tells how long the window thread was kept from its events.
class CLatencyProbe {
public:
    CLatencyProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            m_lateness.push_back(std::max(0.0, Ms(now - m_last) - 10.0));
            m_last = now;
        });
    }
    void Start() {
        m_last = Clock::now();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    [[nodiscard]] std::string Summary() const {
        std::array<char, 200> text{};
        std::snprintf(
            text.data(), text.size(),
            "event-loop lateness of a 10 ms timer over %zu fires: median %.2f ms, p99 %.2f ms, max %.2f ms",
            m_lateness.size(), Percentile(m_lateness, 0.5), Percentile(m_lateness, 0.99),
            m_lateness.empty() ? 0.0 : *std::max_element(m_lateness.begin(), m_lateness.end()));
        return text.data();
    }

private:
    QTimer m_timer;
    Clock::time_point m_last;
    std::vector<double> m_lateness;
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

// Phase 1: the event loop's lateness under full-speed folding.
void MeasureLatency(CMainFrame& frame, const Options& options) {
    CFlowsentryView& view = frame.View();
    CTrafficTable& table = view.Table();
    const auto fillStart = Clock::now();
    Prefill(table, options.m_nRows);
    view.Refresh();
    QApplication::processEvents();
    std::printf("prefill: %zu rows folded and shown in %.1f ms\n", options.m_nRows,
                Ms(Clock::now() - fillStart));

    CFeeder feeder(table, options);
    CLatencyProbe probe;
    QTimer::singleShot(static_cast<int>(options.m_dSeconds * 1000), [&] { QApplication::quit(); });
    probe.Start();
    const auto runStart = Clock::now();
    QApplication::exec();
    probe.Stop();
    feeder.Stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    view.Refresh();

    std::printf("live: %.1f s, %.2f M samples/s folded on the feeder thread, rows at end %d\n", seconds,
                static_cast<double>(feeder.Folded()) / seconds / 1e6, view.model()->rowCount());
    std::printf("%s\n", probe.Summary().c_str());
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

// --- Save and Copy --------------------------------------------------------------------------------

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
void MeasureExport(CMainFrame& frame, const Options& options, bool save, const std::string& path) {
    CFlowsentryView& view = frame.View();
    Prefill(view.Table(), options.m_nRows);
    view.Refresh();
    QApplication::processEvents();
    std::optional<CFeeder> feeder;
    if (options.m_nHot > 0) {
        feeder.emplace(view.Table(), options);
    }
    RunEvents(std::chrono::seconds(1));
    const Memory before = ReadMemory();
    const int rows = view.model()->rowCount();

    if (save) {
        CMainFrame::Seams seams;
        seams.m_askSaveName = [path](QWidget*) { return QString::fromStdString(path); };
        frame.SetSeams(seams);
    }
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
    frame.Action(save ? Command::FileSave : Command::EditCopy)->trigger();
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
                save ? "save" : "copy", rows, completed ? "completed" : "NOT completed", Ms(finished - start),
                command);
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
    QApplication app(argc, argv);
    flowsentry::Options options;
    std::optional<std::string> live;
    bool secondsGiven = false;
    for (int i = 1; i < argc; i += 2) {
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
        } else if (std::strcmp(argv[i], "--export") == 0 &&
                   (std::strcmp(argv[i + 1], "copy") == 0 || std::strcmp(argv[i + 1], "save") == 0)) {
            options.m_strExport = argv[i + 1];
        } else if (std::strcmp(argv[i], "--save-to") == 0) {
            options.m_strSaveTo = argv[i + 1];
        } else {
            std::fprintf(stderr,
                         "usage: window_latency [--rows N] [--seconds S] [--hot H] [--new-per-tick K]\n"
                         "       window_latency --export copy|save [--save-to PATH] [--rows N] [--hot H]\n"
                         "                      [--new-per-tick K]\n"
                         "       window_latency --live ADDR [--seconds S]\n");
            return 2;
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
    std::printf("platform %s, %zu rows, %zu hot entries, %zu new entries per 250 ms\n",
                qPrintable(QGuiApplication::platformName()), options.m_nRows, options.m_nHot,
                options.m_nNewPerTick);

    flowsentry::CMainFrame frame;
    frame.resize(1280, 760);
    frame.show();
    frame.View().OnInitialUpdate();
    QApplication::processEvents();
    if (!options.m_strExport.empty()) {
        flowsentry::MeasureExport(frame, options, options.m_strExport == "save", options.m_strSaveTo);
        return 0;
    }
    flowsentry::MeasureLatency(frame, options);
    flowsentry::MeasureTickCost(frame, 100'000);
    flowsentry::MeasureTickCost(frame, 1'000'000);
    return 0;
}
