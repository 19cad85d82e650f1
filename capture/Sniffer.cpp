// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Sniffer.h"

#include "capture/HelperSource.h"

#include <deque>
#include <system_error>
#include <utility>
#include <vector>

namespace flowsentry {

CSocketError::~CSocketError() = default;

void CSocketError::RecordError(int code, std::string text) {
    const std::lock_guard lock(m_errorMutex);
    m_nErrorCode = code;
    m_strErrorText = std::move(text);
}

std::string CSocketError::GetErrorText() const {
    const std::lock_guard lock(m_errorMutex);
    return m_strErrorText;
}

int CSocketError::GetErrorCode() const {
    const std::lock_guard lock(m_errorMutex);
    return m_nErrorCode;
}

namespace {

// Frames per read: large enough that the table's lock is taken rarely, small enough that the window sees
// a file being read progress and a stop is seen between reads of a file.
constexpr int kBatchFrames = 4096;
constexpr auto kDropPollInterval = std::chrono::milliseconds(100);
constexpr std::size_t kPipeBuffers = 8;
// Full buffers that wake a sleeping fold thread. A wake-up is a system call for the reading thread (and
// cost it about 9 us here, measured with small buffers), so the folder is woken for a few buffers at once
// rather than for each one.
constexpr std::size_t kWakeFolderAt = kPipeBuffers / 2;
constexpr auto kStopRetryInterval = std::chrono::milliseconds(50);

} // namespace

// Hands filled sample buffers from the reading thread to the folding thread and empty ones back. Reading
// (libpcap's copies, decoding) and folding (the table's memory accesses) then run on two cores at once,
// which is what brings a capture-file read near the speed of libpcap alone. A few buffers are enough to
// smooth out the two sides; when all are full the reader waits, so memory stays bounded.
//
// A side that finds nothing to do sleeps until the other wakes it. The folder, once awake, takes every
// full buffer there is before it sleeps again, and is woken only when several wait, when the reader would
// wait itself, or at once for input that may pause (a pipe, a short read): samples must not wait in the
// pipe for input that may never come.
class CSniffer::SamplePipe {
public:
    // Samples in compact form: fewer cache lines to move between the cores.
    using Buffer = SampleBuffer;

    SamplePipe(std::size_t buffers, std::size_t wakeAt) : m_nWakeAt(wakeAt) {
        for (std::size_t i = 0; i < buffers; ++i) {
            m_empty.push_back(std::make_unique<Buffer>());
            m_empty.back()->reserve(kBatchFrames);
        }
    }

    std::unique_ptr<Buffer> TakeEmpty() {
        std::unique_lock lock(m_mutex);
        if (m_empty.empty()) {
            const bool wake = WakeFolderLocked();
            m_bReaderAsleep = true;
            lock.unlock();
            if (wake) {
                m_fullReady.notify_one();
            }
            lock.lock();
            m_emptyReady.wait(lock, [this] { return !m_empty.empty(); });
            m_bReaderAsleep = false;
        }
        // The buffer that has waited longest: its lines have most likely left the folder's cache, so
        // writing them does not first take them back from the other core (measured: the reading thread
        // took several percent longer with the buffer returned last).
        auto buffer = std::move(m_empty.front());
        m_empty.pop_front();
        return buffer;
    }

    // `urgent`: wake the folder now, even for one buffer.
    void PushFull(std::unique_ptr<Buffer> buffer, bool urgent) {
        bool wake = false;
        {
            const std::lock_guard lock(m_mutex);
            m_full.push_back(std::move(buffer));
            if (urgent || m_full.size() >= m_nWakeAt) {
                wake = WakeFolderLocked();
            }
        }
        if (wake) {
            m_fullReady.notify_one();
        }
    }

    // Null once the reader has closed the pipe and every full buffer has been taken.
    std::unique_ptr<Buffer> TakeFull() {
        std::unique_lock lock(m_mutex);
        while (m_full.empty() && !m_bClosed) {
            m_bFolderAsleep = true;
            m_fullReady.wait(lock, [this] { return !m_bFolderAsleep; });
        }
        if (m_full.empty()) {
            return nullptr;
        }
        auto buffer = std::move(m_full.front());
        m_full.pop_front();
        return buffer;
    }

    void GiveBack(std::unique_ptr<Buffer> buffer) {
        buffer->clear();
        bool wake = false;
        {
            const std::lock_guard lock(m_mutex);
            m_empty.push_back(std::move(buffer));
            wake = m_bReaderAsleep;
        }
        if (wake) {
            m_emptyReady.notify_one();
        }
    }

    void Close() {
        bool wake = false;
        {
            const std::lock_guard lock(m_mutex);
            m_bClosed = true;
            wake = WakeFolderLocked();
        }
        if (wake) {
            m_fullReady.notify_one();
        }
    }

private:
    // Whether the folder was asleep; it is marked awake, so that it is woken once.
    bool WakeFolderLocked() { return std::exchange(m_bFolderAsleep, false); }

