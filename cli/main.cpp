// SPDX-License-Identifier: GPL-3.0-or-later
// flowsentry-cli: the traffic table without a window, live on a local address or from a capture file.
#include "capture/FileSource.h"
#include "capture/HelperSource.h"
#include "capture/Sniffer.h"
#include "cli/Formats.h"
#include "export/FlowExporter.h"
#include "export/IpfixSink.h"
#include "platform/AresResolver.h"
#include "platform/Interfaces.h"
#include "platform/NameCache.h"
#include "platform/Privileges.h"
#include "platform/SystemError.h"
#include "traffic/RowStore.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace flowsentry::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 128 + SIGINT; // what shells report for a program ended by Ctrl+C

const char* const kUsage =
    "Usage: flowsentry-cli [--address ADDR | --read FILE [--local ADDR]]\n"
    "                      [--format table|text|csv|json|none] [--interval S] [--duration S]\n"
    "                      [--max-entries N] [--stats] [--ipfix [udp:|tcp:]HOST:PORT "
    "[--active-timeout S]\n"
    "                      [--idle-timeout S] [--template-refresh S] [--observation-domain N]]\n"
    "                      [--resolve] [--list-addresses] [--help]\n"
    "\n"
    "Counts IPv4 and IPv6 traffic per source, destination and protocol, with bytes and packets each way.\n"
    "\n"
    "  --list-addresses  print the machine's IPv4, then IPv6 addresses and their interfaces, then exit\n"
    "  --address ADDR    capture live on the interface that owns the local address ADDR (needs root or\n"
    "                    membership of the group flowsentry); Ctrl+C ends the capture and prints the table\n"
    "  --read FILE       count a pcap or pcapng capture file; - reads it from standard input. Ctrl+C\n"
    "                    stops the read and prints what was counted so far\n"
    "  --local ADDR      with --read: the address that counts as ours (sent/received); without it each\n"
    "                    entry is oriented by its first datagram\n"
    "  --format F        table (aligned, with headings; the default), text (exactly what the window's\n"
    "                    Save As writes), csv (with a heading line), json (one array of objects, one per\n"
    "                    row, keyed by the headings), none (no table). csv and json carry numbers as\n"
    "                    numbers, times in ISO 8601 with the offset, live also the rates in bytes/s\n"
    "  --interval S      during a live capture, print the table every S seconds (csv: tables apart by an\n"
    "                    empty line; json: JSON Lines, each table one array on a line of its own)\n"
    "  --duration S      end a live capture after S seconds\n"
    "  --max-entries N   keep at most N rows of address pairs (default 2000000); traffic of further pairs\n"
    "                    is counted in one row per protocol whose addresses read \"other\"\n"
    "  --resolve         show host names (reverse DNS, /etc/hosts) in the table's address cells where\n"
    "                    known, and as Source Name and Destination Name in csv and json; with --read the "
    "look-ups get at most 3 seconds before the table is\n"
    "                    printed, live each table shows the names known by then\n"
    "  --stats           print packets seen, dropped by the kernel, not IP, too short and counted in\n"
    "                    \"other\" rows on stderr (with --ipfix also the flow records sent)\n"
    "  --ipfix TARGET    send flow records (IPFIX, two per row: one each way) to a collector at HOST:PORT\n"
    "                    over UDP, or tcp:HOST:PORT; an IPv6 address in brackets ([::1]:4739)\n"
    "  --active-timeout S  with --ipfix: a row still busy sends what it counted every S seconds (60)\n"
    "  --idle-timeout S  with --ipfix: a row quiet for S seconds sends what is left (15)\n"
    "  --template-refresh S  with --ipfix over UDP: the templates are sent again every S seconds (600)\n"
    "  --observation-domain N  with --ipfix: the observation domain id of the records (0)\n"
    "\n"
    "Exit status: 0 success, 1 capture or file error (or output that cannot be written), 2 usage error,\n"
    "130 a --read stopped by Ctrl+C.\n";

struct Options {
    bool m_bList = false;
    bool m_bHelp = false;
    bool m_bStats = false;
    bool m_bResolve = false;
    std::string m_strAddress;
    std::string m_strFile;
    std::string m_strLocal;
    Format m_format = Format::Table;
    double m_dInterval = 0;
    double m_dDuration = 0;
    std::size_t m_nMaxEntries = CTrafficTable::kDefaultMaxEntries;
    std::optional<IpfixTarget> m_ipfix;
    FlowTimeouts m_timeouts;
    double m_dTemplateRefresh = 600;
    std::uint32_t m_dwObservationDomain = 0;
};

