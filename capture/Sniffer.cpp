// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Sniffer.h"

#include "capture/HelperSource.h"
#include "platform/Interfaces.h"

#include <deque>
#include <shared_mutex>
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

// What one capture thread works with. The thread holds it too, so that it outlives a sniffer that let the
// thread go (a read that no wake-up ends): the source is the run's alone, and the sniffer and the table are
// reached only through WithOwner, which runs nothing once the sniffer has let go.
class CSniffer::Run {
public:
    Run(CSniffer& owner, std::unique_ptr<CSampleSource> source, std::optional<IpAddress> local)
        : m_pSource(std::move(source)), m_strDescription(m_pSource->Describe()), m_local(local),
          m_pOwner(&owner) {}

    // The capture thread's body.
    void Capture();
    // Asks a running read to end; safe from any thread, again and again.
    void Stop() {
        m_bStop = true;
        m_pSource->BreakLoop();
    }
    // After it returns true, the thread touches nothing outside the run; false when the run has ended
    // meanwhile (the thread is then past its last blocking call, so it can be joined).
    bool LetGo() {
        const std::unique_lock lock(m_ownerMutex);
        if (!m_pOwner->IsRunning()) {
            return false;
        }
        m_pOwner = nullptr;
        return true;
    }
    [[nodiscard]] const std::string& Description() const { return m_strDescription; }

private:
    // Runs `work` on the sniffer unless it has let go. A shared lock: the two capture threads pass at once,
    // and only LetGo waits (for a fold in progress at most).
    template <class Work> void WithOwner(Work&& work) {
        const std::shared_lock lock(m_ownerMutex);
        if (m_pOwner != nullptr) {
            work(*m_pOwner);
        }
    }
    void Finish(CaptureEnd end) {
        WithOwner([end](CSniffer& owner) { owner.FinishRun(end); });
    }
    void Fail(int code, const std::string& text) {
        WithOwner([code, &text](CSniffer& owner) { owner.RecordError(code, text); });
    }
    void Fold(SampleBuffer& samples) {
        WithOwner([this, &samples](CSniffer& owner) { owner.Fold(samples, m_local); });
        samples.clear();
    }
    // Reads and folds on this thread; returns how the run ended.
    CaptureEnd ReadAndFold();
    // Reads here and folds on a second thread; nothing when that thread could not be started.
    std::optional<CaptureEnd> ReadAndFoldApart();
    // After each read: publishes the counters, polls the kernel's drops now and then, and says how the run
    // ended, or nothing when it goes on.
    std::optional<CaptureEnd> AfterRead(ReadStatus status, const CaptureCounters& counters,
                                        Clock::time_point& nextDropPoll);
    void FoldLoop(SamplePipe& pipe);

    const std::unique_ptr<CSampleSource> m_pSource;
    const std::string
        m_strDescription; // taken before the thread starts, for the message of a stop that fails
    const std::optional<IpAddress> m_local;
    std::atomic<bool> m_bStop{false};
    std::shared_mutex m_ownerMutex;
    CSniffer* m_pOwner; // null once the sniffer has let go of this run
};

CSniffer::~CSniffer() {
    StopSniffing();
}

void CSniffer::Initialize(CTrafficTable* table) {
    StopSniffing();
    m_pTrafficTable = table;
    m_strInterfaceAddress.clear();
}

void CSniffer::SetEndCallback(EndCallback callback) {
    m_onEnd = std::move(callback);
}

void CSniffer::SetLinkCallback(LinkCallback callback) {
    m_onLink = std::move(callback);
}

bool CSniffer::StartSniffing() {
    const auto local = AddressFromText(m_strInterfaceAddress);
    return StartSniffing(std::make_unique<CHelperSource>(m_strInterfaceAddress), local);
}