    const std::size_t m_nWakeAt;
    std::mutex m_mutex;
    std::condition_variable m_fullReady;  // the folder waits on it
    std::condition_variable m_emptyReady; // the reader waits on it
    std::deque<std::unique_ptr<Buffer>> m_full;
    std::deque<std::unique_ptr<Buffer>> m_empty;
    bool m_bFolderAsleep = false;
    bool m_bReaderAsleep = false;
    bool m_bClosed = false;
};

const char* LinkChangeText(LinkState state) {
    switch (state) {
    case LinkState::Down:
        return "the interface is down";
    case LinkState::NoCarrier:
        return "the interface has no link (no carrier)";
    case LinkState::Up:
        break;
    }
    return "the interface is up again";
}

CSniffer::~CSniffer() { StopSniffing(); }

void CSniffer::Initialize(CTrafficTable* table) {
    StopSniffing();
    m_pTrafficTable = table;
    m_strInterfaceAddress.clear();
    m_bStop = false;
}

void CSniffer::SetEndCallback(EndCallback callback) {
    m_onEnd = std::move(callback);
}

void CSniffer::SetLinkCallback(LinkCallback callback) { m_onLink = std::move(callback); }

bool CSniffer::StartSniffing() {
    const auto local = Ipv4FromText(m_strInterfaceAddress);
    return StartSniffing(std::make_unique<CHelperSource>(m_strInterfaceAddress), local);
}

bool CSniffer::StartSniffing(std::unique_ptr<CSampleSource> source, std::optional<Ipv4Address> local) {
    StopSniffing();
    if (m_pTrafficTable == nullptr || source == nullptr) {
        RecordError(kErrorThread, "The sniffer has no traffic table to fill.");
        return false;
    }
    m_bStop = false;
    for (auto* counter : {&m_nFrames, &m_nCounted, &m_nNotIpv4, &m_nTooShort, &m_nFailed, &m_nKernelDrops}) {
        *counter = 0;
    }
    m_end = CaptureEnd::None;
    m_link = LinkState::Up;
    CSampleSource* reader = source.get();
    {
        const std::lock_guard lock(m_sourceMutex);
        m_pSource = std::move(source);
    }
    m_bRunning = true;
    try {
        m_hSnifferThread = std::thread([this, reader, local] { CaptureLoop(*reader, local); });
    } catch (const std::system_error&) {
        RecordError(kErrorThread, "Sniffer Thread Creation Failed!");
        m_bRunning = false;
        m_end = CaptureEnd::Failed;
        const std::lock_guard lock(m_sourceMutex);
        m_pSource.reset();
        return false;
    }
    return true;
}

void CSniffer::StopSniffing() {
    m_bStop = true;
    if (m_hSnifferThread.joinable()) {
        // Asked again until the run is over: a wake-up that lands just before a blocking read begins
        // would otherwise be lost.
        do {
            const std::lock_guard lock(m_sourceMutex);
            if (m_pSource != nullptr) {
                m_pSource->BreakLoop();
            }
        } while (!WaitUntilEnded(kStopRetryInterval));
        m_hSnifferThread.join();
    }
    const std::lock_guard lock(m_sourceMutex);
    m_pSource.reset();
}

bool CSniffer::WaitUntilEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_endMutex);
    return m_endSignal.wait_for(lock, timeout, [this] { return !m_bRunning.load(); });
}

SnifferStats CSniffer::Stats() const {
    SnifferStats stats;
    stats.m_counters.m_nFrames = m_nFrames.load(std::memory_order_relaxed);
    stats.m_counters.m_nCounted = m_nCounted.load(std::memory_order_relaxed);
    stats.m_counters.m_nNotIpv4 = m_nNotIpv4.load(std::memory_order_relaxed);
    stats.m_counters.m_nTooShort = m_nTooShort.load(std::memory_order_relaxed);
    stats.m_counters.m_nFailed = m_nFailed.load(std::memory_order_relaxed);
    stats.m_nKernelDrops = m_nKernelDrops.load(std::memory_order_relaxed);
    return stats;
}

// The reading thread's counters; the folding thread keeps m_nCounted and m_nFailed itself.
void CSniffer::PublishCounters(const CaptureCounters& counters) {
    m_nFrames.store(counters.m_nFrames, std::memory_order_relaxed);
    m_nNotIpv4.store(counters.m_nNotIpv4, std::memory_order_relaxed);
    m_nTooShort.store(counters.m_nTooShort, std::memory_order_relaxed);
}

void CSniffer::Fold(SampleBuffer& samples, std::optional<Ipv4Address> local) {
    const std::size_t dropped = m_pTrafficTable->AddSamples(std::span<const PacketSample>(samples), local);
    m_nCounted.fetch_add(samples.size() - dropped, std::memory_order_relaxed);
    m_nFailed.fetch_add(dropped, std::memory_order_relaxed);
    samples.clear();
}

