// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/AresResolver.h"

#include "TestUtil.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flowsentry {
namespace {

using namespace std::chrono_literals;

// A DNS server on loopback that takes the questions and never answers: a dead resolver, without a
// packet leaving the machine.
class SilentServer {
public:
    SilentServer() {
        m_nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_nFd < 0 || ::bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
        }
        m_nPort = ntohs(address.sin_port);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    ~SilentServer() { ::close(m_nFd); }

    [[nodiscard]] std::string Address() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    // Waits up to `timeout` for a question.
    [[nodiscard]] bool Asked(std::chrono::milliseconds timeout) const {
        pollfd fd{m_nFd, POLLIN, 0};
        return ::poll(&fd, 1, static_cast<int>(timeout.count())) == 1;
    }

private:
    int m_nFd = -1;
    unsigned m_nPort = 0;
};

class Answers {
public:
    CAresResolver::Handler Handler() {
        return [this](NameAnswer answer) {
            const std::lock_guard lock(m_mutex);
            m_answers.push_back(std::move(answer));
            m_changed.notify_all();
        };
    }
    // The answers once there are `count`, or what came within `timeout`.
    std::vector<NameAnswer> Wait(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return m_answers.size() >= count; });
        return m_answers;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<NameAnswer> m_answers;
};

// The real resolver: /etc/hosts names 127.0.0.1; an address that only the (silent) DNS server could
// name is answered with no name once c-ares' own time-outs are over.
TEST(AresResolver, NamesFromHostsAndNoNameWhenTheServerNeverAnswers) {
    const std::string name = test::HostsName("127.0.0.1");
    if (name.empty()) {
        GTEST_SKIP() << "/etc/hosts names no 127.0.0.1 ahead of DNS, and a test must not need a DNS server";
    }
    SilentServer server;
    Answers answers;
    CAresResolver resolver(answers.Handler(), {200, 1, server.Address()});
    ASSERT_EQ(resolver.Error(), "");
    const IpAddress loopback = *IpFromText("127.0.0.1");
    const IpAddress unnamed = *IpFromText("192.0.2.1");
    resolver.Ask(unnamed);
    resolver.Ask(loopback);
    EXPECT_TRUE(server.Asked(5000ms)) << "the question for 192.0.2.1 goes to the server named";
    const std::vector<NameAnswer> got = answers.Wait(2, 10s);
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[0].m_address, loopback) << "answered from /etc/hosts while the other waits";
    EXPECT_EQ(got[0].m_strName, name);
    EXPECT_EQ(got[1].m_address, unnamed);
    EXPECT_EQ(got[1].m_strName, "");
}

// A look-up that hangs does not hold the end: the resolver goes at once, and nothing answers after.
TEST(AresResolver, EndsWithoutWaitingForALookUpThatHangs) {
    SilentServer server;
    Answers answers;
    auto resolver = std::make_unique<CAresResolver>(answers.Handler(),
                                                    CAresResolver::Settings{30000, 3, server.Address()});
    resolver->Ask(*IpFromText("192.0.2.2"));
    ASSERT_TRUE(server.Asked(5000ms));
    const auto start = std::chrono::steady_clock::now();
    resolver.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "a 30 s look-up was waited for";
    EXPECT_TRUE(answers.Wait(1, 0ms).empty());
}

} // namespace
} // namespace flowsentry
