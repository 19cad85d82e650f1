// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FlowExportThread.h"

#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace flowsentry {
namespace {
constexpr int kNiceness = 10;
} // namespace

CFlowExportThread::CFlowExportThread(std::unique_ptr<IFlowSink> sink, FlowTimeouts timeouts,
                                     std::function<void()> onRound)
    : m_sink(std::move(sink)), m_exporter(*m_sink, timeouts), m_onRound(std::move(onRound)),
      m_thread([this] { Run(); }) {}

CFlowExportThread::~CFlowExportThread() {
    Close();
    m_thread.join();
}

void CFlowExportThread::Post(std::shared_ptr<const TrafficBatch> batch, std::int64_t now, bool last) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_bClosed) {
            return;
        }
        m_jobs.push_back({std::move(batch), now, last});
    }
    m_wake.notify_one();
}

void CFlowExportThread::Close() {
    {
        const std::lock_guard lock(m_mutex);
        m_bClosed = true;
    }
    m_wake.notify_one();
}

void CFlowExportThread::Run() {
    // Records may come a few milliseconds later; the window's thread may not. On two busy cores the
    // scheduler then gives this thread the time the others leave.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceness);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bClosed || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                break; // closed, and everything posted taken in
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        if (job.m_bLast) {
            m_exporter.Apply(*job.m_batch);
            (void)m_exporter.Finish();
        } else {
            m_exporter.Round(*job.m_batch, job.m_tNow);
        }
        job.m_batch.reset(); // the caller may be done with it too: it goes now, not at the next batch
        m_nRecords.store(m_exporter.RecordsWritten(), std::memory_order_relaxed);
        if (m_onRound) {
            m_onRound();
        }
    }
    (void)m_exporter.Finish();
    m_nRecords.store(m_exporter.RecordsWritten(), std::memory_order_relaxed);
    m_sink.reset(); // a network sink waits here, on this thread, for what it still holds
    m_bDone.store(true, std::memory_order_release);
    if (m_onRound) {
        m_onRound();
    }
}

} // namespace flowsentry
