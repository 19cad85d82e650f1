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

std::vector<InterfaceAddress> ListIpv4Addresses(std::string* error) {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        if (error != nullptr) {
            *error = SystemErrorText(errno);
        }
        return result;
    }
    for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, item->ifa_addr, sizeof address);
        result.push_back(InterfaceAddress{item->ifa_name, ntohl(address.sin_addr.s_addr)});
    }
    freeifaddrs(list);
    return result;
}

LocalAddressLookup LookUpLocalAddress(std::string_view text) {
    LocalAddressLookup lookup;
    const auto address = Ipv4FromText(text);
    if (!address) {
        return lookup;
    }
    lookup.m_dwAddress = *address;
    lookup.m_addresses = ListIpv4Addresses(&lookup.m_strError);
    if (!lookup.m_strError.empty()) {
        lookup.m_outcome = LocalAddressLookup::Outcome::CannotList;
        return lookup;
    }
    lookup.m_outcome = LocalAddressLookup::Outcome::NotOurs;
    for (const InterfaceAddress& item : lookup.m_addresses) {
        if (item.m_dwAddress == *address) {
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
        return "not an IPv4 address";
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
