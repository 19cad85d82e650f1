#include "capture/Sniffer.h"

#include "capture/HelperSource.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <system_error>
#include <vector>

namespace flowsentry {

CSocketError::~CSocketError() = default;

void CSocketError::RecordLastError() {
    const int code = errno;
    const std::lock_guard lock(m_errorMutex);
    m_nErrorCode = code;
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, m_szSystemText.data(), m_szSystemText.size());
    m_strErrorText = text;
}

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
constexpr std::size_t kPipeBuffers = 4;
constexpr auto kStopRetryInterval = std::chrono::milliseconds(50);

} // namespace

// Hands filled sample buffers from the reading thread to the folding thread and empty ones back. Reading
// (libpcap's copies, decoding) and folding (the table's memory accesses) then run on two cores at once,
// which is what brings a capture-file read near the speed of libpcap alone. A few buffers are enough to
// smooth out the two sides; when all are full the reader waits, so memory stays bounded.
class CSniffer::SamplePipe {
public:
    explicit SamplePipe(std::size_t buffers) {
        for (std::size_t i = 0; i < buffers; ++i) {
            m_empty.push_back(std::make_unique<SampleBuffer>());
            m_empty.back()->reserve(kBatchFrames);
        }
    }

    std::unique_ptr<SampleBuffer> TakeEmpty() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_empty.empty(); });
        auto buffer = std::move(m_empty.back());
        m_empty.pop_back();
        return buffer;
    }

    void PushFull(std::unique_ptr<SampleBuffer> buffer) {
        {
            const std::lock_guard lock(m_mutex);
            m_full.push_back(std::move(buffer));
        }
        m_changed.notify_all();
    }

    // Null once the reader has closed the pipe and every full buffer has been taken.
    std::unique_ptr<SampleBuffer> TakeFull() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_full.empty() || m_bClosed; });
        if (m_full.empty()) {
            return nullptr;
        }
        auto buffer = std::move(m_full.front());
        m_full.pop_front();
        return buffer;
    }

    void GiveBack(std::unique_ptr<SampleBuffer> buffer) {
        buffer->clear();
        {
            const std::lock_guard lock(m_mutex);
            m_empty.push_back(std::move(buffer));
        }
        m_changed.notify_all();
    }

    void Close() {
        {
            const std::lock_guard lock(m_mutex);
            m_bClosed = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<SampleBuffer>> m_full;
    std::vector<std::unique_ptr<SampleBuffer>> m_empty;
    bool m_bClosed = false;
};

CSniffer::~CSniffer() { StopSniffing(); }

void CSniffer::Initialize(CTrafficTable* table) {
    StopSniffing();
    m_pTrafficTable = table;
    m_strInterfaceAddress.clear();
    m_bStop = false;
}

void CSniffer::SetEndCallback(EndCallback callback) { m_onEnd = std::move(callback); }

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
    const std::size_t dropped = m_pTrafficTable->AddSamples(samples, local);
    m_nCounted.fetch_add(samples.size() - dropped, std::memory_order_relaxed);
    m_nFailed.fetch_add(dropped, std::memory_order_relaxed);
    samples.clear();
}

void CSniffer::FoldLoop(SamplePipe& pipe, std::optional<Ipv4Address> local) {
    while (std::unique_ptr<SampleBuffer> samples = pipe.TakeFull()) {
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
    // A source that hands over samples ready to fold is folded on this thread: a second thread would
    // only add a wake-up per batch.
    const bool bFoldHere = !source.DecodesWhileReading();
    SamplePipe pipe(bFoldHere ? 1 : kPipeBuffers);
    std::thread folder;
    try {
        if (!bFoldHere) {
            folder = std::thread([this, &pipe, local] { FoldLoop(pipe, local); });
        }
    } catch (const std::system_error&) {
        RecordError(kErrorThread, "Sniffer Thread Creation Failed!");
        source.Close();
        FinishRun(CaptureEnd::Failed);
        return;
    }
    CaptureCounters counters;
    std::unique_ptr<SampleBuffer> samples = pipe.TakeEmpty();
    auto nextDropPoll = std::chrono::steady_clock::now();
    CaptureEnd end = CaptureEnd::Stopped;
    while (true) {
        const ReadStatus status = source.ReadSamples(kBatchFrames, *samples, counters);
        if (bFoldHere) {
            Fold(*samples, local);
        } else if (!samples->empty()) {
            pipe.PushFull(std::move(samples));
            samples = pipe.TakeEmpty();
        }
        PublishCounters(counters);
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextDropPoll || status != ReadStatus::Frames) {
            if (const auto drops = source.KernelDrops()) {
                m_nKernelDrops.store(*drops, std::memory_order_relaxed);
            }
            nextDropPoll = now + kDropPollInterval;
        }
        if (status == ReadStatus::Interrupted || m_bStop) {
            end = CaptureEnd::Stopped;
            break;
        }
        if (status == ReadStatus::EndOfInput) {
            end = CaptureEnd::EndOfInput;
            break;
        }
        if (status == ReadStatus::Failed) {
            RecordError(kErrorRead, source.Describe() + ": " + source.ErrorText());
            end = CaptureEnd::Failed;
            break;
        }
    }
    // Everything read is folded before the run ends, so a stop or the end of a file leaves the table
    // complete and nothing reaches it afterwards.
    pipe.Close();
    if (folder.joinable()) {
        folder.join();
    }
    source.Close();
    FinishRun(end);
}

} // namespace flowsentry
