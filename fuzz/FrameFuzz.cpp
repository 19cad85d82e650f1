// SPDX-License-Identifier: GPL-3.0-or-later
// Frame -> datagram -> table -> rows -> text, with any bytes as the frame.
#include "capture/Datagram.h"
#include "export/ListToText.h"
#include "traffic/RowStore.h"
#include "traffic/TrafficTable.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <pcap/dlt.h>
#include <vector>

namespace {

// The first input byte picks one of these; the last is one we do not support.
constexpr std::array<int, 8> kLinkTypes = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                           DLT_IPV4,   DLT_NULL,      DLT_LOOP,       DLT_IEEE802_11};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    static flowsentry::CTrafficTable table;
    static flowsentry::CRowStore rows;
    static flowsentry::CaptureCounters counters;
    static unsigned runs = 0;

    const int linkType = kLinkTypes[data[0] % kLinkTypes.size()];
    // The second byte adds to the wire length, as when snaplen cut the frame.
    const std::span<const std::uint8_t> frame(data + 2, size - 2);
    const auto wireLength = static_cast<std::uint32_t>(frame.size() + data[1] * 64U);
    // Bit 0x80 gives a local address: 10.0.0.1, or fd00:f5::1 with bit 0x20 set.
    std::optional<flowsentry::IpAddress> local;
    if ((data[0] & 0x80U) != 0) {
        flowsentry::Ipv6Address v6{0xfd, 0x00, 0x00, 0xf5};
        v6[15] = 1;
        local = (data[0] & 0x20U) != 0 ? flowsentry::IpAddress(v6) : flowsentry::IpAddress(0x0A000001U);
    }
    // Bit 0x40 makes it a live capture, with an MTU from the smallest IPv4 allows upwards; else a file.
    const std::uint32_t mtu = (data[0] & 0x40U) != 0 ? 68U + data[1] * 8U : 0U;
    // The capture's own path: a sample per frame, then the table's batched fold.
    static flowsentry::SampleBuffer samples;
    samples.clear();
    flowsentry::AppendFrameSample(linkType, frame, wireLength, static_cast<std::int64_t>(data[1]) << 24U, mtu,
                                  samples, counters);
    if (samples.size() > 1 || samples.m_v6.size() > samples.size() ||
        (samples.size() == 1 &&
         (samples.m_samples[0].m_nPackets == 0 || samples.m_samples[0].m_nBytes == 0))) {
        __builtin_trap();
    }
    if (table.AddSamples(samples, local) != 0) {
        __builtin_trap();
    }

    rows.Apply(table.PullChanges());
    if (rows.RowCount() != table.EntryCount()) {
        __builtin_trap();
    }
    if (++runs % 256 == 0) {
        (void)flowsentry::ListToText(rows);
        table.Clear(); // keeps memory bounded over long runs
        rows.Apply(table.PullChanges());
    }
    return 0;
}