int UsageError(const std::string& text) {
    std::fprintf(stderr, "flowsentry-cli: %s\nTry 'flowsentry-cli --help'.\n", text.c_str());
    return kExitUsage;
}

// Longer than any capture anyone waits for, and short enough that the steady clock's nanoseconds (which
// overflow after 292 years) can add it to the time now.
constexpr double kMaxSeconds = 366.0 * 24 * 3600;

bool ParseSeconds(std::string_view text, double& seconds) {
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(copy.c_str(), &end);
    if (errno == 0 && end != copy.c_str() && *end == '\0' && std::isfinite(seconds) && seconds > 0) {
        seconds = std::min(seconds, kMaxSeconds);
        return true;
    }
    return false;
}

// Digits only: no sign, no exponent, no blanks; at least 1 and no more than a size_t holds.
bool ParseCount(std::string_view text, std::size_t& count) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() && end == text.data() + text.size() && count > 0;
}

// Flushes stdout and says why when what was written there did not arrive (a full disk, a closed pipe).
// SIGPIPE keeps its default action, so a reader that went away (`| head`) ends the program quietly as it
// does other tools; only where SIGPIPE is ignored does a closed pipe come here, as EPIPE, and exit 1.
bool FlushOutput() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "flowsentry-cli: cannot write the output: %s\n", SystemErrorText(errno).c_str());
        return false;
    }
    return true;
}

// Returns -1 when the options are fine, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options.m_bHelp = true;
        } else if (arg == "--list-addresses") {
            options.m_bList = true;
        } else if (arg == "--stats") {
            options.m_bStats = true;
        } else if (arg == "--resolve") {
            options.m_bResolve = true;
        } else if (arg == "--address") {
            if (!value(options.m_strAddress)) {
                return UsageError("--address needs an address");
            }
        } else if (arg == "--read") {
            if (!value(options.m_strFile)) {
                return UsageError("--read needs a file");
            }
        } else if (arg == "--local") {
            if (!value(options.m_strLocal)) {
                return UsageError("--local needs an address");
            }
        } else if (arg == "--format") {
            if (!value(text) || !ParseFormat(text, options.m_format)) {
                return UsageError("--format must be table, text, csv or json");
            }
        } else if (arg == "--interval" || arg == "--duration") {
            double& target = arg == "--interval" ? options.m_dInterval : options.m_dDuration;
            if (!value(text) || !ParseSeconds(text, target)) {
                return UsageError(std::string(arg) + " needs a positive number of seconds");
            }
        } else if (arg == "--max-entries") {
            if (!value(text) || !ParseCount(text, options.m_nMaxEntries)) {
                return UsageError("--max-entries needs a positive whole number of rows (like 100000)");
            }
        } else if (arg == "--ipfix") {
            if (!value(text) || !(options.m_ipfix = ParseIpfixTarget(text))) {
                return UsageError(
                    "--ipfix needs a collector as HOST:PORT, udp:HOST:PORT or tcp:HOST:PORT (like "
                    "127.0.0.1:4739 or tcp:[::1]:4739)");
            }
        } else if (arg == "--active-timeout" || arg == "--idle-timeout") {
            std::size_t seconds = 0;
            if (!value(text) || !ParseCount(text, seconds) ||
                seconds > static_cast<std::size_t>(kMaxSeconds)) {
                return UsageError(std::string(arg) + " needs a positive whole number of seconds");
            }
            (arg == "--active-timeout" ? options.m_timeouts.m_nActive : options.m_timeouts.m_nIdle) =
                static_cast<std::int64_t>(seconds);
        } else if (arg == "--template-refresh") {
            if (!value(text) || !ParseSeconds(text, options.m_dTemplateRefresh)) {
                return UsageError("--template-refresh needs a positive number of seconds");
            }
        } else if (arg == "--observation-domain") {
            std::size_t domain = 0;
            // 0 is a valid domain, so it is parsed apart from the counts (which start at 1).
            if (!value(text) || !(text == "0" || ParseCount(text, domain)) || domain > UINT32_MAX) {
                return UsageError("--observation-domain needs a whole number from 0 to 4294967295");
            }
            options.m_dwObservationDomain = static_cast<std::uint32_t>(domain);
        } else {
            return UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.m_bHelp || options.m_bList) {
        return -1;
    }
    if (options.m_strAddress.empty() == options.m_strFile.empty()) {
        return UsageError("give either --address ADDR or --read FILE");
    }
    if (!options.m_strLocal.empty() && options.m_strFile.empty()) {
        return UsageError("--local goes with --read");
    }
    if (options.m_bResolve && (options.m_format == Format::Text || options.m_format == Format::None)) {
        // text is what the window's Save As writes, numbers only
        return UsageError("--resolve goes with --format table, csv or json");
    }
    for (const std::string* address : {&options.m_strAddress, &options.m_strLocal}) {
        if (!address->empty() && !AddressFromText(*address)) {
            return UsageError("'" + *address + "' is not an IP address (like 192.168.1.10 or fd00::10)");
        }
    }
    return -1;
}

