// SPDX-License-Identifier: GPL-3.0-or-later
// How the parent copes with a capture helper that cannot start, fails, dies or talks nonsense: one clear
// failure, the counts up to it kept, nothing left running and nothing left unreaped.
#include "capture/HelperSource.h"

#include "SnifferTestUtil.h"
#include "TestUtil.h"
#include "capture/Sniffer.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace flowsentry {
namespace {

using namespace std::chrono_literals;

// Whether this process has a child, running or not yet reaped.
bool HasChildren() {
    return !(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

TEST(HelperSource, AFailingHelperEndsTheCaptureWithOneClearMessage) {
    const std::string fake = FLOWSENTRY_FAKE_HELPER;
    const test::ScopedTempDir dir("helper-source");
    const std::string notExecutable = (dir.Path() / "flowsentry-capture").string();
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    chmod(notExecutable.c_str(), 0644);

    struct Case {
        const char* mode;
        std::string helper;
        int code;              // kErrorOpen: nothing was ever counted; kErrorRead: it broke off
        std::string says;      // a piece of the message
        std::uint64_t counted; // packets in the table afterwards
    };
    const Case cases[] = {
        {"garbage", fake, kErrorOpen,
         "garbage: the capture helper sent data that Flowsentry does not understand: "
         "it does not begin as a capture stream (wrong magic)",
         0},
        {"version", fake, kErrorOpen,
         "it speaks version 99 of the capture stream, this program " + std::to_string(kStreamVersion), 0},
        {"permission", fake, kErrorOpen, "permission: You don't have permission to capture on that device",
         0},
        {"silent", fake, kErrorOpen, "ended before it opened the capture (it exited with status 3)", 0},
        {"x", "/nonexistent/flowsentry-capture", kErrorOpen,
         "cannot start the capture helper /nonexistent/flowsentry-capture: No such file or directory.\n\n"
         "Capturing needs the capture helper, and it is not installed",
         0},
        {"x", notExecutable, kErrorOpen,
         "cannot start the capture helper " + notExecutable + ": Permission denied", 0},
        {"crash", fake, kErrorRead,
         "fake0 (crash): the capture helper ended unexpectedly (it was killed by signal 9 (SIGKILL))", 1000},
        {"cut", fake, kErrorRead, "ended unexpectedly in the middle of a record (it exited with status 0)",
         1000},
        {"bad-record", fake, kErrorRead, "does not understand: it holds a record of unknown type 77", 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.helper);
        CTrafficTable table;
        CSniffer sniffer;
        sniffer.Initialize(&table);
        const test::FailureLog log(sniffer);
        ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CHelperSource>(c.mode, c.helper), std::nullopt));
        ASSERT_TRUE(sniffer.WaitUntilEnded(10s)); // a hang guard
        sniffer.StopSniffing();
        EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Failed);
        EXPECT_EQ(sniffer.GetErrorCode(), c.code);
        const auto failures = log.Texts();
        ASSERT_EQ(failures.size(), 1U);
        EXPECT_NE(failures[0].find(c.says), std::string::npos) << failures[0];
        std::uint64_t packets = 0;
        for (const CTrafficEntry& e : table.Snapshot()) {
            packets += e.m_nSendPackets + e.m_nRcvPackets;
        }
        EXPECT_EQ(packets, c.counted);
        EXPECT_FALSE(HasChildren());
    }
}

// Every change the helper reports reaches the sniffer's callback, even when several come at once, and the
// capture goes on across them.
TEST(HelperSource, EachLinkChangeIsPassedOnAndTheCaptureGoesOn) {
    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    std::mutex mutex;
    std::vector<std::pair<LinkState, std::string>> changes;
    sniffer.SetLinkCallback([&](LinkState state, const std::string& where) {
        const std::lock_guard lock(mutex);
        changes.emplace_back(state, where);
    });
    ASSERT_TRUE(
        sniffer.StartSniffing(std::make_unique<CHelperSource>("link", FLOWSENTRY_FAKE_HELPER), std::nullopt));
    for (int i = 0; i < 2500 && sniffer.Stats().m_counters.m_nCounted < 2000; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(sniffer.Stats().m_counters.m_nCounted, 2000U);
    EXPECT_TRUE(sniffer.IsRunning()) << sniffer.GetErrorText();
    EXPECT_EQ(sniffer.Link(), LinkState::Up);
    sniffer.StopSniffing();
    const std::lock_guard lock(mutex);
    const std::vector<std::pair<LinkState, std::string>> expected = {{LinkState::Down, "fake0 (link)"},
                                                                     {LinkState::NoCarrier, "fake0 (link)"},
                                                                     {LinkState::Up, "fake0 (link)"}};
    EXPECT_EQ(changes, expected);
}

TEST(HelperSource, StopEndsAHelperThatIgnoresIt) {
    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    auto source = std::make_unique<CHelperSource>("stubborn", FLOWSENTRY_FAKE_HELPER);
    const CHelperSource* helper = source.get();
    ASSERT_TRUE(sniffer.StartSniffing(std::move(source), std::nullopt));
    for (int i = 0; i < 500 && sniffer.Stats().m_counters.m_nCounted < 1000; ++i) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(sniffer.Stats().m_counters.m_nCounted, 1000U);
    ASSERT_GT(helper->HelperPid(), 0);
    const auto start = std::chrono::steady_clock::now();
    sniffer.StopSniffing();
    // It is killed after a grace time of one second; a hang guard, not a speed test.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Stopped);
    EXPECT_FALSE(HasChildren());
}

} // namespace
} // namespace flowsentry
