// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/PacketSource.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace flowsentry {

// A pcap or pcapng file, read with libpcap's offline reader.
class CFileSource final : public CPacketSource {
public:
    explicit CFileSource(std::string path) : m_strPath(std::move(path)) {}
    // An already open stream (a pipe, memory); libpcap takes it over and closes it. `name` is for messages.
    CFileSource(std::string name, std::FILE* stream) : m_strPath(std::move(name)), m_pStream(stream) {}
    ~CFileSource() override;
    bool Open() override;
    [[nodiscard]] std::string Describe() const override { return m_strPath; }
    // Only a regular file is read without waiting for a writer; a pipe or a FIFO may pause at any time.
    [[nodiscard]] bool ReadsMayWait() const override { return !m_bRegularFile; }

private:
    [[nodiscard]] bool IsFile() const override { return true; }
    std::string m_strPath;
    std::FILE* m_pStream = nullptr; // not yet handed to libpcap
    bool m_bRegularFile = false;
    static constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20U;
    struct FreeBuffer {
        void operator()(char* buffer) const { std::free(buffer); }
    };
    std::unique_ptr<char, FreeBuffer> m_streamBuffer;
};

} // namespace flowsentry
