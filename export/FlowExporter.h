// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"
#include "traffic/TrafficTable.h"

#include <cstdint>
#include <limits>
#include <map>
#include <utility>
#include <vector>

namespace flowsentry {

// Why a flow record was sent, as IPFIX numbers it (flowEndReason, IANA registry).
enum class FlowEndReason : std::uint8_t { IdleTimeout = 1, ActiveTimeout = 2, ForcedEnd = 4 };

// One direction of a row's traffic since its previous record: a uniflow as flow collectors count them.
// Overflow rows are sent as IPv4 0.0.0.0 to 0.0.0.0, so that a collector's totals equal the table's.
struct FlowRecord {
    IpFamily m_family = IpFamily::Ipv4; // Ipv4 or Ipv6 only
    Ipv4Address m_dwSrcAddress = 0;
    Ipv4Address m_dwDestAddress = 0;
    Ipv6Address m_src6{};
    Ipv6Address m_dest6{};
    std::uint8_t m_nProto = 0;
    FlowEndReason m_reason = FlowEndReason::ForcedEnd;
    std::uint64_t m_nOctets = 0;
    std::uint64_t m_nPackets = 0;
    // Milliseconds since the epoch; the table keeps whole seconds, so these are seconds * 1000.
    std::int64_t m_nStartMs = 0;
    std::int64_t m_nEndMs = 0;
};

// Where records go: the IPFIX transport in the CLI, a list in tests.
class IFlowSink {
public:
    virtual ~IFlowSink() = default;
    // False while records cannot be sent (a TCP collector not reached yet); the exporter then keeps what it
    // holds, so that nothing is lost, and asks again at the next round.
    virtual bool Ready() = 0;
    virtual void Write(const FlowRecord& record) = 0;
    // The end of a round: what is buffered goes out now.
    virtual void Flush() = 0;
};

struct FlowTimeouts {
    std::int64_t m_nActive = 60; // seconds a busy row waits between records
    std::int64_t m_nIdle = 15;   // seconds without a packet after which a row's record is sent
};

// Turns the table's batches of changes into flow records the way flow exporters do: a row that changes is
// a flow from its first change since its last record; it is sent when quiet for the idle timeout, when it
// has run for the active timeout, or at the end. Each record holds what the row counted since the previous
// one, so a row's records add up to its counters exactly.
//
// Time is the capture's (the rows' last-update seconds), so a capture file gives the records its live
// capture would have; timeouts are looked at once per round (Expire), so their resolution is the caller's
// pull interval in capture time.
class CFlowExporter {
public:
    CFlowExporter(IFlowSink& sink, FlowTimeouts timeouts);
    CFlowExporter(const CFlowExporter&) = delete;
    CFlowExporter& operator=(const CFlowExporter&) = delete;

    // Takes note of a pulled batch (before or after a row store applies it; it is only read).
    void Apply(const TrafficBatch& batch);
    // Sends the rows whose timeout has passed at `now` (seconds since the epoch; the latest packet time seen
    // for a file, that or the wall clock live). Does nothing while the sink is not ready.
    void Expire(std::int64_t now);
    // One round of a caller that pulls: takes `batch` in and sends what has timed out by the later of the
    // packets' clock and `wallClock` (a live pull's time, or kNoWallClock for a file), so that a live row
    // whose traffic stopped still times out.
    void Round(const TrafficBatch& batch, std::int64_t wallClock);
    static constexpr std::int64_t kNoWallClock = std::numeric_limits<std::int64_t>::min();
    // Sends everything not sent yet (the end of the capture). Returns false when the sink could not take it.
    bool Finish();
    // Whether a pull with the fold's clock at `times` could send a record: a row seen is due by then, or a
    // row not seen yet could have timed out already. A capture file read faster than its packets came is
    // pulled only then, so that its read pays for no pull that cannot send anything.
    [[nodiscard]] bool MayExpire(const PacketTimes& times) const;

    // The latest packet time seen in a batch.
    [[nodiscard]] std::int64_t Clock() const { return m_tClock; }
    [[nodiscard]] std::uint64_t RecordsWritten() const { return m_nRecords; }

private:
    struct Counts {
        std::uint64_t m_nSendData = 0;
        std::uint64_t m_nRcvData = 0;
        std::uint64_t m_nSendPackets = 0;
        std::uint64_t m_nRcvPackets = 0;
        friend bool operator==(const Counts&, const Counts&) = default;
    };
    // Per row, by creation order: what the table holds and what has been sent of it.
    struct RowState {
        Counts m_now;
        Counts m_sent;
        std::int64_t m_tStart = 0; // the first packet not sent yet
        std::int64_t m_tLast = 0;  // the row's last packet
        // IPv4 addresses, or for IPv6 the index of the pair in m_v6.
        Ipv4Address m_dwSrc = 0;
        Ipv4Address m_dwDest = 0;
        std::uint8_t m_nProto = 0;
        IpFamily m_family = IpFamily::Ipv4;
        bool m_bPending = false; // m_now differs from m_sent, and the row is listed under its deadline
    };

    [[nodiscard]] std::int64_t DeadlineOf(const RowState& row) const;
    // `firstChange`: the second of the row's first packet since the previous pull.
    void Note(std::uint32_t serial, const CTrafficEntry& entry, std::int64_t firstChange);
    void Send(RowState& row, FlowEndReason reason);
    void Forget();

    IFlowSink& m_sink;
    FlowTimeouts m_timeouts;
    std::vector<RowState> m_rows;
    std::vector<Ipv6Pair> m_v6;
    // Pending rows under the second their first timeout comes, so that a round looks only at the rows due.
    // A row whose deadline moved on stays listed under the old second too, and is passed over there: a
    // deadline only ever moves later, and moving it costs one append instead of a search in a tree (with
    // a hundred thousand rows changing at each pull, the tree took a tenth of the read of a large file).
    std::map<std::int64_t, std::vector<std::uint32_t>> m_due;
    void SendDue(std::int64_t second, const std::vector<std::uint32_t>& serials, std::int64_t now);
    std::int64_t m_tClock = 0;
    std::uint64_t m_nRecords = 0;
};

} // namespace flowsentry
