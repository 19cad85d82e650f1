// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/AresResolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace flowsentry {
namespace {

struct Query {
    CAresResolver::Handler* m_pHandler;
    const std::atomic<bool>* m_pStop;
    IpAddress m_address;
};

void OnNameInfo(void* arg, int status, int /*timeouts*/, char* node, char* /*service*/) {
    const std::unique_ptr<Query> query(static_cast<Query*>(arg));
    // Cancelled at the end: the cache that asked is going away.
    if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED || query->m_pStop->load()) {
        return;
    }
    NameAnswer answer{query->m_address, {}};
    if (status == ARES_SUCCESS && node != nullptr) {
        answer.m_strName = node;
    }
    (*query->m_pHandler)(std::move(answer));
}

} // namespace

CAresResolver::CAresResolver(Handler handler, Settings settings) : m_handler(std::move(handler)) {
    static const int libraryStatus = ares_library_init(ARES_LIB_INIT_ALL);
    ares_channel channel = nullptr;
    int status = libraryStatus;
    if (status == ARES_SUCCESS) {
        ares_options options{};
        options.timeout = settings.m_nTimeoutMs;
        options.tries = settings.m_nTries;
        status = ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
        if (status == ARES_SUCCESS && !settings.m_strServers.empty()) {
            status = ares_set_servers_ports_csv(channel, settings.m_strServers.c_str());
            if (status != ARES_SUCCESS) {
                ares_destroy(channel);
            }
        }
    }
    if (status != ARES_SUCCESS) {
        m_strError = std::string("the name resolver cannot start: ") + ares_strerror(status);
        return;
    }
    m_nWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_nWakeFd < 0) {
        m_strError = std::string("the name resolver cannot start: ") + std::strerror(errno);
        ares_destroy(channel);
        return;
    }
    m_thread = std::thread([this, channel] { Run(channel); });
}

CAresResolver::~CAresResolver() {
    m_bStop = true;
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        (void)::write(m_nWakeFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_nWakeFd >= 0) {
        ::close(m_nWakeFd);
    }
}

void CAresResolver::Ask(const IpAddress& address) {
    if (!m_thread.joinable()) {
        return; // no resolver: the cache gives up on the look-up after a while, the address stays numeric
    }
    {
        const std::lock_guard lock(m_mutex);
        m_asked.push_back(address);
    }
    const std::uint64_t one = 1;
    (void)::write(m_nWakeFd, &one, sizeof one);
}

void CAresResolver::Run(void* channelPointer) {
    auto* channel = static_cast<ares_channel>(channelPointer);
    std::vector<IpAddress> asked;
    std::vector<pollfd> fds;
    while (!m_bStop) {
        {
            const std::lock_guard lock(m_mutex);
            asked.swap(m_asked);
        }
        for (const IpAddress& address : asked) {
            auto* query = new Query{&m_handler, &m_bStop, address};
            sockaddr_in v4{};
            sockaddr_in6 v6{};
            const sockaddr* where = nullptr;
            ares_socklen_t length = 0;
            if (address.m_family == IpFamily::Ipv6) {
                v6.sin6_family = AF_INET6;
                std::memcpy(&v6.sin6_addr, address.m_v6.data(), 16);
                where = reinterpret_cast<const sockaddr*>(&v6);
                length = sizeof v6;
            } else {
                v4.sin_family = AF_INET;
                v4.sin_addr.s_addr = htonl(address.m_dwV4);
                where = reinterpret_cast<const sockaddr*>(&v4);
                length = sizeof v4;
            }
            // NAMEREQD: no name is an answer of its own, not the address written as text.
            ares_getnameinfo(channel, where, length, ARES_NI_LOOKUPHOST | ARES_NI_NAMEREQD, OnNameInfo,
                             query);
        }
        asked.clear();

        std::array<ares_socket_t, ARES_GETSOCK_MAXNUM> sockets{};
        const int mask = ares_getsock(channel, sockets.data(), ARES_GETSOCK_MAXNUM);
        fds.clear();
        fds.push_back(pollfd{m_nWakeFd, POLLIN, 0});
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(mask, i)) {
                events |= POLLIN;
            }
            if (ARES_GETSOCK_WRITABLE(mask, i)) {
                events |= POLLOUT;
            }
            if (events != 0) {
                fds.push_back(pollfd{sockets[static_cast<std::size_t>(i)], events, 0});
            }
        }
        timeval wait{};
        const timeval* next = ares_timeout(channel, nullptr, &wait);
        const int timeoutMs =
            next == nullptr ? -1 : static_cast<int>(next->tv_sec * 1000 + next->tv_usec / 1000);
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)::read(m_nWakeFd, &count, sizeof count);
        }
        bool any = false;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            any = true;
            const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (fds[i].revents & POLLOUT) != 0;
            ares_process_fd(channel, readable ? fds[i].fd : ARES_SOCKET_BAD,
                            writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        if (!any) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // time-outs and retries
        }
    }
    // Look-ups still running are dropped without an answer (ARES_EDESTRUCTION), without waiting for them.
    ares_destroy(channel);
}

} // namespace flowsentry
