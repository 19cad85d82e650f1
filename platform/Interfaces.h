// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// What a capture needs to know of the address it is given: which interface owns it, or why it cannot be
// used. One check for every front end, so that they all refuse the same addresses in the same words.
struct LocalAddressLookup {
    enum class Outcome {
        Found,
        NotAnAddress, // the text is no IPv4 address
        NotOurs,      // no interface of this machine has it
        CannotList,   // the machine's addresses could not be read; m_strError says why
    };
    Outcome m_outcome = Outcome::NotAnAddress;
    Ipv4Address m_dwAddress = 0;
    std::string m_strInterface;
    std::vector<InterfaceAddress> m_addresses; // the machine's addresses, to offer instead
    std::string m_strError;

    // Why the address cannot be used, to follow the address and a colon; empty when it can.
    [[nodiscard]] std::string Problem() const;
};
LocalAddressLookup LookUpLocalAddress(std::string_view text);

// The MTU of an interface (SIOCGIFMTU), if it can be read.
std::optional<std::uint32_t> InterfaceMtu(const std::string& name);

} // namespace flowsentry