std::string AddressList(const std::vector<InterfaceAddress>& addresses) {
    std::string text;
    for (const InterfaceAddress& item : addresses) {
        text += item.Text() + "\t" + item.m_strInterface + "\n";
    }
    return text;
}

int ListAddresses() {
    std::string error;
    const auto addresses = flowsentry::ListAddresses(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "flowsentry-cli: cannot list the machine's addresses: %s\n", error.c_str());
        return kExitFailure;
    }
    std::fputs(AddressList(addresses).c_str(), stdout);
    return FlushOutput() ? kExitOk : kExitFailure;
}

// The last print lets the table go before the text is made: with a million flows that is the difference
// between holding the table, the rows and the text at once, or only the rows and the text.
enum class Last { No, Yes };

// How long the end waits for a TCP collector to take the last flow records.
constexpr double kLastRecordsWait = 10;

// A live capture's rows are brought up to date with the clock, so that their rates move on; a file's by its
// packets' times. The flow exporter, when there is one, sees the same batch and sends what timed out.
void Export(CFlowExporter& exporter, const TrafficBatch& batch, bool live) {
    exporter.Round(batch, live ? std::time(nullptr) : CFlowExporter::kNoWallClock);
}

void ApplyRows(CRowStore& rows, const TrafficBatch& batch, bool live) {
    rows.Apply(batch, live ? std::time(nullptr) : CRowStore::kUnknownTime);
}

void Update(CTrafficTable& table, CRowStore& rows, bool live, CFlowExporter* exporter) {
    const TrafficBatch batch = table.PullChanges();
    if (exporter != nullptr) {
        Export(*exporter, batch, live);
    }
    ApplyRows(rows, batch, live);
}

// --resolve: the name cache on the main thread and c-ares on its own. The resolver's thread puts the answers
// in a locked list, and the main thread hands them to the cache before it prints.
class CNames {
public:
    // A file's table may hold many addresses, all wanted at once at the end: a deep queue, and a few more
    // look-ups at a time than the window makes.
    static CNameCache::Settings CacheSettings() {
        CNameCache::Settings settings;
        settings.m_nMaxInFlight = 8;
        settings.m_nMaxQueued = 65536;
        return settings;
    }
    // How long the end of a --read waits for the names.
    static constexpr std::chrono::seconds kWait{3};

    CNames()
        : m_resolver([this](NameAnswer answer) {
              {
                  const std::lock_guard lock(m_mutex);
                  m_answers.push_back(std::move(answer));
              }
              m_answered.notify_one();
          }),
          m_cache(m_resolver, CacheSettings()) {}

    [[nodiscard]] const INameLookup& Lookup() const { return m_cache; }
    // Empty, or why no name can be looked up (the table then shows numbers).
    [[nodiscard]] const std::string& Error() const { return m_resolver.Error(); }

    // Every row's addresses, the newest wanted last so that they are asked first.
    void WantAll(const CRowStore& rows) {
        Take();
        for (std::size_t row = rows.RowCount(); row-- > 0;) {
            const CTrafficEntry entry = rows.Row(row);
            if (!entry.IsOverflow()) {
                m_cache.Want(entry.Source());
                m_cache.Want(entry.Destination());
            }
        }
    }

