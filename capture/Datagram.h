// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <span>
#include <vector>

namespace flowsentry {

// What happened to the frames of one capture.
struct CaptureCounters {
    std::uint64_t m_nFrames = 0;   // every frame seen
    std::uint64_t m_nCounted = 0;  // IPv4 datagrams folded into the table
    std::uint64_t m_nNotIpv4 = 0;  // frames of other protocols, or whose IP version is not 4
    std::uint64_t m_nTooShort = 0; // frames too short for their link header or for an IPv4 header
    std::uint64_t m_nFailed = 0;   // datagrams the table could not take

    friend bool operator==(const CaptureCounters&, const CaptureCounters&) = default;
};

// What a capture does with each frame, in one call: strips the link header, decodes the IPv4 datagram
// and appends its sample to `samples`, or counts why there is none. `wireLength` is the frame's length on
// the wire (pcap_pkthdr.len), `frame` what was captured of it.
//
// A datagram counts the bytes the IP stack would deliver: its IPv4 total length when that is at least its
// header length and at most what was received, otherwise what was received (BIG TCP writes a total length
// of 0). Ethernet padding, frame check sequences and trailers are left out.
//
// `mtu` is the capturing interface's MTU in a live capture, 0 for a capture file. A TCP or UDP datagram
// longer than the MTU never crossed the wire as one: it is a super-packet that receive coalescing (GRO)
// built or transmit segmentation (TSO/GSO) had yet to cut. It counts as the segments it stands for, each as
// large as the MTU allows and with its own IP and transport header: an estimate, since a sender may cut
// smaller segments. A file records no MTU, so what it holds counts as it stands.
void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::uint32_t mtu, std::vector<PacketSample>& samples,
                       CaptureCounters& counters);

} // namespace flowsentry
