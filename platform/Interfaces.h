// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flowsentry {

// One IPv4 address of this machine and the interface that owns it.
struct InterfaceAddress {
    std::string m_strInterface; // "eth0"
    Ipv4Address m_dwAddress = 0;

    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

// The machine's IPv4 addresses in the order the system lists them (getifaddrs). On failure the list is
// empty and `error`, when given, holds the system's text.
std::vector<InterfaceAddress> ListIpv4Addresses(std::string* error = nullptr);

// The interface that owns `address`, if any.
std::optional<std::string> InterfaceOfAddress(Ipv4Address address);

// The MTU of an interface (SIOCGIFMTU), if it can be read.
std::optional<std::uint32_t> InterfaceMtu(const std::string& name);

} // namespace flowsentry