bool CSniffer::StartSniffing(std::unique_ptr<CSampleSource> source, std::optional<IpAddress> local) {
    StopSniffing();
    if (m_pTrafficTable == nullptr || source == nullptr) {
        RecordError(kErrorThread, "The sniffer has no traffic table to fill.");
        return false;
    }
    for (auto* counter :
         {&m_nFrames, &m_nCounted, &m_nNotIp, &m_nTooShort, &m_nFailed, &m_nKernelDrops, &m_nBytesRead}) {
        *counter = 0;
    }
    m_end = CaptureEnd::None;
    m_link = LinkState::Up;
    m_pRun = std::make_shared<Run>(*this, std::move(source), local);
    m_bRunning = true;
    try {
        m_hSnifferThread = std::thread([run = m_pRun] { run->Capture(); });
    } catch (const std::system_error&) {
        RecordError(kErrorThread, "Sniffer Thread Creation Failed!");
        m_bRunning = false;
        m_end = CaptureEnd::Failed;
        m_pRun.reset();
        return false;
    }
    return true;
}

void CSniffer::StopSniffing() {
    if (m_hSnifferThread.joinable()) {
        // Asked again until the run is over: a wake-up that lands just before a blocking read begins
        // would otherwise be lost.
        const auto deadline = Clock::now() + kStopTimeout;
        bool ended = false;
        do {
            m_pRun->Stop();
            ended = WaitUntilEnded(kStopRetryInterval);
        } while (!ended && Clock::now() < deadline);
        if (ended || !m_pRun->LetGo()) {
            m_hSnifferThread.join();
        } else {
            // The thread waits in a call that nothing wakes (a read from a hung file system, say). It is let
            // go rather than waited for: the window stays alive, and the thread, if it ever returns, ends
            // without touching the sniffer or the table again (Run::WithOwner), then frees its run.
            m_hSnifferThread.detach();
            RecordError(kErrorStop, m_pRun->Description() +
                                        ": the capture did not stop: a read did not return within " +
                                        std::to_string(kStopTimeout.count()) + " seconds of the stop");
            FinishRun(CaptureEnd::Failed);
        }
    }
    m_pRun.reset();
}

bool CSniffer::WaitUntilEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_endMutex);
    return m_endSignal.wait_for(lock, timeout, [this] { return !m_bRunning.load(); });
}

SnifferStats CSniffer::Stats() const {
    SnifferStats stats;
    stats.m_counters.m_nFrames = m_nFrames.load(std::memory_order_relaxed);
    stats.m_counters.m_nCounted = m_nCounted.load(std::memory_order_relaxed);
    stats.m_counters.m_nNotIp = m_nNotIp.load(std::memory_order_relaxed);
    stats.m_counters.m_nTooShort = m_nTooShort.load(std::memory_order_relaxed);
    stats.m_counters.m_nFailed = m_nFailed.load(std::memory_order_relaxed);
    stats.m_nKernelDrops = m_nKernelDrops.load(std::memory_order_relaxed);
    stats.m_nBytesRead = m_nBytesRead.load(std::memory_order_relaxed);
    return stats;
}

// The reading thread's counters; the folding thread keeps m_nCounted and m_nFailed itself.
void CSniffer::PublishCounters(const CaptureCounters& counters, std::uint64_t bytesRead) {
    m_nBytesRead.store(bytesRead, std::memory_order_relaxed);
    m_nFrames.store(counters.m_nFrames, std::memory_order_relaxed);
    m_nNotIp.store(counters.m_nNotIp, std::memory_order_relaxed);
    m_nTooShort.store(counters.m_nTooShort, std::memory_order_relaxed);
}

