// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Interfaces.h"

#include "TestUtil.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace flowsentry {
namespace {

// Addresses as users write them: a link-local IPv6 address needs its zone to name one interface.
TEST(Interfaces, AddressTexts) {
    std::string scope;
    EXPECT_EQ(AddressFromText("fe80::1%eth0", &scope), IpAddress(test::Ip6("fe80::1")));
    EXPECT_EQ(scope, "eth0");
    EXPECT_EQ(AddressFromText("fd00:f5::1"), IpAddress(test::Ip6("fd00:f5::1")));
    EXPECT_EQ(AddressFromText("10.0.0.1"), IpAddress(test::Ip("10.0.0.1")));
    for (const char* bad : {"10.0.0.1%eth0", "fe80::1%", "%eth0", "fe80::g", "localhost"}) {
        EXPECT_FALSE(AddressFromText(bad).has_value()) << bad;
    }
    EXPECT_EQ((InterfaceAddress{"eth0", IpAddress(test::Ip6("fe80::1"))}).Text(), "fe80::1%eth0");
    EXPECT_EQ((InterfaceAddress{"eth0", IpAddress(test::Ip6("febf::1"))}).Text(), "febf::1%eth0");
    EXPECT_EQ((InterfaceAddress{"eth0", IpAddress(test::Ip6("fec0::1"))}).Text(), "fec0::1");
    EXPECT_EQ((InterfaceAddress{"lo", IpAddress(test::Ip("127.0.0.1"))}).Text(), "127.0.0.1");
}

// The machine's own list, on the loopback interface every machine has: IPv4 first, then IPv6.
TEST(Interfaces, ListsIpv4ThenIpv6AndFindsEither) {
    std::string error;
    const std::vector<InterfaceAddress> all = ListAddresses(&error);
    ASSERT_TRUE(error.empty()) << error;
    const auto firstV6 = std::find_if(all.begin(), all.end(), [](const InterfaceAddress& a) {
        return a.m_address.m_family == IpFamily::Ipv6;
    });
    EXPECT_TRUE(std::all_of(firstV6, all.end(), [](const InterfaceAddress& a) {
        return a.m_address.m_family == IpFamily::Ipv6;
    }));

    const LocalAddressLookup v4 = LookUpLocalAddress("127.0.0.1");
    EXPECT_EQ(v4.m_outcome, LocalAddressLookup::Outcome::Found);
    EXPECT_EQ(v4.m_strInterface, "lo");
    if (std::find(all.begin(), all.end(), InterfaceAddress{"lo", IpAddress(test::Ip6("::1"))}) == all.end()) {
        GTEST_SKIP() << "IPv6 is off on lo";
    }
    const LocalAddressLookup v6 = LookUpLocalAddress("0:0::1");
    EXPECT_EQ(v6.m_outcome, LocalAddressLookup::Outcome::Found);
    EXPECT_EQ(v6.m_strInterface, "lo");
    EXPECT_EQ(v6.m_address, IpAddress(test::Ip6("::1")));
    // The zone must name the interface that has the address.
    EXPECT_EQ(LookUpLocalAddress("::1%lo").m_outcome, LocalAddressLookup::Outcome::Found);
    EXPECT_EQ(LookUpLocalAddress("::1%no-such-if").m_outcome, LocalAddressLookup::Outcome::NotOurs);
    EXPECT_EQ(LookUpLocalAddress("2001:db8::77").Problem(), "not an address of this machine");
    EXPECT_EQ(LookUpLocalAddress("::1::").Problem(), "not an IP address");
}

} // namespace
} // namespace flowsentry
