// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"
#include "traffic/TrafficTable.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace flowsentry {

enum class DatagramVerdict {
    Counted,  // folded into the table
    Empty,    // zero bytes: nothing happens
    NotIpv4,  // version nibble is not 4
    TooShort, // fewer than 20 bytes, the smallest IPv4 header
    Failed,   // the table could not take it (out of memory); only this datagram is lost
};

// Reads one IPv4 datagram into a sample: one packet of `count` bytes on the send side, stamped with
// `timestamp` (seconds since the epoch). `bytes` holds the captured part of the datagram, `count` its
// full received size. Only the version nibble, the protocol and the two addresses are read: the header
// length bits and the total length play no part.
DatagramVerdict DecodeDatagram(std::span<const std::uint8_t> bytes, std::uint32_t count,
                               std::int64_t timestamp, CTrafficEntry& sample);

// Decodes one datagram and folds it into the table, oriented towards `local` when it is given.
DatagramVerdict ProcessDatagram(CTrafficTable& table, std::optional<Ipv4Address> local,
                                std::span<const std::uint8_t> bytes, std::uint32_t count,
                                std::int64_t timestamp);

// What happened to the frames of one capture.
struct CaptureCounters {
    std::uint64_t m_nFrames = 0;   // every frame seen
    std::uint64_t m_nCounted = 0;  // IPv4 datagrams folded into the table
    std::uint64_t m_nNotIpv4 = 0;  // frames of other protocols, or whose IP version is not 4
    std::uint64_t m_nTooShort = 0; // frames too short for their link header or for an IPv4 header
    std::uint64_t m_nFailed = 0;   // datagrams the table could not take

    friend bool operator==(const CaptureCounters&, const CaptureCounters&) = default;
};

// One captured frame to a sample, without touching the table: strips the link header and decodes the
// datagram. Counts the frame, and why it was not counted when it returns false.
bool FrameToSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                   std::int64_t timestamp, CTrafficEntry& sample, CaptureCounters& counters);
// The same, appending the sample to `samples` when there is one: what a capture does for each frame, in
// one call. The second form appends the compact sample that a capture file's reading thread hands over.
void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::vector<CTrafficEntry>& samples,
                       CaptureCounters& counters);
void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::vector<PacketSample>& samples, CaptureCounters& counters);

// One captured frame, from its link header to the table.
void FoldFrame(CTrafficTable& table, std::optional<Ipv4Address> local, int linkType,
               std::span<const std::uint8_t> frame, std::uint32_t wireLength, std::int64_t timestamp,
               CaptureCounters& counters);

} // namespace flowsentry
