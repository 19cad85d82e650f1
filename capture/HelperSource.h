// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/SampleSource.h"
#include "capture/SampleStream.h"

#include <atomic>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace flowsentry {

// Live capture through the capture helper: runs flowsentry-capture for the address, which opens the
// interface with its capability, gives the capability up, and streams decoded samples through a pipe.
// This process needs no privilege; what the helper writes is checked as untrusted input.
class CHelperSource final : public CSampleSource {
public:
    explicit CHelperSource(std::string address);
    CHelperSource(std::string address, std::string helperPath);
    ~CHelperSource() override;

    bool Open() override;
    ReadStatus ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) override;
    void BreakLoop() override;
    void Close() override;
    [[nodiscard]] std::optional<std::uint64_t> KernelDrops() override;
    [[nodiscard]] std::string Describe() const override;
    // The helper decodes; what arrives here is ready to fold.
    [[nodiscard]] bool DecodesWhileReading() const override { return false; }
    [[nodiscard]] LinkState Link() const override { return m_link; }

    // The helper's process id while it runs, else -1 (for tests).
    [[nodiscard]] pid_t HelperPid() const;

private:
    enum class Fill { Data, End, Interrupted, Failed };
    Fill FillFromPipe(int timeoutMs);
    bool StartHelper();
    // Ends the helper: asks it to stop, reads what it still says until it closes the pipe (a bounded
    // wait; then it is killed), and collects its exit.
    void EndHelper(bool bKill);
    std::string ExitText();
    void Fail(std::string text);

    std::string m_strAddress;
    std::string m_strHelper;
    std::string m_strInterface;
    int m_nPipe = -1;
    int m_nWake = -1;              // an eventfd that BreakLoop writes, to wake the wait for the pipe
    mutable std::mutex m_pidMutex; // the pid is reaped under it, so BreakLoop never signals a reused pid
    pid_t m_nPid = -1;
    int m_nExitStatus = 0;
    std::atomic<bool> m_bBreak{false};
    CSampleStreamReader m_reader;
    StreamRecord m_record;
    std::uint32_t m_nNextSample = 0; // samples of m_record already delivered
    std::optional<HelperStats> m_stats;
    LinkState m_link = LinkState::Up; // read and written on the capture thread only
};

} // namespace flowsentry
