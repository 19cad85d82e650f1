// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Interfaces.h"

#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flowsentry {

bool IsLinkLocal(const Ipv6Address& address) {
    return address[0] == 0xFE && (address[1] & 0xC0U) == 0x80;
}

std::string InterfaceAddress::Text() const {
    std::string text = IpToText(m_address);
    if (m_address.m_family == IpFamily::Ipv6 && IsLinkLocal(m_address.m_v6)) {
        text += "%" + m_strInterface;
    }
    return text;
}

std::optional<IpAddress> AddressFromText(std::string_view text, std::string* scope) {
    const std::size_t percent = text.find('%');
    if (percent != std::string_view::npos) {
        const std::string_view zone = text.substr(percent + 1);
        const auto v6 = Ipv6FromText(text.substr(0, percent));
        if (!v6 || zone.empty()) {
            return std::nullopt;
        }
        if (scope != nullptr) {
            *scope = zone;
        }
        return IpAddress(*v6);
    }
    return IpFromText(text);
}

std::vector<InterfaceAddress> ListAddresses(std::string* error) {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        if (error != nullptr) {
            *error = SystemErrorText(errno);
        }
        return result;
    }
    for (const int family : {AF_INET, AF_INET6}) {
        for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
            if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != family) {
                continue;
            }
            if (family == AF_INET) {
                sockaddr_in address{};
                std::memcpy(&address, item->ifa_addr, sizeof address);
                result.push_back(InterfaceAddress{item->ifa_name, IpAddress(ntohl(address.sin_addr.s_addr))});
            } else {
                sockaddr_in6 address{};
                std::memcpy(&address, item->ifa_addr, sizeof address);
                Ipv6Address bytes{};
                std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
                result.push_back(InterfaceAddress{item->ifa_name, IpAddress(bytes)});
            }
        }
    }
    freeifaddrs(list);
    return result;
}

LocalAddressLookup LookUpLocalAddress(std::string_view text) {
    LocalAddressLookup lookup;
    std::string scope;
    const auto address = AddressFromText(text, &scope);
    if (!address) {
        return lookup;
    }
    lookup.m_address = *address;
    lookup.m_addresses = ListAddresses(&lookup.m_strError);
    if (!lookup.m_strError.empty()) {
        lookup.m_outcome = LocalAddressLookup::Outcome::CannotList;
        return lookup;
    }
    lookup.m_outcome = LocalAddressLookup::Outcome::NotOurs;
    for (const InterfaceAddress& item : lookup.m_addresses) {
        // A link-local address may sit on several interfaces; its zone says which one is meant.
        if (item.m_address == *address && (scope.empty() || scope == item.m_strInterface)) {
            lookup.m_outcome = LocalAddressLookup::Outcome::Found;
            lookup.m_strInterface = item.m_strInterface;
            break;
        }
    }
    return lookup;
}

std::string LocalAddressLookup::Problem() const {
    switch (m_outcome) {
    case Outcome::Found:
        return {};
    case Outcome::NotAnAddress:
        return "not an IP address";
    case Outcome::NotOurs:
        return "not an address of this machine";
    case Outcome::CannotList:
        return "cannot list the machine's addresses: " + m_strError;
    }
    return {};
}

std::optional<std::uint32_t> InterfaceMtu(const std::string& name) {
    ifreq request{};
    if (name.empty() || name.size() >= sizeof request.ifr_name) {
        return std::nullopt;
    }
    std::memcpy(request.ifr_name, name.data(), name.size());
    // Any socket will do for the question; this one needs no privilege.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    const bool ok = ioctl(fd, SIOCGIFMTU, &request) == 0 && request.ifr_mtu > 0;
    close(fd);
    if (!ok) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(request.ifr_mtu);
}

} // namespace flowsentry
