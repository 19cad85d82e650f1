// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as a capture file (pcap through libpcap, pcapng through our own reader), read twice: through the
// sniffer into the table and out as text, from a stream in memory; and straight from the file source over a
// descriptor, as a file on disk is read. Both must count the same and fail alike.
#include "capture/FileSource.h"
#include "capture/Sniffer.h"
#include "export/ListToText.h"
#include "traffic/RowStore.h"

#include <chrono>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct DirectRead {
    bool m_bFailed = false;
    std::string m_strError;
    flowsentry::CaptureCounters m_counters;
    std::uint64_t m_nSamples = 0;
};

// Through a memory file's descriptor: the path a regular file takes (read(2), seeking back for libpcap).
DirectRead ReadDirectly(const std::uint8_t* data, std::size_t size) {
    DirectRead result;
    const int fd = memfd_create("input", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) || ::lseek(fd, 0, SEEK_SET) != 0) {
        __builtin_trap();
    }
    std::FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        __builtin_trap();
    }
    flowsentry::CFileSource source("input", stream);
    if (!source.Open()) {
        result.m_bFailed = true;
        result.m_strError = "input: " + source.ErrorText();
        return result;
    }
    flowsentry::SampleBuffer samples;
    flowsentry::ReadStatus status = flowsentry::ReadStatus::Frames;
    while (status == flowsentry::ReadStatus::Frames) {
        samples.clear();
        status = source.ReadSamples(4096, samples, result.m_counters);
        result.m_nSamples += samples.size();
    }
    if (status == flowsentry::ReadStatus::Failed) {
        result.m_bFailed = true;
        result.m_strError = "input: " + source.ErrorText();
    } else if (status != flowsentry::ReadStatus::EndOfInput) {
        __builtin_trap(); // nothing asked it to stop
    }
    return result;
}

} // namespace

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
    const flowsentry::CaptureCounters& c = stats.m_counters;
    if (rows.RowCount() != table.EntryCount() || c.m_nCounted + c.m_nNotIp + c.m_nTooShort != c.m_nFrames) {
        __builtin_trap();
    }
    const DirectRead direct = ReadDirectly(data, size);
    if (direct.m_bFailed != failed || direct.m_strError != sniffer.GetErrorText() ||
        direct.m_counters.m_nFrames != c.m_nFrames || direct.m_counters.m_nNotIp != c.m_nNotIp ||
        direct.m_counters.m_nTooShort != c.m_nTooShort || direct.m_nSamples != c.m_nCounted + c.m_nFailed) {
        __builtin_trap(); // the same bytes read another way count otherwise
    }
    (void)flowsentry::ListToText(rows);
    return 0;
}
