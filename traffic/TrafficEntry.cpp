// SPDX-License-Identifier: GPL-3.0-or-later
#include "traffic/TrafficEntry.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstring>
#include <ctime>

namespace flowsentry {

Ipv4Address Ipv4FromOctets(std::uint8_t o1, std::uint8_t o2, std::uint8_t o3, std::uint8_t o4) {
    return (Ipv4Address{o1} << 24U) | (Ipv4Address{o2} << 16U) | (Ipv4Address{o3} << 8U) | Ipv4Address{o4};
}

std::string Ipv4ToText(Ipv4Address address) {
    char buf[16];
    char* out = buf;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out = std::to_chars(out, buf + sizeof buf, (address >> shift) & 0xFFU).ptr;
        if (shift != 0) {
            *out++ = '.';
        }
    }
    return {buf, out};
}

std::optional<Ipv4Address> Ipv4FromText(std::string_view text) {
    Ipv4Address address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i != 0) {
            if (p == end || *p != '.') {
                return std::nullopt;
            }
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') {
            return std::nullopt;
        }
        unsigned octet = 0;
        const char* start = p;
        auto [next, ec] = std::from_chars(p, end, octet);
        if (ec != std::errc{} || octet > 255 || next - start > 3) {
            return std::nullopt;
        }
        p = next;
        address = (address << 8U) | octet;
    }
    if (p != end) {
        return std::nullopt;
    }
    return address;
}

std::string Ipv6ToText(const Ipv6Address& a) {
    char buf[kMaxIpv6Text];
    return {buf, WriteIpv6Text(buf, a)};
}

char* WriteIpv6Text(char* out, const Ipv6Address& a) {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < 8; ++i) {
        groups[i] = (unsigned{a[2 * i]} << 8U) | a[2 * i + 1];
    }
    // The longest run of zero groups; a single zero group is written as 0 (RFC 5952, 4.2.2).
    std::size_t bestStart = 8;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    const bool mapped = bestStart == 0 && bestLength == 5 && groups[5] == 0xFFFFU;
    char* const start = out;
    const std::size_t hexGroups = mapped ? 6 : 8;
    for (std::size_t i = 0; i < hexGroups; ++i) {
        if (i == bestStart) {
            *out++ = ':';
            *out++ = ':';
            i += bestLength - 1;
            continue;
        }
        if (out != start && out[-1] != ':') {
            *out++ = ':';
        }
        out = std::to_chars(out, out + 4, groups[i], 16).ptr;
    }
    if (mapped) {
        *out++ = ':';
        for (std::size_t i = 12; i < 16; ++i) {
            out = std::to_chars(out, out + 3, a[i]).ptr;
            if (i != 15) {
                *out++ = '.';
            }
        }
    }
    return out;
}

std::optional<Ipv6Address> Ipv6FromText(std::string_view text) {
    if (text.size() >= INET6_ADDRSTRLEN) {
        return std::nullopt;
    }
    const std::string copy(text);
    Ipv6Address address{};
    if (inet_pton(AF_INET6, copy.c_str(), address.data()) != 1) {
        return std::nullopt;
    }
    return address;
}

std::string IpToText(const IpAddress& address) {
    switch (address.m_family) {
    case IpFamily::Ipv6:
        return Ipv6ToText(address.m_v6);
    case IpFamily::Other:
        return std::string(kOtherAddressText);
    default:
        return Ipv4ToText(address.m_dwV4);
    }
}

std::optional<IpAddress> IpFromText(std::string_view text) {
    if (const auto v4 = Ipv4FromText(text)) {
        return IpAddress(*v4);
    }
    if (const auto v6 = Ipv6FromText(text)) {
        return IpAddress(*v6);
    }
    return std::nullopt;
}

std::uint32_t EntryId(Ipv4Address src, Ipv4Address dest, std::uint8_t proto) {
    // Reversing the bytes turns "first octet most significant" into "first octet least significant".
    return __builtin_bswap32(src) ^ __builtin_bswap32(dest) ^ std::uint32_t{proto};
}

std::uint32_t EntryId6(const Ipv6Address& src, const Ipv6Address& dest, std::uint8_t proto) {
    std::uint32_t id = proto;
    for (std::size_t i = 0; i < 16; i += 4) {
        std::uint32_t s = 0;
        std::uint32_t d = 0;
        std::memcpy(&s, src.data() + i, 4);
        std::memcpy(&d, dest.data() + i, 4);
        id ^= s ^ d;
    }
    return id;
}

std::uint32_t CTrafficEntry::MakeEntryId(Ipv4Address src, Ipv4Address dest, std::uint8_t proto) {
    m_dwSrcAddress = src;
    m_dwDestAddress = dest;
    m_nProto = proto;
    m_dwEntryId = EntryId(src, dest, proto);
    return m_dwEntryId;
}

std::string ProtocolText(std::uint8_t proto) {
    switch (proto) {
    case 6:
        return "TCP";
    case 17:
        return "UDP";
    case 1:
        return "ICMP";
    case 58:
        return "ICMPv6";
    default:
        return "Proto:" + std::to_string(proto);
    }
}

std::string DateTimeText(std::int64_t secondsSinceEpoch) {
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%H:%M:%S %m/%d/%Y", &local);
    return {buf, n};
}

} // namespace flowsentry
