// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/Datagram.h"
#include "capture/SampleSource.h"
#include "traffic/TrafficTable.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace flowsentry {

// The code and the system's text of the last capture failure. Written by the capture thread, read by any.
class CSocketError {
public:
    CSocketError() = default;
    CSocketError(const CSocketError&) = delete;
    CSocketError& operator=(const CSocketError&) = delete;
    virtual ~CSocketError();

    // Records a failure: one of the CaptureErrorCode values and its text.
    void RecordError(int code, std::string text);
    [[nodiscard]] std::string GetErrorText() const;
    [[nodiscard]] int GetErrorCode() const;

private:
    mutable std::mutex m_errorMutex;
    std::string m_strErrorText;
    int m_nErrorCode = 0;
};

// How the last capture run ended.
enum class CaptureEnd {
    None,       // no run has ended yet, or one is running
    Stopped,    // StopSniffing ended it
    EndOfInput, // a capture file was read to its end
    Failed,     // it could not start or broke off; see GetErrorText()
};

// Error codes recorded in CSocketError beside their text (0 until a failure).
enum CaptureErrorCode : int {
    kErrorOpen = 1,   // the source could not be opened (no such address, no permission, not a capture file)
    kErrorRead = 2,   // reading broke off (the interface went down, the file is damaged)
    kErrorThread = 3, // the capture thread could not be created
    kErrorStop = 4,   // a stop was not answered in time (a read that nothing wakes)
};

// Counters of a capture run, readable from any thread while it runs.
struct SnifferStats {
    CaptureCounters m_counters;
    std::uint64_t m_nKernelDrops = 0; // packets the kernel dropped because we did not keep up (live only)
    std::uint64_t m_nBytesRead = 0;   // how far into a capture file the run has read (0 live)
};

// The capture engine. One capture thread at a time reads a packet source (the live interface that owns
// m_strInterfaceAddress, or a capture file) and folds every IPv4 datagram into the table.
//
// Use from one thread (the window's): Initialize once, set m_strInterfaceAddress, StartSniffing,
// StopSniffing. Stop is cooperative (flag + pcap_breakloop + join) and returns within milliseconds; after
// it returns, no packet reaches the table. The destructor stops a running capture.
//
// When a run ends by itself (failure, end of a file) IsRunning() turns false, the error is kept
// (GetErrorText, LastEnd) and the end callback runs once on the capture thread. The callback must not block
// and must not call back into the sniffer: post the value to your own thread (a queued signal). The link
// callback runs there too, under the same rules, each time the captured interface's link changes.
//
// A capture thread that does not answer a stop within kStopTimeout (a read that no wake-up reaches) is let
// go: StopSniffing returns, the run ends as Failed with code kErrorStop, and the end callback runs on the
// caller's thread. The thread keeps only what it shares with no one (its source); from then on it touches
// neither the sniffer nor the table, which may both go.
class CSniffer : public CSocketError {
public:
    using EndCallback = std::function<void(CaptureEnd end, const std::string& errorText)>;
    // `where` names the capture as messages do: "eth0 (10.0.0.1)".
    using LinkCallback = std::function<void(LinkState state, const std::string& where)>;

    CSniffer() = default;
    ~CSniffer() override;

    // Binds the table (not owned). Stops a running capture first, so no thread is ever lost track of.
    void Initialize(CTrafficTable* table);
    // Called on the capture thread when a run ends by itself (not after StopSniffing), and on the caller's
    // thread when StopSniffing gives up on a thread that does not stop.
    void SetEndCallback(EndCallback callback);
    // Called on the capture thread when the captured interface's link goes down or comes up again.
    void SetLinkCallback(LinkCallback callback);

    // Live capture on m_strInterfaceAddress, through the capture helper. Returns false only when no thread
    // could be started.
    bool StartSniffing();
    // Any source: a capture file, or a live source made by the caller. `local` orients the entries;
    // without it each entry is oriented by its first datagram.
    bool StartSniffing(std::unique_ptr<CSampleSource> source, std::optional<IpAddress> local);
    void StopSniffing();

    // Whether the capture thread is still reading (false once a run ended by itself).
    [[nodiscard]] bool IsRunning() const { return m_bRunning.load(); }
    // Waits for the running capture to end by itself; true when it has (or none runs).
    bool WaitUntilEnded(std::chrono::milliseconds timeout);
    [[nodiscard]] CaptureEnd LastEnd() const { return m_end.load(); }
    [[nodiscard]] SnifferStats Stats() const;
    // The captured interface's link during the run; Up before the first report and for files.
    [[nodiscard]] LinkState Link() const { return m_link.load(); }

    // The chosen local IPv4 address (dotted quad); set while no capture runs.
    std::string m_strInterfaceAddress;

    // How long a stop waits for the capture thread before it lets the thread go.
    static constexpr std::chrono::seconds kStopTimeout{2};

private:
    class SamplePipe;
    class Run;
    using Clock = std::chrono::steady_clock;

    // What the capture thread does to the sniffer and the table, always through its Run's check that the
    // sniffer still holds it.
    void Fold(SampleBuffer& samples, std::optional<IpAddress> local);
    void PublishCounters(const CaptureCounters& counters, std::uint64_t bytesRead);
    void FinishRun(CaptureEnd end);

    std::thread m_hSnifferThread;
    CTrafficTable* m_pTrafficTable = nullptr;
    EndCallback m_onEnd;
    LinkCallback m_onLink;

    std::shared_ptr<Run> m_pRun; // the current or last run; shared with its thread

    std::mutex m_endMutex;
    std::condition_variable m_endSignal;
    std::atomic<bool> m_bRunning{false};
    std::atomic<CaptureEnd> m_end{CaptureEnd::None};
    std::atomic<LinkState> m_link{LinkState::Up};

    std::atomic<std::uint64_t> m_nFrames{0};
    std::atomic<std::uint64_t> m_nCounted{0};
    std::atomic<std::uint64_t> m_nNotIp{0};
    std::atomic<std::uint64_t> m_nTooShort{0};
    std::atomic<std::uint64_t> m_nFailed{0};
    std::atomic<std::uint64_t> m_nKernelDrops{0};
    std::atomic<std::uint64_t> m_nBytesRead{0};
};

} // namespace flowsentry