    // Until every wanted address has its answer, or for `wait` at most.
    void Wait(std::chrono::steady_clock::duration wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            Take();
            if (m_cache.Idle() || std::chrono::steady_clock::now() >= deadline) {
                return;
            }
            std::unique_lock lock(m_mutex);
            m_answered.wait_until(lock, deadline, [this] { return !m_answers.empty(); });
        }
    }

private:
    void Take() {
        std::vector<NameAnswer> answers;
        {
            const std::lock_guard lock(m_mutex);
            answers.swap(m_answers);
        }
        for (const NameAnswer& answer : answers) {
            (void)m_cache.Answer(answer);
        }
        m_cache.Tick();
    }

    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::vector<NameAnswer> m_answers; // under m_mutex
    CAresResolver m_resolver;          // after what its handler uses, so that it stops before they go
    CNameCache m_cache;
};

// False when the output could not be written (a full disk, a closed pipe); the reason is on stderr.
// `stream`: one of the tables --interval prints, JSON then on one line.
bool Print(CTrafficTable& table, CRowStore& rows, Format format, bool live, bool stream,
           CFlowExporter* exporter, CNames* names, Last last = Last::No) {
    Update(table, rows, live, exporter);
    if (last == Last::Yes) {
        table.Clear();
    }
    if (names != nullptr) {
        names->WantAll(rows);
        // A file's table is printed once, so it waits a little for the names; a live one shows what is known
        // at each interval.
        names->Wait(live ? std::chrono::steady_clock::duration::zero()
                         : std::chrono::steady_clock::duration(CNames::kWait));
    }
    // A file is read faster than its clock ran, so rates are a live capture's alone.
    WriteRows(rows, format, stdout, live, stream, names != nullptr ? &names->Lookup() : nullptr);
    return FlushOutput();
}

// `overflow`: datagrams counted in the "other" rows once the table held the most entries it may.
void PrintStats(const SnifferStats& stats, bool live, std::uint64_t overflow) {
    const CaptureCounters& c = stats.m_counters;
    std::string drops = live ? std::to_string(stats.m_nKernelDrops) : std::string("n/a (file)");
    std::fprintf(stderr,
                 "packets seen: %llu, counted: %llu, dropped by the kernel: %s, not IP: %llu, too short: "
                 "%llu, not taken (out of memory): %llu, counted in \"other\" rows: %llu\n",
                 static_cast<unsigned long long>(c.m_nFrames), static_cast<unsigned long long>(c.m_nCounted),
                 drops.c_str(), static_cast<unsigned long long>(c.m_nNotIp),
                 static_cast<unsigned long long>(c.m_nTooShort), static_cast<unsigned long long>(c.m_nFailed),
                 static_cast<unsigned long long>(overflow));
}

