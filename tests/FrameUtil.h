// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Frames through the path a capture takes: AppendFrameSample for each frame, then the table's batched fold.
#include "capture/Datagram.h"
#include "traffic/TrafficTable.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace flowsentry::test {

// The sample a capture makes of one frame, if any. `wireLength` 0 stands for the frame's own size; `mtu` 0
// for a capture file.
inline std::optional<PacketSample> Decode(int linkType, std::span<const std::uint8_t> frame,
                                          std::uint32_t wireLength = 0, std::uint32_t mtu = 0,
                                          std::int64_t time = 0, CaptureCounters* counters = nullptr) {
    CaptureCounters ignored;
    SampleBuffer samples;
    AppendFrameSample(linkType, frame,
                      wireLength != 0 ? wireLength : static_cast<std::uint32_t>(frame.size()), time, mtu,
                      samples, counters != nullptr ? *counters : ignored);
    if (samples.empty()) {
        return std::nullopt;
    }
    return samples.m_samples.front();
}

// Decodes one frame and folds what it makes into the table, keeping the counters as the sniffer does.
inline void Fold(CTrafficTable& table, std::optional<IpAddress> local, int linkType,
                 std::span<const std::uint8_t> frame, std::uint32_t wireLength, CaptureCounters& counters,
                 std::uint32_t mtu = 0) {
    SampleBuffer samples;
    AppendFrameSample(linkType, frame, wireLength, 0, mtu, samples, counters);
    const std::size_t dropped = table.AddSamples(samples, local);
    counters.m_nCounted += samples.size() - dropped;
    counters.m_nFailed += dropped;
}

} // namespace flowsentry::test
