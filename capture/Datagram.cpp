#include "capture/Datagram.h"

#include "capture/LinkLayer.h"

namespace flowsentry {

DatagramVerdict DecodeDatagram(std::span<const std::uint8_t> bytes, std::uint32_t count,
                               std::int64_t timestamp, CTrafficEntry& sample) {
    if (count == 0 || bytes.empty()) {
        return DatagramVerdict::Empty;
    }
    if ((bytes[0] >> 4U) != 4) {
        return DatagramVerdict::NotIpv4;
    }
    if (count < 20 || bytes.size() < 20) {
        return DatagramVerdict::TooShort;
    }
    sample = CTrafficEntry{};
    sample.m_nProto = bytes[9];
    sample.m_dwSrcAddress = Ipv4FromOctets(bytes[12], bytes[13], bytes[14], bytes[15]);
    sample.m_dwDestAddress = Ipv4FromOctets(bytes[16], bytes[17], bytes[18], bytes[19]);
    sample.m_nSendData = count;
    sample.m_nSendPackets = 1;
    sample.m_tLastUpdate = timestamp;
    return DatagramVerdict::Counted;
}

bool FrameToSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                   std::int64_t timestamp, CTrafficEntry& sample, CaptureCounters& counters) {
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
    switch (DecodeDatagram(link.m_datagram, link.m_nLength, timestamp, sample)) {
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

} // namespace flowsentry
