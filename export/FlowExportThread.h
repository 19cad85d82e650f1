// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "export/FlowExporter.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace flowsentry {

// A flow export on a thread of its own, for a caller that must never wait for it (the window): encoding
// a million rows' records, or a collector that is slow, costs the export's thread and not the caller's.
// Batches are taken in the order they were posted; the records are those a CFlowExporter makes of them.
class CFlowExportThread {
public:
    // `onRound`, when set, is called on the export's thread after each batch is taken in.
    CFlowExportThread(std::unique_ptr<IFlowSink> sink, FlowTimeouts timeouts,
                      std::function<void()> onRound = {});
    CFlowExportThread(const CFlowExportThread&) = delete;
    CFlowExportThread& operator=(const CFlowExportThread&) = delete;
    // Closes, and waits until what is left has been sent and the sink is gone.
    ~CFlowExportThread();

    // Hands over a pulled batch with the wall clock of the pull (for a file, a time before any packet's,
    // such as CFlowExporter::kNoWallClock); `last`: everything not sent yet goes now
    // (the table is about to be emptied). The batch is only read, so the caller may read it meanwhile.
    void Post(std::shared_ptr<const TrafficBatch> batch, std::int64_t now, bool last);
    // No more batches: what is posted is taken in, the rest is sent and the sink is dropped, without the
    // caller waiting. Done() tells when that is over.
    void Close();
    [[nodiscard]] bool Done() const { return m_bDone.load(std::memory_order_acquire); }
    [[nodiscard]] std::uint64_t RecordsWritten() const { return m_nRecords.load(std::memory_order_relaxed); }

private:
    struct Job {
        std::shared_ptr<const TrafficBatch> m_batch;
        std::int64_t m_tNow = 0;
        bool m_bLast = false;
    };
    void Run();

    std::unique_ptr<IFlowSink> m_sink;
    CFlowExporter m_exporter;
    std::function<void()> m_onRound;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_bClosed = false;
    std::atomic<bool> m_bDone{false};
    std::atomic<std::uint64_t> m_nRecords{0};
    std::thread m_thread; // last: it starts in the constructor and uses the members above
};

} // namespace flowsentry
