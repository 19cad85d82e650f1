#include "capture/Sniffer.h"

#include <cerrno>
#include <cstring>
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

} // namespace

// The samples of one read, folded into the table under one lock.
struct CSniffer::Batch {
    int m_nLinkType = 0;
    std::vector<CTrafficEntry> m_samples;
    CaptureCounters m_counters;

    static void OnFrame(void* user, const FrameView& frame) {
        auto& batch = *static_cast<Batch*>(user);
        CTrafficEntry& sample = batch.m_samples.emplace_back();
        if (!FrameToSample(batch.m_nLinkType, std::span(frame.m_pBytes, frame.m_nCaptured), frame.m_nWireLength,
                           frame.m_tSeconds, sample, batch.m_counters)) {
            batch.m_samples.pop_back();
        }
    }
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
    return StartSniffing(std::make_unique<CLiveSource>(m_strInterfaceAddress), local);
}

bool CSniffer::StartSniffing(std::unique_ptr<CPacketSource> source, std::optional<Ipv4Address> local) {
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
    CPacketSource* reader = source.get();
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
    {
        const std::lock_guard lock(m_sourceMutex);
        if (m_pSource != nullptr) {
            m_pSource->BreakLoop();
        }
    }
    if (m_hSnifferThread.joinable()) {
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

void CSniffer::PublishCounters(const CaptureCounters& counters) {
    m_nFrames.store(counters.m_nFrames, std::memory_order_relaxed);
    m_nCounted.store(counters.m_nCounted, std::memory_order_relaxed);
    m_nNotIpv4.store(counters.m_nNotIpv4, std::memory_order_relaxed);
    m_nTooShort.store(counters.m_nTooShort, std::memory_order_relaxed);
    m_nFailed.store(counters.m_nFailed, std::memory_order_relaxed);
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

void CSniffer::CaptureLoop(CPacketSource& source, std::optional<Ipv4Address> local) {
    if (!source.Open()) {
        RecordError(kErrorOpen, source.Describe() + ": " + source.ErrorText());
        FinishRun(CaptureEnd::Failed);
        return;
    }
    Batch batch;
    batch.m_nLinkType = source.LinkType();
    batch.m_samples.reserve(kBatchFrames);
    auto nextDropPoll = std::chrono::steady_clock::now();
    CaptureEnd end = CaptureEnd::Stopped;
    while (true) {
        int delivered = 0;
        const ReadStatus status = source.Read(kBatchFrames, &Batch::OnFrame, &batch, delivered);
        if (!batch.m_samples.empty()) {
            const std::size_t dropped = m_pTrafficTable->AddSamples(batch.m_samples, local);
            batch.m_counters.m_nCounted += batch.m_samples.size() - dropped;
            batch.m_counters.m_nFailed += dropped;
            batch.m_samples.clear();
        }
        PublishCounters(batch.m_counters);
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
    source.Close();
    FinishRun(end);
}

} // namespace flowsentry
