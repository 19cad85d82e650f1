#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace flowsentry {

enum class FrameKind {
    Datagram, // an IPv4 datagram was found
    NotIpv4,  // a well-formed frame of another network protocol
    TooShort, // shorter than its link header says it must be
};

struct LinkResult {
    FrameKind m_kind = FrameKind::NotIpv4;
    std::span<const std::uint8_t> m_datagram; // the captured bytes of the datagram (may be cut by snaplen)
    std::uint32_t m_nLength = 0;              // its size as a raw IPv4 socket would have received it
};

// Whether frames of this libpcap link type (DLT_*) can be turned into datagrams.
bool IsSupportedLinkType(int linkType);
// A readable name for a link type, for messages ("DLT_IEEE802_11").
std::string LinkTypeName(int linkType);

// Strips the link header from a captured frame. `wireLength` is the frame's length on the wire
// (pcap_pkthdr.len); `frame` holds the bytes that were captured of it.
LinkResult StripLinkLayer(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength);

} // namespace flowsentry
