// SPDX-License-Identifier: GPL-3.0-or-later
// The table-side ends of decoding: kept apart from Datagram.cpp so that the capture helper, which has no
// table, does not link one.
#include "capture/Datagram.h"

namespace flowsentry {

DatagramVerdict ProcessDatagram(CTrafficTable& table, std::optional<Ipv4Address> local,
                                std::span<const std::uint8_t> bytes, std::uint32_t count,
                                std::int64_t timestamp) {
    CTrafficEntry sample;
    const DatagramVerdict verdict = DecodeDatagram(bytes, count, timestamp, sample);
    if (verdict != DatagramVerdict::Counted) {
        return verdict;
    }
    // A failure for one datagram (out of memory) must not end the capture: drop it and go on.
    try {
        table.AddSample(sample, local);
    } catch (...) {
        return DatagramVerdict::Failed;
    }
    return DatagramVerdict::Counted;
}

void FoldFrame(CTrafficTable& table, std::optional<Ipv4Address> local, int linkType,
               std::span<const std::uint8_t> frame, std::uint32_t wireLength, std::int64_t timestamp,
               CaptureCounters& counters) {
    CTrafficEntry sample;
    if (!FrameToSample(linkType, frame, wireLength, timestamp, sample, counters)) {
        return;
    }
    // A failure for one datagram (out of memory) must not end the capture: drop it and go on.
    try {
        table.AddSample(sample, local);
        ++counters.m_nCounted;
    } catch (...) {
        ++counters.m_nFailed;
    }
}

} // namespace flowsentry
