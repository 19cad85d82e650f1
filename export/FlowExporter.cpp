// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FlowExporter.h"

#include <algorithm>

namespace flowsentry {

CFlowExporter::CFlowExporter(IFlowSink& sink, FlowTimeouts timeouts) : m_sink(sink), m_timeouts(timeouts) {}

std::int64_t CFlowExporter::DeadlineOf(const RowState& row) const {
    return std::min(row.m_tLast + m_timeouts.m_nIdle, row.m_tStart + m_timeouts.m_nActive);
}

void CFlowExporter::Round(const TrafficBatch& batch, std::int64_t wallClock) {
    Apply(batch);
    Expire(std::max(wallClock, m_tClock));
}

void CFlowExporter::Apply(const TrafficBatch& batch) {
    if (batch.m_bReset) {
        // The table's counts start again from zero: what was not sent yet of the old rows goes now.
        (void)Finish();
        Forget();
    }
    if (m_rows.size() < batch.m_nRowCount) {
        m_rows.resize(batch.m_nRowCount);
    }
    // Rows are numbered from the top, newest first; their creation order does not move.
    const std::size_t count = batch.m_nRowCount;
    for (std::size_t i = 0; i < batch.m_newRows.size(); ++i) {
        const CTrafficEntry& entry = batch.m_newRows[i];
        RowState& row = m_rows[count - 1 - i];
        row.m_nProto = entry.m_nProto;
        row.m_family = entry.m_family;
        if (entry.IsIpv6()) {
            row.m_dwSrc = static_cast<std::uint32_t>(m_v6.size());
            m_v6.push_back({entry.m_src6, entry.m_dest6});
        } else {
            // An overflow row holds zeros here and goes out as 0.0.0.0.
            row.m_dwSrc = entry.m_dwSrcAddress;
            row.m_dwDest = entry.m_dwDestAddress;
        }
        Note(static_cast<std::uint32_t>(count - 1 - i), entry,
             i < batch.m_newRowStarts.size() ? batch.m_newRowStarts[i] : entry.m_tLastUpdate);
    }
    for (const RowChange& change : batch.m_changedRows) {
        Note(static_cast<std::uint32_t>(count - 1 - change.m_nRow), change.m_entry, change.m_tFirstChange);
    }
}

void CFlowExporter::Note(std::uint32_t serial, const CTrafficEntry& entry, std::int64_t firstChange) {
    RowState& row = m_rows[serial];
    row.m_now = {entry.m_nSendData, entry.m_nRcvData, entry.m_nSendPackets, entry.m_nRcvPackets};
    m_tClock = std::max(m_tClock, entry.m_tLastUpdate);
    if (row.m_now == row.m_sent) {
        return;
    }
    if (row.m_bPending) {
        const std::int64_t before = DeadlineOf(row);
        row.m_tLast = entry.m_tLastUpdate;
        const std::int64_t after = DeadlineOf(row);
        if (after != before) {
            m_due[after].push_back(serial);
        }
        return;
    }
    // The first change since the last record starts the flow: the row's first packet since the pull before.
    row.m_bPending = true;
    row.m_tStart = std::min(firstChange, entry.m_tLastUpdate);
    row.m_tLast = entry.m_tLastUpdate;
    m_due[DeadlineOf(row)].push_back(serial);
}

void CFlowExporter::Send(RowState& row, FlowEndReason reason) {
    FlowRecord forward;
    forward.m_family = row.m_family == IpFamily::Ipv6 ? IpFamily::Ipv6 : IpFamily::Ipv4;
    if (row.m_family == IpFamily::Ipv6) {
        forward.m_src6 = m_v6[row.m_dwSrc].m_src;
        forward.m_dest6 = m_v6[row.m_dwSrc].m_dest;
    } else {
        forward.m_dwSrcAddress = row.m_dwSrc;
        forward.m_dwDestAddress = row.m_dwDest;
    }
    forward.m_nProto = row.m_nProto;
    forward.m_reason = reason;
    forward.m_nStartMs = row.m_tStart * 1000;
    forward.m_nEndMs = row.m_tLast * 1000;
    forward.m_nOctets = row.m_now.m_nSendData - row.m_sent.m_nSendData;
    forward.m_nPackets = row.m_now.m_nSendPackets - row.m_sent.m_nSendPackets;
    if (forward.m_nPackets != 0 || forward.m_nOctets != 0) {
        m_sink.Write(forward);
        ++m_nRecords;
    }
    FlowRecord back = forward;
    std::swap(back.m_dwSrcAddress, back.m_dwDestAddress);
    std::swap(back.m_src6, back.m_dest6);
    back.m_nOctets = row.m_now.m_nRcvData - row.m_sent.m_nRcvData;
    back.m_nPackets = row.m_now.m_nRcvPackets - row.m_sent.m_nRcvPackets;
    if (back.m_nPackets != 0 || back.m_nOctets != 0) {
        m_sink.Write(back);
        ++m_nRecords;
    }
    row.m_sent = row.m_now;
    row.m_bPending = false;
}

void CFlowExporter::SendDue(std::int64_t second, const std::vector<std::uint32_t>& serials,
                            std::int64_t now) {
    for (const std::uint32_t serial : serials) {
        RowState& row = m_rows[serial];
        // Listed here but due later now, or sent already: passed over.
        if (row.m_bPending && DeadlineOf(row) == second) {
            Send(row, now - row.m_tLast >= m_timeouts.m_nIdle ? FlowEndReason::IdleTimeout
                                                              : FlowEndReason::ActiveTimeout);
        }
    }
}

void CFlowExporter::Expire(std::int64_t now) {
    if (m_due.empty() || m_due.begin()->first > now || !m_sink.Ready()) {
        return;
    }
    while (!m_due.empty() && m_due.begin()->first <= now) {
        const auto due = m_due.begin();
        SendDue(due->first, due->second, now);
        m_due.erase(due);
    }
    m_sink.Flush();
}

bool CFlowExporter::MayExpire(const PacketTimes& times) const {
    if (times.m_tLast == 0) {
        return false;
    }
    // A row not seen yet started after the last pull (or with the capture): no earlier than that plus the
    // shorter timeout is it due.
    const std::int64_t unseen =
        (m_tClock != 0 ? m_tClock : times.m_tFirst) + std::min(m_timeouts.m_nIdle, m_timeouts.m_nActive);
    return times.m_tLast >= unseen || (!m_due.empty() && times.m_tLast >= m_due.begin()->first);
}

bool CFlowExporter::Finish() {
    if (m_due.empty()) {
        return true;
    }
    if (!m_sink.Ready()) {
        return false;
    }
    for (const auto& [second, serials] : m_due) {
        for (const std::uint32_t serial : serials) {
            RowState& row = m_rows[serial];
            if (row.m_bPending && DeadlineOf(row) == second) {
                Send(row, FlowEndReason::ForcedEnd);
            }
        }
    }
    m_due.clear();
    m_sink.Flush();
    return true;
}

void CFlowExporter::Forget() {
    m_rows.clear();
    m_v6.clear();
    m_due.clear();
}

} // namespace flowsentry
