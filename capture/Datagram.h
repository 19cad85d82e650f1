// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <span>

namespace flowsentry {

// What happened to the frames of one capture.
struct CaptureCounters {
    std::uint64_t m_nFrames = 0;   // every frame seen
    std::uint64_t m_nCounted = 0;  // IP datagrams folded into the table
    std::uint64_t m_nNotIp = 0;    // frames of other protocols, or whose IP version is neither 4 nor 6
    std::uint64_t m_nTooShort = 0; // frames too short for their link header or for an IP header
    std::uint64_t m_nFailed = 0;   // datagrams the table could not take

    friend bool operator==(const CaptureCounters&, const CaptureCounters&) = default;
};

// What a capture does with each frame, in one call: strips the link header, decodes the IPv4 or IPv6
// datagram and appends its sample to `samples`, or counts why there is none. `wireLength` is the frame's
// length on the wire (pcap_pkthdr.len), `frame` what was captured of it.
//
// A datagram counts the bytes the IP stack would deliver: its IPv4 total length when that is at least its
// header length and at most what was received, otherwise what was received (BIG TCP writes a total length
// of 0). An IPv6 datagram counts its 40-byte header and its payload length when that fits in what was
// received, otherwise what was received (a jumbogram's payload length is 0). Ethernet padding, frame check
// sequences and trailers are left out.
//
// An IPv6 datagram's protocol is the upper-layer protocol after its extension headers (hop-by-hop, routing,
// fragment, destination options, authentication, mobility); ESP and "no next header" end the walk and are
// the protocol. A fragment other than the first counts under its fragment header's next header. A chain
// that was not captured whole, or that runs past the datagram, counts under the last protocol reached.
//
// `mtu` is the capturing interface's MTU in a live capture, 0 for a capture file. A TCP or UDP datagram
// longer than the MTU never crossed the wire as one: it is a super-packet that receive coalescing (GRO)
// built or transmit segmentation (TSO/GSO) had yet to cut. It counts as the segments it stands for, each as
// large as the MTU allows and with its own IP and transport header: an estimate, since a sender may cut
// smaller segments. A file records no MTU, so what it holds counts as it stands.
void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::uint32_t mtu, SampleBuffer& samples,
                       CaptureCounters& counters);

// The upper-layer protocol of an IPv6 datagram and the offset of its header (where the walk stopped, for a
// chain cut short). `datagram` is what was captured of it, from its IPv6 header on, at
// least 40 bytes; `length` the datagram's own size.
struct Ipv6Upper {
    std::uint8_t m_nProto = 0;
    std::uint32_t m_nOffset = 0;
    bool m_bComplete = false; // the walk reached the upper-layer header (or ESP, no next header)
    bool m_bFragment = false; // a fragment header was passed (or, for a later fragment, stopped at)
};
Ipv6Upper WalkIpv6Headers(std::span<const std::uint8_t> datagram, std::uint32_t length);

} // namespace flowsentry
