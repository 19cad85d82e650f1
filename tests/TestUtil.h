// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace flowsentry::test {

// "45 00 00 1c" -> bytes; spaces and line breaks are ignored.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int pending = -1;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            continue;
        }
        int v = 0;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            throw std::invalid_argument("not a hex digit");
        }
        if (pending < 0) {
            pending = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(pending * 16 + v));
            pending = -1;
        }
    }
    if (pending >= 0) {
        throw std::invalid_argument("odd number of hex digits");
    }
    return bytes;
}

inline Ipv4Address Ip(std::string_view text) {
    const auto address = Ipv4FromText(text);
    if (!address) {
        throw std::invalid_argument("bad address in test");
    }
    return *address;
}

inline Ipv6Address Ip6(std::string_view text) {
    const auto address = Ipv6FromText(text);
    if (!address) {
        throw std::invalid_argument("bad address in test");
    }
    return *address;
}

// An IPv6 sample, as Sample() below.
inline CTrafficEntry Sample6(std::string_view src, std::string_view dest, std::uint8_t proto,
                             std::uint64_t bytes, std::int64_t time = 0) {
    CTrafficEntry sample;
    sample.m_family = IpFamily::Ipv6;
    sample.m_src6 = Ip6(src);
    sample.m_dest6 = Ip6(dest);
    sample.m_nProto = proto;
    sample.m_nSendData = bytes;
    sample.m_nSendPackets = 1;
    sample.m_tLastUpdate = time;
    return sample;
}

// A 40-byte IPv6 header with the given next header, payload length and addresses, then `rest`.
inline std::vector<std::uint8_t> Datagram6(std::string_view src, std::string_view dest, std::uint8_t next,
                                           std::uint16_t payload,
                                           const std::vector<std::uint8_t>& rest = {}) {
    std::vector<std::uint8_t> d(40, 0);
    d[0] = 0x60;
    d[4] = static_cast<std::uint8_t>(payload >> 8U);
    d[5] = static_cast<std::uint8_t>(payload & 0xFFU);
    d[6] = next;
    d[7] = 64;
    const Ipv6Address s = Ip6(src);
    const Ipv6Address t = Ip6(dest);
    std::copy(s.begin(), s.end(), d.begin() + 8);
    std::copy(t.begin(), t.end(), d.begin() + 24);
    d.insert(d.end(), rest.begin(), rest.end());
    return d;
}

// A sample: one datagram of `bytes` bytes from src to dest.
inline CTrafficEntry Sample(std::string_view src, std::string_view dest, std::uint8_t proto,
                            std::uint64_t bytes, std::int64_t time = 0) {
    CTrafficEntry sample;
    sample.m_dwSrcAddress = Ip(src);
    sample.m_dwDestAddress = Ip(dest);
    sample.m_nProto = proto;
    sample.m_nSendData = bytes;
    sample.m_nSendPackets = 1;
    sample.m_tLastUpdate = time;
    return sample;
}

// A 20-byte IPv4 header with the given protocol and addresses, padded with zeros to `size` bytes.
inline std::vector<std::uint8_t> Datagram(std::string_view src, std::string_view dest, std::uint8_t proto,
                                          std::size_t size = 20) {
    std::vector<std::uint8_t> d(size < 20 ? 20 : size, 0);
    d[0] = 0x45;
    d[2] = static_cast<std::uint8_t>(size >> 8U);
    d[3] = static_cast<std::uint8_t>(size & 0xFFU);
    d[9] = proto;
    const Ipv4Address s = Ip(src);
    const Ipv4Address t = Ip(dest);
    for (std::size_t i = 0; i < 4; ++i) {
        d[12 + i] = static_cast<std::uint8_t>(s >> (24 - 8 * i));
        d[16 + i] = static_cast<std::uint8_t>(t >> (24 - 8 * i));
    }
    d.resize(size);
    return d;
}

// Makes local time UTC (or `zone`) for the life of the object, so that time cells have one expected text.
class ScopedUtc {
public:
    // Another zone as TZ writes it ("CET-1" is UTC+1, "NST3:30" UTC-3:30).
    explicit ScopedUtc(const char* zone = "UTC") {
        if (const char* tz = std::getenv("TZ")) {
            m_bHadTz = true;
            m_strOldTz = tz;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ScopedUtc(const ScopedUtc&) = delete;
    ScopedUtc& operator=(const ScopedUtc&) = delete;
    ~ScopedUtc() {
        if (m_bHadTz) {
            setenv("TZ", m_strOldTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_bHadTz = false;
    std::string m_strOldTz;
};

// Limits the size of files this process writes, so that a write fails part way (EFBIG) as on a full
// disk, for root too. SIGXFSZ is ignored meanwhile so that the failure comes back as an error.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    ~ScopedFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    struct rlimit m_old {};
    void (*m_oldHandler)(int) = nullptr;
};

// A fresh folder of its own for the life of the object, removed with everything in it afterwards.
class ScopedTempDir {
public:
    explicit ScopedTempDir(const std::string& name)
        : m_path(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    ~ScopedTempDir() {
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The whole content of a file.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first name /etc/hosts gives `address` where the system looks there before DNS; empty otherwise.
inline std::string HostsName(const std::string& address) {
    std::ifstream nsswitch("/etc/nsswitch.conf");
    for (std::string line; std::getline(nsswitch, line);) {
        if (line.rfind("hosts:", 0) == 0) {
            const std::size_t files = line.find("files");
            const std::size_t dns = line.find("dns");
            if (files == std::string::npos || (dns != std::string::npos && dns < files)) {
                return {};
            }
        }
    }
    std::ifstream hosts("/etc/hosts");
    for (std::string line; std::getline(hosts, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string ip;
        std::string name;
        if (words >> ip >> name && ip == address) {
            return name;
        }
    }
    return {};
}

} // namespace flowsentry::test