// What the capture says about its link, one line on stderr at each change. The capture thread must not
// wait for stderr, so it queues the lines and wakes the main thread (SIGUSR2), which prints them.
class CLinkNews {
public:
    void Add(std::string line) {
        const std::lock_guard lock(m_mutex);
        m_lines.push_back(std::move(line));
    }
    void Print() {
        std::vector<std::string> lines;
        {
            const std::lock_guard lock(m_mutex);
            lines.swap(m_lines);
        }
        for (const std::string& line : lines) {
            std::fprintf(stderr, "flowsentry-cli: %s\n", line.c_str());
        }
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Runs the capture until it ends by itself, Ctrl+C (or SIGTERM), or the duration is over, printing the
// table every interval. The signals are blocked in every thread and taken here with sigtimedwait. Returns
// the signal that ended the run, or 0.
int RunUntilDone(CSniffer& sniffer, CTrafficTable& table, CRowStore& rows, const Options& options,
                 const sigset_t& signals, CLinkNews& news, CFlowExporter* exporter, CNames* names) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const bool live = options.m_strFile.empty();
    auto nextPrint = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.m_dInterval));
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.m_dDuration));
    // Live, the rows are brought up to date four times a second whatever the interval, so that each
    // second's bytes count in the second they came. A file exporting flows is looked at as often, and
    // pulled when a row may have timed out by its packets' clock: a pull holds up the read, and a file read
    // in seconds often has no timeout in it at all.
    constexpr auto kUpdateInterval = std::chrono::milliseconds(250);
    auto nextUpdate = start + kUpdateInterval;
    const bool periodic = live || exporter != nullptr;
    while (sniffer.IsRunning()) {
        auto wake = Clock::now() + std::chrono::seconds(3600);
        if (periodic) {
            wake = std::min(wake, nextUpdate);
        }
        if (live && options.m_dInterval > 0) {
            wake = std::min(wake, nextPrint);
        }
        if (live && options.m_dDuration > 0) {
            wake = std::min(wake, deadline);
        }
        const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                               static_cast<long>(ns % 1'000'000'000)};
        const int signal = sigtimedwait(&signals, nullptr, &timeout);
        news.Print();
        if (signal == SIGINT || signal == SIGTERM) {
            return signal;
        }
        const auto now = Clock::now();
        if (live && options.m_dDuration > 0 && now >= deadline) {
            return 0;
        }
        if (periodic && now >= nextUpdate) {
            if (live || exporter->MayExpire(table.Times())) {
                Update(table, rows, live, exporter);
            }
            nextUpdate = now + kUpdateInterval;
        }
        if (live && options.m_dInterval > 0 && now >= nextPrint && sniffer.IsRunning()) {
            // a failed write shows again at the end
            (void)Print(table, rows, options.m_format, live, true, exporter, names);
            // JSON Lines have no empty lines; the other formats keep their tables apart by one.
            if (options.m_format != Format::None && options.m_format != Format::Json) {
                std::fputs(options.m_format == Format::Text ? "\r\n" : "\n", stdout);
            }
            nextPrint += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(options.m_dInterval));
        }
    }
    return 0;
}

