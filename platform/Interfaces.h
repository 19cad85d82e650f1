// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry {

// One address of this machine and the interface that owns it.
struct InterfaceAddress {
    std::string m_strInterface; // "eth0"
    IpAddress m_address;

    // The address as the user gives it back: a link-local IPv6 address with its scope ("fe80::1%eth0"),
    // since it means nothing without its interface.
    [[nodiscard]] std::string Text() const;

    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

// Whether an IPv6 address is link-local (fe80::/10).
bool IsLinkLocal(const Ipv6Address& address);

// An address as a user writes it: IPv4, or IPv6 with an optional zone ("fe80::1%eth0"), which goes to
// `scope`.
std::optional<IpAddress> AddressFromText(std::string_view text, std::string* scope = nullptr);

// The machine's addresses (getifaddrs): the IPv4 ones, then the IPv6 ones, each in the order the system
// lists them. On failure the list is empty and `error`, when given, holds the system's text.
std::vector<InterfaceAddress> ListAddresses(std::string* error = nullptr);

// What a capture needs to know of the address it is given: which interface owns it, or why it cannot be
// used. One check for every front end, so that they all refuse the same addresses in the same words.
struct LocalAddressLookup {
    enum class Outcome {
        Found,
        NotAnAddress, // the text is no IPv4 or IPv6 address
        NotOurs,      // no interface of this machine has it
        CannotList,   // the machine's addresses could not be read; m_strError says why
    };
    Outcome m_outcome = Outcome::NotAnAddress;
    IpAddress m_address;
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
