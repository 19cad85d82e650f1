// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Datagram.h"

#include "capture/LinkLayer.h"

namespace flowsentry {
namespace {

// The octets in wire order, the first most significant, as Ipv4Address holds them.
Ipv4Address AddressAt(std::span<const std::uint8_t> b, std::size_t offset) {
    return (Ipv4Address{b[offset]} << 24U) | (Ipv4Address{b[offset + 1]} << 16U) |
           (Ipv4Address{b[offset + 2]} << 8U) | Ipv4Address{b[offset + 3]};
}

// The body of DecodeDatagram, inlined into the per-frame path.
[[gnu::always_inline]] inline DatagramVerdict DecodeHeader(std::span<const std::uint8_t> bytes,
                                                           std::uint32_t count, std::int64_t timestamp,
                                                           CTrafficEntry& sample) {
    if (count == 0 || bytes.empty()) {
        return DatagramVerdict::Empty;
    }
    if ((bytes[0] >> 4U) != 4) {
        return DatagramVerdict::NotIpv4;
    }
    if (count < 20 || bytes.size() < 20) {
        return DatagramVerdict::TooShort;
    }
    // Field by field, straight into the sample: an entry made elsewhere and copied in whole is read back
    // with wide loads that cannot take the narrow stores just made, which stalled each frame (measured).
    sample.m_dwSrcAddress = AddressAt(bytes, 12);
    sample.m_dwDestAddress = AddressAt(bytes, 16);
    sample.m_dwEntryId = 0;
    sample.m_nProto = bytes[9];
    sample.m_nSendData = count;
    sample.m_nRcvData = 0;
    sample.m_nSendPackets = 1;
    sample.m_nRcvPackets = 0;
    sample.m_tLastUpdate = timestamp;
    return DatagramVerdict::Counted;
}

// The body of FrameToSample, inlined into both callers: a call per frame would cost as much as the work.
[[gnu::always_inline]] inline bool DecodeFrame(int linkType, std::span<const std::uint8_t> frame,
                                               std::uint32_t wireLength, std::int64_t timestamp,
                                               CTrafficEntry& sample, CaptureCounters& counters) {
    ++counters.m_nFrames;
    const LinkResult link = StripLinkLayer(linkType, frame, wireLength);
    if (link.m_kind == FrameKind::TooShort) {
        ++counters.m_nTooShort;
        return false;
    }
    if (link.m_kind == FrameKind::NotIpv4) {
        ++counters.m_nNotIpv4;
        return false;
    }
    switch (DecodeHeader(link.m_datagram, link.m_nLength, timestamp, sample)) {
    case DatagramVerdict::Counted:
        return true;
    case DatagramVerdict::NotIpv4:
        ++counters.m_nNotIpv4;
        return false;
    case DatagramVerdict::Empty:
    case DatagramVerdict::TooShort:
    case DatagramVerdict::Failed:
        ++counters.m_nTooShort;
        return false;
    }
    return false;
}

} // namespace

DatagramVerdict DecodeDatagram(std::span<const std::uint8_t> bytes, std::uint32_t count,
                               std::int64_t timestamp, CTrafficEntry& sample) {
    return DecodeHeader(bytes, count, timestamp, sample);
}

bool FrameToSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                   std::int64_t timestamp, CTrafficEntry& sample, CaptureCounters& counters) {
    return DecodeFrame(linkType, frame, wireLength, timestamp, sample, counters);
}

void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::vector<CTrafficEntry>& samples,
                       CaptureCounters& counters) {
    if (!DecodeFrame(linkType, frame, wireLength, timestamp, samples.emplace_back(), counters)) {
        samples.pop_back();
    }
}

void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::vector<PacketSample>& samples,
                       CaptureCounters& counters) {
    // Decoded into an entry in registers, then stored in compact form field by field.
    CTrafficEntry sample;
    if (DecodeFrame(linkType, frame, wireLength, timestamp, sample, counters)) {
        PacketSample& packet = samples.emplace_back();
        packet.m_dwSrcAddress = sample.m_dwSrcAddress;
        packet.m_dwDestAddress = sample.m_dwDestAddress;
        packet.m_nBytes = static_cast<std::uint32_t>(sample.m_nSendData);
        packet.m_nProto = sample.m_nProto;
        packet.m_tTime = sample.m_tLastUpdate;
    }
}

} // namespace flowsentry
