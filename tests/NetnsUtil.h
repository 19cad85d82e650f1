// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Network namespaces for live capture tests: two namespaces joined by a veth pair, 10.250.0.1 (ours, in
// namespace A) and 10.250.0.2 (namespace B). Traffic is sent only between them. Needs root.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace flowsentry::test {

constexpr const char* kLocal = "10.250.0.1";
constexpr const char* kPeer = "10.250.0.2";
// A unique local range, used inside the namespaces only.
constexpr const char* kLocal6 = "fd00:f5::1";
constexpr const char* kPeer6 = "fd00:f5::2";

inline bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline sockaddr_in6 Endpoint6(const char* address, std::uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &a.sin6_addr);
    return a;
}

inline sockaddr_in Endpoint(const char* address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// The namespaces and the pair, removed again whatever happens in the test.
class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "live capture tests create network namespaces and need root";
        }
        const std::string id = std::to_string(getpid());
        m_strA = "fs-test-a-" + id;
        m_strB = "fs-test-b-" + id;
        m_strDevice = "fsa" + id;
        m_strPeerDevice = "fsb" + id;
        m_bCreated = true;
        ASSERT_TRUE(Shell("ip netns add " + m_strA) && Shell("ip netns add " + m_strB) &&
                    Shell("ip link add " + m_strDevice + " netns " + m_strA + " type veth peer name " +
                          m_strPeerDevice + " netns " + m_strB) &&
                    Shell("ip -n " + m_strA + " addr add " + kLocal + "/24 dev " + m_strDevice) &&
                    Shell("ip -n " + m_strB + " addr add " + kPeer + "/24 dev " + m_strPeerDevice) &&
                    Shell("ip -n " + m_strA + " link set " + m_strDevice + " up") &&
                    Shell("ip -n " + m_strB + " link set " + m_strPeerDevice + " up"))
            << "could not set up the namespaces (iproute2 and veth support are needed)";
    }
    void TearDown() override {
        if (m_bCreated) {
            Shell("ip netns del " + m_strA);
            Shell("ip netns del " + m_strB);
        }
    }

    // Gives both ends their IPv6 addresses (kLocal6, kPeer6), usable at once: duplicate address detection
    // is off on the pair, which would otherwise hold the addresses back for a second or more.
    [[nodiscard]] bool AddIpv6() const {
        return Shell("ip netns exec " + m_strA + " sysctl -w net.ipv6.conf." + m_strDevice +
                     ".accept_dad=0") &&
               Shell("ip netns exec " + m_strB + " sysctl -w net.ipv6.conf." + m_strPeerDevice +
                     ".accept_dad=0") &&
               Shell("ip -n " + m_strA + " addr add " + kLocal6 + "/64 dev " + m_strDevice + " nodad") &&
               Shell("ip -n " + m_strB + " addr add " + kPeer6 + "/64 dev " + m_strPeerDevice + " nodad");
    }

    // Turns the offloads that make a veth pair carry super-packets on or off at both ends: TSO and GSO let
    // the sender hand over unsegmented TCP (veth passes it across as it is), GRO (off on veth until asked
    // for) coalesces what arrives. With all three off, a packet socket sees the segments the wire carries.
    // Needs ethtool.
    [[nodiscard]] bool SetOffloads(bool on) const {
        const std::string features = on ? " tso on gso on gro on" : " tso off gso off gro off";
        return Shell("ip netns exec " + m_strA + " ethtool -K " + m_strDevice + features) &&
               Shell("ip netns exec " + m_strB + " ethtool -K " + m_strPeerDevice + features);
    }

    // Runs `work` on a thread inside the namespace: sockets it opens and threads it starts stay there.
    static void In(const std::string& name, const std::function<void()>& work) {
        std::thread thread([&] {
            const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
            close(fd);
            work();
        });
        thread.join();
    }

    static int SocketIn(const std::string& name, int domain, int type, int protocol) {
        int fd = -1;
        In(name, [&] { fd = socket(domain, type, protocol); });
        return fd;
    }

    std::string m_strA;
    std::string m_strB;
    std::string m_strDevice;
    std::string m_strPeerDevice;
    bool m_bCreated = false;
};

} // namespace flowsentry::test