void CSniffer::Fold(SampleBuffer& samples, std::optional<IpAddress> local) {
    const std::size_t dropped = m_pTrafficTable->AddSamples(samples, local);
    m_nCounted.fetch_add(samples.size() - dropped, std::memory_order_relaxed);
    m_nFailed.fetch_add(dropped, std::memory_order_relaxed);
    samples.clear();
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

void CSniffer::Run::FoldLoop(SamplePipe& pipe) {
    while (std::unique_ptr<SamplePipe::Buffer> samples = pipe.TakeFull()) {
        Fold(*samples);
        pipe.GiveBack(std::move(samples));
    }
}

std::optional<CaptureEnd> CSniffer::Run::AfterRead(ReadStatus status, const CaptureCounters& counters,
                                                   Clock::time_point& nextDropPoll) {
    std::optional<std::uint64_t> drops;
    const auto now = Clock::now();
    if (now >= nextDropPoll || status != ReadStatus::Frames) {
        drops = m_pSource->KernelDrops();
        nextDropPoll = now + kDropPollInterval;
    }
    const LinkState link = m_pSource->Link();
    const std::uint64_t bytesRead = m_pSource->BytesRead();
    WithOwner([this, &counters, drops, link, bytesRead](CSniffer& owner) {
        owner.PublishCounters(counters, bytesRead);
        if (drops) {
            owner.m_nKernelDrops.store(*drops, std::memory_order_relaxed);
        }
        if (link != owner.m_link.exchange(link) && owner.m_onLink) {
            owner.m_onLink(link, m_pSource->Describe()); // named as it is now, interface included
        }
    });
    if (status == ReadStatus::Interrupted || m_bStop) {
        return CaptureEnd::Stopped;
    }
    if (status == ReadStatus::EndOfInput) {
        return CaptureEnd::EndOfInput;
    }
    if (status == ReadStatus::Failed) {
        Fail(kErrorRead, m_pSource->FailureText());
        return CaptureEnd::Failed;
    }
    return std::nullopt;
}

CaptureEnd CSniffer::Run::ReadAndFold() {
    CaptureCounters counters;
    SampleBuffer samples;
    samples.reserve(kBatchFrames);
    auto nextDropPoll = Clock::now();
    while (true) {
        const ReadStatus status = m_pSource->ReadSamples(kBatchFrames, samples, counters);
        Fold(samples);
        if (const auto end = AfterRead(status, counters, nextDropPoll)) {
            return *end;
        }
    }
}

std::optional<CaptureEnd> CSniffer::Run::ReadAndFoldApart() {
    SamplePipe pipe(kPipeBuffers, kWakeFolderAt);
    std::thread folder;
    try {
        folder = std::thread([this, &pipe] { FoldLoop(pipe); });
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    CaptureCounters counters;
    std::unique_ptr<SamplePipe::Buffer> samples = pipe.TakeEmpty();
    auto nextDropPoll = Clock::now();
    std::optional<CaptureEnd> end;
    const bool inputMayPause = m_pSource->ReadsMayWait();
    while (!end) {
        const std::uint64_t framesBefore = counters.m_nFrames;
        const ReadStatus status = m_pSource->ReadSamples(kBatchFrames, *samples, counters);
        if (!samples->empty()) {
            const bool shortRead =
                counters.m_nFrames - framesBefore < static_cast<std::uint64_t>(kBatchFrames);
            pipe.PushFull(std::move(samples), inputMayPause || shortRead);
            samples = pipe.TakeEmpty();
        }
        end = AfterRead(status, counters, nextDropPoll);
    }
    // Everything read is folded before the run ends, so a stop or the end of a file leaves the table
    // complete and nothing reaches it afterwards.
    pipe.Close();
    folder.join();
    return end;
}

void CSniffer::Run::Capture() {
    CSampleSource& source = *m_pSource;
    if (!source.Open()) {
        // A stop that interrupted the opening (a pipe with no data yet) is a stop, not a failure.
        if (m_bStop) {
            Finish(CaptureEnd::Stopped);
            return;
        }
        Fail(kErrorOpen, source.FailureText());
        Finish(CaptureEnd::Failed);
        return;
    }
    // Frames decoded in this process (a capture file) are folded on a second thread while this one reads,
    // so that reading and folding use both cores. Samples that arrive ready to fold (from the capture
    // helper) are folded here: a second thread would only add a wake-up per batch.
    const std::optional<CaptureEnd> end = source.DecodesWhileReading() ? ReadAndFoldApart() : ReadAndFold();
    if (!end) {
        Fail(kErrorThread, "Sniffer Thread Creation Failed!");
    }
    source.Close();
    Finish(end.value_or(CaptureEnd::Failed));
}

} // namespace flowsentry