void CSniffer::FoldLoop(SamplePipe& pipe, std::optional<Ipv4Address> local) {
    while (std::unique_ptr<SamplePipe::Buffer> samples = pipe.TakeFull()) {
        Fold(*samples, local);
        pipe.GiveBack(std::move(samples));
    }
}

void CSniffer::FinishRun(CaptureEnd end) {
    m_end = end;
    {
        const std::lock_guard lock(m_endMutex);
        m_bRunning = false;
    }
    m_endSignal.notify_all();
    if (end != CaptureEnd::Stopped && m_onEnd) {
        m_onEnd(end, end == CaptureEnd::Failed ? GetErrorText() : std::string());
    }
}

std::optional<CaptureEnd> CSniffer::AfterRead(CSampleSource& source, ReadStatus status,
                                              const CaptureCounters& counters,
                                              Clock::time_point& nextDropPoll) {
    PublishCounters(counters);
    const auto now = Clock::now();
    if (now >= nextDropPoll || status != ReadStatus::Frames) {
        if (const auto drops = source.KernelDrops()) {
            m_nKernelDrops.store(*drops, std::memory_order_relaxed);
        }
        nextDropPoll = now + kDropPollInterval;
    }
    if (const LinkState link = source.Link(); link != m_link.exchange(link) && m_onLink) {
        m_onLink(link, source.Describe());
    }
    if (status == ReadStatus::Interrupted || m_bStop) {
        return CaptureEnd::Stopped;
    }
    if (status == ReadStatus::EndOfInput) {
        return CaptureEnd::EndOfInput;
    }
    if (status == ReadStatus::Failed) {
        RecordError(kErrorRead, source.Describe() + ": " + source.ErrorText());
        return CaptureEnd::Failed;
    }
    return std::nullopt;
}

CaptureEnd CSniffer::ReadAndFold(CSampleSource& source, std::optional<Ipv4Address> local) {
    CaptureCounters counters;
    SampleBuffer samples;
    samples.reserve(kBatchFrames);
    auto nextDropPoll = Clock::now();
    while (true) {
        const ReadStatus status = source.ReadSamples(kBatchFrames, samples, counters);
        Fold(samples, local);
        if (const auto end = AfterRead(source, status, counters, nextDropPoll)) {
            return *end;
        }
    }
}

std::optional<CaptureEnd> CSniffer::ReadAndFoldApart(CSampleSource& source,
                                                     std::optional<Ipv4Address> local) {
    SamplePipe pipe(kPipeBuffers, kWakeFolderAt);
    std::thread folder;
    try {
        folder = std::thread([this, &pipe, local] { FoldLoop(pipe, local); });
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    CaptureCounters counters;
    std::unique_ptr<SamplePipe::Buffer> samples = pipe.TakeEmpty();
    auto nextDropPoll = Clock::now();
    std::optional<CaptureEnd> end;
    const bool inputMayPause = source.ReadsMayWait();
    while (!end) {
        const std::uint64_t framesBefore = counters.m_nFrames;
        const ReadStatus status = source.ReadSamples(kBatchFrames, *samples, counters);
        if (!samples->empty()) {
            const bool shortRead =
                counters.m_nFrames - framesBefore < static_cast<std::uint64_t>(kBatchFrames);
            pipe.PushFull(std::move(samples), inputMayPause || shortRead);
            samples = pipe.TakeEmpty();
        }
        end = AfterRead(source, status, counters, nextDropPoll);
    }
    // Everything read is folded before the run ends, so a stop or the end of a file leaves the table
    // complete and nothing reaches it afterwards.
    pipe.Close();
    folder.join();
    return end;
}

void CSniffer::CaptureLoop(CSampleSource& source, std::optional<Ipv4Address> local) {
    if (!source.Open()) {
        // A stop that interrupted the opening (a pipe with no data yet) is a stop, not a failure.
        if (m_bStop) {
            FinishRun(CaptureEnd::Stopped);
            return;
        }
        RecordError(kErrorOpen, source.Describe() + ": " + source.ErrorText());
        FinishRun(CaptureEnd::Failed);
        return;
    }
    // Frames decoded in this process (a capture file) are folded on a second thread while this one reads,
    // so that reading and folding use both cores. Samples that arrive ready to fold (from the capture
    // helper) are folded here: a second thread would only add a wake-up per batch.
    const std::optional<CaptureEnd> end =
        source.DecodesWhileReading() ? ReadAndFoldApart(source, local) : ReadAndFold(source, local);
    if (!end) {
        RecordError(kErrorThread, "Sniffer Thread Creation Failed!");
    }
    source.Close();
    FinishRun(end.value_or(CaptureEnd::Failed));
}

} // namespace flowsentry
