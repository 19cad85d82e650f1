// SPDX-License-Identifier: GPL-3.0-or-later
// Memory of the core with many entries: folds N distinct entries (default 1,000,000) into a CTrafficTable
// and prints the table's own bytes per entry and the process's peak resident memory (VmHWM).
//   build/dev/bench/table_memory [ENTRIES] [6]     (6: IPv6 entries, from fd00:f5::1)
#include "platform/ProcessStatus.h"
#include "traffic/TrafficTable.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// How much of the process's anonymous memory the kernel backs with transparent huge pages.
long AnonHugePagesKiB() {
    std::FILE* file = std::fopen("/proc/self/smaps_rollup", "r");
    long kib = -1;
    if (file != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            if (std::sscanf(line, "AnonHugePages: %ld kB", &kib) == 1) {
                break;
            }
        }
        std::fclose(file);
    }
    return kib;
}

long PeakResidentKiB() {
    const auto field = flowsentry::ProcessStatusField("VmHWM");
    return field ? std::strtol(field->c_str(), nullptr, 10) : -1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace flowsentry;
    const std::size_t entries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const long before = PeakResidentKiB();
    const bool ipv6 = argc > 2 && std::string(argv[2]) == "6";
    CTrafficTable table;
    table.SetMaxEntries(entries);               // each entry its own, past the default bound too
    constexpr Ipv4Address kLocal = 0x0AFA0001U; // 10.250.0.1
    const Ipv6Address local6 = {0xFD, 0, 0, 0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    CTrafficEntry sample;
    sample.m_nSendPackets = 1;
    sample.m_nSendData = 100;
    sample.m_family = ipv6 ? IpFamily::Ipv6 : IpFamily::Ipv4;
    for (std::size_t i = 0; i < entries; ++i) {
        // Distinct remote addresses, half of them sending to us: one entry each.
        const auto remote = static_cast<Ipv4Address>(0x0B000000U + i);
        const bool outgoing = i % 2 == 0;
        if (ipv6) {
            Ipv6Address remote6 = local6;
            for (std::size_t k = 0; k < 4; ++k) {
                remote6[12 + k] = static_cast<std::uint8_t>(remote >> (24 - 8 * k));
            }
            sample.m_src6 = outgoing ? local6 : remote6;
            sample.m_dest6 = outgoing ? remote6 : local6;
        } else {
            sample.m_dwSrcAddress = outgoing ? kLocal : remote;
            sample.m_dwDestAddress = outgoing ? remote : kLocal;
        }
        sample.m_nProto = static_cast<std::uint8_t>(i % 3 == 0 ? 6 : 17);
        sample.m_tLastUpdate = static_cast<std::int64_t>(i);
        table.AddSample(sample, ipv6 ? IpAddress(local6) : IpAddress(kLocal));
    }
    const long peak = PeakResidentKiB();
    const std::size_t count = table.EntryCount();
    std::printf("entries: %zu\nMemoryBytes: %zu (%.1f bytes per entry)\nVmHWM: %ld KiB before, %ld KiB after "
                "(%.1f bytes per entry)\n",
                count, table.MemoryBytes(),
                static_cast<double>(table.MemoryBytes()) / static_cast<double>(count), before, peak,
                static_cast<double>(peak - before) * 1024.0 / static_cast<double>(count));
    std::printf("AnonHugePages: %ld KiB\n", AnonHugePagesKiB());
    return count == entries ? 0 : 1;
}
