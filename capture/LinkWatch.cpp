// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/LinkWatch.h"

#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flowsentry {

namespace {

// Larger than any one link message (they grow with the interface's attributes): a message cut short is
// lost, and the state is asked for again.
constexpr std::size_t kReceiveBytes = 64 * 1024;

LinkState StateOfFlags(unsigned flags) {
    if ((flags & IFF_UP) == 0) {
        return LinkState::Down;
    }
    // IFF_RUNNING is the kernel's operational state: up (or unknown, for devices that do not report one).
    return (flags & IFF_RUNNING) == 0 ? LinkState::NoCarrier : LinkState::Up;
}

} // namespace

CLinkWatch::~CLinkWatch() {
    if (m_nFd >= 0) {
        close(m_nFd);
    }
}

bool CLinkWatch::Open(int packetSocket) {
    sockaddr_ll bound{};
    socklen_t length = sizeof bound;
    if (getsockname(packetSocket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return false;
    }
    m_nIndex = bound.sll_ifindex;
    m_buffer.resize(kReceiveBytes);
    m_nFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_nFd < 0) {
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    // Subscribed before the state is asked for, so that no change falls between the two.
    if (bind(m_nFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || !RequestState()) {
        const int error = errno;
        close(m_nFd);
        m_nFd = -1;
        errno = error;
        return false;
    }
    return true;
}

bool CLinkWatch::RequestState() {
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++m_nSequence;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = m_nIndex;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return sendto(m_nFd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                  sizeof kernel) == static_cast<ssize_t>(sizeof request);
}

void CLinkWatch::Read() {
    while (m_nFd >= 0 && !m_bGone) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(m_nFd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // ENOBUFS: the kernel dropped messages for us (a burst of changes on many interfaces).
            if (errno == ENOBUFS) {
                (void)RequestState();
                continue;
            }
            return; // EAGAIN: all taken
        }
        if (static_cast<std::size_t>(n) > m_buffer.size()) {
            (void)RequestState();
            continue;
        }
        // Only the kernel speaks for the interfaces.
        if (from.nl_pid == 0) {
            Take(m_buffer.data(), static_cast<std::size_t>(n));
        }
    }
}

void CLinkWatch::Take(const unsigned char* bytes, std::size_t length) {
    auto left = static_cast<unsigned>(length);
    for (const auto* message = reinterpret_cast<const nlmsghdr*>(bytes); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
        if (message->nlmsg_type == NLMSG_ERROR && message->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            // Our question about an interface that no longer exists.
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
            if (message->nlmsg_seq == m_nSequence && error->error == -ENODEV) {
                m_bGone = true;
            }
            continue;
        }
        if ((message->nlmsg_type != RTM_NEWLINK && message->nlmsg_type != RTM_DELLINK) ||
            message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            continue;
        }
        // Bridges send messages of their own family about their ports (a port leaving a bridge is a
        // RTM_DELLINK of AF_BRIDGE); only the interface's own messages count.
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
        if (link->ifi_family != AF_UNSPEC || link->ifi_index != m_nIndex) {
            continue;
        }
        if (message->nlmsg_type == RTM_DELLINK) {
            m_bGone = true;
        } else {
            m_state = StateOfFlags(link->ifi_flags);
        }
    }
}

} // namespace flowsentry
