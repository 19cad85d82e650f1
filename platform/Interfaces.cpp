// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Interfaces.h"

#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

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

std::optional<std::string> InterfaceOfAddress(Ipv4Address address) {
    for (const InterfaceAddress& item : ListIpv4Addresses()) {
        if (item.m_dwAddress == address) {
            return item.m_strInterface;
        }
    }
    return std::nullopt;
}

} // namespace flowsentry
