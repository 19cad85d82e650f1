// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ListToText.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

namespace flowsentry {
namespace {

using test::Sample;

TEST(ListToText, RendersRowsTopFirstWithTabsAndCarriageReturns) {
    const test::ScopedUtc utc;
    CTrafficTable table;
    CRowStore rows;
    EXPECT_EQ(ListToText(rows), "");

    table.AddSample(Sample("192.168.1.1", "192.168.1.10", 17, 60, 1'700'000'000), test::Ip("192.168.1.10"));
    rows.Apply(table.PullChanges());
    const std::string one = ListToText(rows);
    EXPECT_EQ(one, "192.168.1.10\t192.168.1.1\t0\t60\t60\t0\t1\t1\t22:13:20 11/14/2023\tUDP\t\r");
    EXPECT_EQ(std::count(one.begin(), one.end(), '\t'), 10);
    EXPECT_EQ(one.find('\n'), std::string::npos);

    table.AddSample(Sample("192.168.1.10", "10.0.0.7", 2, 40, 1'700'000'001), test::Ip("192.168.1.10"));
    rows.Apply(table.PullChanges());
    EXPECT_EQ(ListToText(rows),
              "192.168.1.10\t10.0.0.7\t40\t0\t40\t1\t0\t1\t22:13:21 11/14/2023\tProto:2\t\r"
              "192.168.1.10\t192.168.1.1\t0\t60\t60\t0\t1\t1\t22:13:20 11/14/2023\tUDP\t\r");

    // IPv6 rows among them, oriented toward an IPv6 local address.
    const IpAddress local6(test::Ip6("fd00:f5::1"));
    table.AddSample(test::Sample6("fd00:f5::2", "fd00:f5::1", 58, 104, 1'700'000'002), local6);
    table.AddSample(test::Sample6("fd00:f5::1", "fd00:f5::2", 58, 104, 1'700'000'003), local6);
    rows.Apply(table.PullChanges());
    EXPECT_EQ(ListToText(rows),
              "fd00:f5::1\tfd00:f5::2\t104\t104\t208\t1\t1\t2\t22:13:23 11/14/2023\tICMPv6\t\r"
              "192.168.1.10\t10.0.0.7\t40\t0\t40\t1\t0\t1\t22:13:21 11/14/2023\tProto:2\t\r"
              "192.168.1.10\t192.168.1.1\t0\t60\t60\t0\t1\t1\t22:13:20 11/14/2023\tUDP\t\r");
}

} // namespace
} // namespace flowsentry