int Run(const Options& options) {
    std::optional<IpAddress> local;
    std::unique_ptr<CSampleSource> source;
    if (!options.m_strFile.empty()) {
        if (!options.m_strLocal.empty()) {
            local = AddressFromText(options.m_strLocal);
        }
        source = options.m_strFile == "-" ? std::make_unique<CFileSource>("standard input", stdin)
                                          : std::make_unique<CFileSource>(options.m_strFile);
    } else {
        const LocalAddressLookup lookup = LookUpLocalAddress(options.m_strAddress);
        if (lookup.m_outcome != LocalAddressLookup::Outcome::Found) {
            std::fprintf(stderr, "flowsentry-cli: %s: %s\n", options.m_strAddress.c_str(),
                         lookup.Problem().c_str());
            if (lookup.m_outcome == LocalAddressLookup::Outcome::NotOurs) {
                std::fprintf(stderr, "Its addresses are:\n%s", AddressList(lookup.m_addresses).c_str());
            }
            return kExitFailure;
        }
        local = lookup.m_address;
        const CapturePrivileges privileges = CheckCapturePrivileges();
        if (!privileges.bCanCapture) {
            std::fprintf(stderr, "flowsentry-cli: %s\n", privileges.strExplanation.c_str());
            return kExitFailure;
        }
        source = std::make_unique<CHelperSource>(options.m_strAddress);
    }

    // Blocked before the capture thread exists, so that it inherits the mask and the signals come here.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CTrafficTable table;
    table.SetMaxEntries(options.m_nMaxEntries);
    CRowStore rows;
    CLinkNews news; // before the sniffer, whose thread writes to it until the sniffer goes
    CSniffer sniffer;
    sniffer.Initialize(&table);
    // Wakes the waiting main thread; kill() does not block, as the callback must not.
    sniffer.SetEndCallback([](CaptureEnd, const std::string&) { kill(getpid(), SIGUSR1); });
    sniffer.SetLinkCallback([&news](LinkState state, const std::string& where) {
        news.Add(where + ": " + LinkChangeText(state));
        kill(getpid(), SIGUSR2);
    });
    if (!sniffer.StartSniffing(std::move(source), local)) {
        std::fprintf(stderr, "flowsentry-cli: %s\n", sniffer.GetErrorText().c_str());
        return kExitFailure;
    }
    // The collector is looked at once the capture has opened: a capture that cannot start sends nothing.
    std::unique_ptr<CIpfixSink> sink;
    std::unique_ptr<CFlowExporter> exporter;
    if (options.m_ipfix) {
        sink = std::make_unique<CIpfixSink>(
            IpfixSettings{*options.m_ipfix, options.m_dwObservationDomain, options.m_dTemplateRefresh},
            [](const std::string& line) { std::fprintf(stderr, "flowsentry-cli: %s\n", line.c_str()); });
        exporter = std::make_unique<CFlowExporter>(*sink, options.m_timeouts);
        (void)sink->Ready(); // templates first, and an unreachable collector is reported at once
    }
    // After the signals are blocked, so that the resolver's thread inherits the mask.
    std::unique_ptr<CNames> names = options.m_bResolve ? std::make_unique<CNames>() : nullptr;
    if (names && !names->Error().empty()) {
        std::fprintf(stderr, "flowsentry-cli: %s; addresses stay numeric\n", names->Error().c_str());
    }
    const int endSignal =
        RunUntilDone(sniffer, table, rows, options, signals, news, exporter.get(), names.get());
    sniffer.StopSniffing();
    news.Print();
    // Ctrl+C is how a live capture ends, but a file read it cut short is incomplete, and says so.
    const bool interrupted =
        !options.m_strFile.empty() && endSignal == SIGINT && sniffer.LastEnd() == CaptureEnd::Stopped;

    const bool failed = sniffer.LastEnd() == CaptureEnd::Failed;
    if (failed) {
        std::fprintf(stderr, "flowsentry-cli: %s\n", sniffer.GetErrorText().c_str());
    }
    const std::uint64_t overflow = table.OverflowDatagrams(); // before the last print clears the table
    // What was counted up to a failure is still shown; a capture that never opened has nothing to show.
    bool written = true;
    if (!failed || sniffer.GetErrorCode() != kErrorOpen) {
        // Everything counted goes to the collector, also after a failure or Ctrl+C. The last pull is taken
        // in by the exporter on a thread of its own, which then sends the records left (at the end of a
        // file, one pair per row), while this thread takes it into the rows and prints the table: both only
        // read the batch, and the exporter keeps its own copy of the counters. The batch (at the end of a
        // file, often every row) goes as soon as both have taken it in, before the table's text is made.
        const bool live = options.m_strFile.empty();
        std::thread finishing;
        bool finished = true;
        if (exporter) {
            auto last = std::make_shared<const TrafficBatch>(table.PullChanges());
            {
                // A TCP connection still being made is waited for, and what TCP holds is written out.
                auto finish = [&exporter, &sink, &finished, batch = last, live]() mutable {
                    (void)sink->Drain(kLastRecordsWait);
                    Export(*exporter, *batch, live);
                    batch.reset();
                    finished = exporter->Finish() && sink->Drain(kLastRecordsWait);
                };
                try {
                    finishing = std::thread(finish);
                } catch (const std::system_error&) {
                    finish();
                }
            }
            ApplyRows(rows, *last, live);
        }
        written = Print(table, rows, options.m_format, live, live && options.m_dInterval > 0, nullptr,
                        names.get(), Last::Yes);
        if (finishing.joinable()) {
            finishing.join();
        }
        if (!finished) {
            std::fprintf(stderr, "flowsentry-cli: the last flow records could not be sent to %s\n",
                         options.m_ipfix->Text().c_str());
        }
    }
    if (options.m_bStats) {
        PrintStats(sniffer.Stats(), options.m_strFile.empty(), overflow);
        if (sink) {
            std::fprintf(stderr, "flow records sent to %s: %llu, lost: %llu\n",
                         options.m_ipfix->Text().c_str(),
                         static_cast<unsigned long long>(sink->RecordsSent()),
                         static_cast<unsigned long long>(sink->RecordsLost()));
        }
    }
    if (interrupted) {
        std::fputs("flowsentry-cli: interrupted\n", stderr);
        return written ? kExitInterrupted : kExitFailure;
    }
    return failed || !written ? kExitFailure : kExitOk;
}

} // namespace
} // namespace flowsentry::cli

int main(int argc, char** argv) {
    using namespace flowsentry::cli;
    Options options;
    if (const int status = ParseOptions(argc, argv, options); status >= 0) {
        return status;
    }
    if (options.m_bHelp) {
        std::fputs(kUsage, stdout);
        return FlushOutput() ? kExitOk : kExitFailure;
    }
    if (options.m_bList) {
        return ListAddresses();
    }
    return Run(options);
}
