#pragma once

#include "capture/PacketSource.h"

#include <cstdio>
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

private:
    [[nodiscard]] bool IsFile() const override { return true; }
    std::string m_strPath;
    std::FILE* m_pStream = nullptr; // not yet handed to libpcap
    static constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20U;
    std::unique_ptr<char[]> m_streamBuffer;
};

} // namespace flowsentry
