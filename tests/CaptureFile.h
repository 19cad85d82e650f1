// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <pcap/pcap.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace flowsentry::test {

// A path in the temporary folder, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : m_path(std::filesystem::temp_directory_path() /
                 ("flowsentry-" + std::to_string(getpid()) + "-" + name)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    [[nodiscard]] std::string Path() const { return m_path.string(); }

    void WriteBytes(const std::vector<std::uint8_t>& bytes) const {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    [[nodiscard]] std::vector<std::uint8_t> ReadBytes() const {
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path m_path;
};

struct Record {
    std::vector<std::uint8_t> m_frame;
    std::uint32_t m_nWireLength = 0; // 0: the frame's own size
    std::int64_t m_tSeconds = 0;
};

// Writes frames with libpcap's own writer, so that the reader is checked against a writer we did not write.
inline void WritePcap(const std::string& path, int linkType, const std::vector<Record>& records) {
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (const Record& r : records) {
        pcap_pkthdr header{};
        header.ts.tv_sec = r.m_tSeconds;
        header.caplen = static_cast<bpf_u_int32>(r.m_frame.size());
        header.len = r.m_nWireLength != 0 ? r.m_nWireLength : header.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, r.m_frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

} // namespace flowsentry::test
