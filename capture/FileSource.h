// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/PacketSource.h"
#include "capture/PcapngReader.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace flowsentry {

// A pcap or pcapng file. The first block tells which: pcapng is read by CPcapngReader, which reads what
// libpcap 1.10 cannot (several interfaces, several sections); classic pcap by libpcap's offline reader.
class CFileSource final : public CPacketSource {
public:
    explicit CFileSource(std::string path) : m_strPath(std::move(path)) {}
    // An already open stream (a pipe, memory) that nothing has read through stdio yet; the source takes it
    // over and closes it. `name` is for messages.
    CFileSource(std::string name, std::FILE* stream) : m_strPath(std::move(name)), m_pStream(stream) {}
    ~CFileSource() override;
    bool Open() override;
    ReadStatus ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) override;
    void Close() override;
    [[nodiscard]] std::string Describe() const override { return m_strPath; }
    // Only a regular file is read without waiting for a writer; a pipe or a FIFO may pause at any time.
    [[nodiscard]] bool ReadsMayWait() const override { return !m_bRegularFile; }
    // The descriptor's offset: both readers read through it, at most a buffer ahead of what they handed on.
    [[nodiscard]] std::uint64_t BytesRead() const override;

private:
    [[nodiscard]] bool IsFile() const override { return true; }
    bool OpenPcapng(std::FILE* stream, std::span<const std::uint8_t> start);
    bool OpenPcap(std::FILE* stream, std::span<const std::uint8_t> start);

    std::string m_strPath;
    std::FILE* m_pStream = nullptr; // given to the constructor, not yet opened
    bool m_bRegularFile = false;
    int m_nFd = -1; // a regular file's descriptor while it is open, for BytesRead
    std::unique_ptr<CPcapngReader> m_pPcapng;
    static constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20U;
    struct FreeBuffer {
        void operator()(char* buffer) const { std::free(buffer); }
    };
    std::unique_ptr<char, FreeBuffer> m_streamBuffer; // libpcap's stdio buffer
};

} // namespace flowsentry
