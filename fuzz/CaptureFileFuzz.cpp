// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as a capture file, read through the sniffer into the table and out as text.
#include "capture/FileSource.h"
#include "capture/Sniffer.h"
#include "export/ListToText.h"
#include "traffic/RowStore.h"

#include <chrono>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0; // fmemopen refuses an empty buffer
    }
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (stream == nullptr) {
        return 0;
    }
    flowsentry::CTrafficTable table;
    flowsentry::CSniffer sniffer;
    sniffer.Initialize(&table);
    if (!sniffer.StartSniffing(std::make_unique<flowsentry::CFileSource>("input", stream), 0x0A000001U)) {
        __builtin_trap();
    }
    if (!sniffer.WaitUntilEnded(std::chrono::seconds(60))) {
        __builtin_trap(); // a file in memory cannot keep the reader busy this long
    }
    sniffer.StopSniffing();
    const bool failed = sniffer.LastEnd() == flowsentry::CaptureEnd::Failed;
    if (failed == sniffer.GetErrorText().empty()) {
        __builtin_trap(); // a failure always says why, and only a failure does
    }
    flowsentry::CRowStore rows;
    rows.Apply(table.PullChanges());
    const flowsentry::SnifferStats stats = sniffer.Stats();
    if (rows.RowCount() != table.EntryCount() || stats.m_counters.m_nCounted + stats.m_counters.m_nNotIpv4 +
                                                         stats.m_counters.m_nTooShort != stats.m_counters.m_nFrames) {
        __builtin_trap();
    }
    (void)flowsentry::ListToText(rows);
    return 0;
}
