// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/NameCache.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace flowsentry {
namespace {

using namespace std::chrono_literals;
using State = CNameCache::State;

// Records what it is asked; the test answers when and in what order it likes (or never).
class FakeResolver final : public IResolver {
public:
    void Ask(const IpAddress& address) override { m_asked.push_back(address); }
    [[nodiscard]] std::size_t Count(const IpAddress& address) const {
        return static_cast<std::size_t>(std::count(m_asked.begin(), m_asked.end(), address));
    }
    std::vector<IpAddress> m_asked;
};

IpAddress V4(std::string_view text) {
    return *IpFromText(text);
}

class NameCacheTest : public testing::Test {
protected:
    CNameCache::Settings Settings(std::size_t inFlight, std::size_t queued) {
        CNameCache::Settings settings;
        settings.m_nMaxInFlight = inFlight;
        settings.m_nMaxQueued = queued;
        return settings;
    }
    CNameCache::Clock Clock() {
        return [this] { return m_now; };
    }

    FakeResolver m_resolver;
    CNameCache::TimePoint m_now{std::chrono::hours(1000)};
};

// Hits and failures are both kept, each for its own time; asking again only once an entry expires, and a
// name being asked again stays shown until its answer comes.
TEST_F(NameCacheTest, AsksEachAddressOnceWhileItsAnswerIsFresh) {
    CNameCache cache(m_resolver, Settings(4, 100), Clock());
    const IpAddress named = V4("192.0.2.1");
    const IpAddress nameless = *IpFromText("2001:db8::1");
    for (int i = 0; i < 3; ++i) {
        cache.Want(named);
        cache.Want(nameless);
    }
    ASSERT_EQ(m_resolver.m_asked.size(), 2U);
    EXPECT_EQ(cache.StateOf(named), State::Asked);
    EXPECT_EQ(cache.NameOf(named), "");

    EXPECT_TRUE(cache.Answer({named, "host.example.org"}));
    EXPECT_FALSE(cache.Answer({nameless, ""}));
    EXPECT_EQ(cache.NameOf(named), "host.example.org");
    EXPECT_EQ(cache.StateOf(nameless), State::NoName);
    EXPECT_TRUE(cache.Idle());

    // Four minutes on: both still fresh.
    m_now += 4min;
    cache.Want(named);
    cache.Want(nameless);
    EXPECT_EQ(m_resolver.m_asked.size(), 2U);
    // Past five minutes the failure is asked again, the name not.
    m_now += 2min;
    cache.Want(named);
    cache.Want(nameless);
    EXPECT_EQ(m_resolver.Count(nameless), 2U);
    EXPECT_EQ(m_resolver.Count(named), 1U);
    ASSERT_FALSE(cache.Answer({nameless, ""}));
    // Past the hour the name is asked again and shown meanwhile; the new answer replaces it.
    m_now += 1h;
    cache.Want(named);
    EXPECT_EQ(m_resolver.Count(named), 2U);
    EXPECT_EQ(cache.NameOf(named), "host.example.org");
    EXPECT_TRUE(cache.Answer({named, "renamed.example.org"}));
    EXPECT_EQ(cache.NameOf(named), "renamed.example.org");
    // "other" rows have no address to ask.
    IpAddress other;
    other.m_family = IpFamily::Other;
    cache.Want(other);
    EXPECT_EQ(m_resolver.m_asked.size(), 4U);
}

// Never more than the bound outstanding; the queue behind it is bounded, the most recently wanted asked
// first, and the one wanted longest ago dropped when it is full (then asked again when wanted again).
TEST_F(NameCacheTest, BoundsTheLookUpsInFlightAndTheQueue) {
    CNameCache cache(m_resolver, Settings(2, 3), Clock());
    std::vector<IpAddress> addresses;
    for (int i = 1; i <= 7; ++i) {
        addresses.push_back(V4("198.51.100." + std::to_string(i)));
        cache.Want(addresses.back());
    }
    // 1 and 2 asked; 3 and 4 pushed out of the queue by 5, 6, 7.
    ASSERT_EQ(m_resolver.m_asked, (std::vector<IpAddress>{addresses[0], addresses[1]}));
    EXPECT_EQ(cache.InFlight(), 2U);
    EXPECT_EQ(cache.Queued(), 3U);
    EXPECT_EQ(cache.StateOf(addresses[2]), State::Unknown);
    EXPECT_EQ(cache.StateOf(addresses[3]), State::Unknown);

    // Answers out of order (the latest asked first, the first asked last): each frees one slot, which
    // goes to the most recently wanted.
    std::size_t most = 0;
    while (!cache.Idle()) {
        const auto next = std::find_if(m_resolver.m_asked.rbegin(), m_resolver.m_asked.rend(),
                                       [&](const IpAddress& a) { return cache.StateOf(a) == State::Asked; });
        ASSERT_NE(next, m_resolver.m_asked.rend());
        cache.Answer({*next, "n" + IpToText(*next)});
        most = std::max(most, cache.InFlight());
    }
    EXPECT_LE(most, 2U);
    ASSERT_EQ(m_resolver.m_asked.size(), 5U);
    EXPECT_EQ(m_resolver.m_asked[2], addresses[6]);
    EXPECT_EQ(m_resolver.m_asked[3], addresses[5]);
    EXPECT_EQ(m_resolver.m_asked[4], addresses[4]);
    EXPECT_TRUE(cache.Idle());
    // A dropped address is asked when it is wanted again.
    cache.Want(addresses[2]);
    EXPECT_EQ(m_resolver.Count(addresses[2]), 1U);
}

// Answers nobody waits for any more change nothing: after a Clear, after the cache gave up on a resolver
// that never answered, a second answer, an answer never asked for. The slots stay bounded meanwhile.
TEST_F(NameCacheTest, LateAndStrayAnswersDoNotBringBackStaleNames) {
    CNameCache cache(m_resolver, Settings(2, 10), Clock());
    const IpAddress a = V4("203.0.113.1");
    const IpAddress b = V4("203.0.113.2");
    const IpAddress c = V4("203.0.113.3");
    cache.Want(a);
    cache.Want(b);
    cache.Clear();
    EXPECT_EQ(cache.InFlight(), 2U) << "the resolver still works on them";
    cache.Want(c);
    EXPECT_EQ(m_resolver.Count(c), 0U) << "no slot free until the old look-ups answer";
    EXPECT_FALSE(cache.Answer({a, "old.example.org"}));
    EXPECT_EQ(cache.NameOf(a), "");
    EXPECT_EQ(cache.StateOf(a), State::Unknown);
    EXPECT_EQ(m_resolver.Count(c), 1U);
    // Wanted again after the Clear while its old look-up runs: that look-up's answer serves, no second ask.
    cache.Want(b);
    EXPECT_EQ(m_resolver.Count(b), 1U);
    EXPECT_TRUE(cache.Answer({b, "b.example.org"}));
    EXPECT_EQ(cache.NameOf(b), "b.example.org");
    EXPECT_FALSE(cache.Answer({b, "again.example.org"}));
    EXPECT_EQ(cache.NameOf(b), "b.example.org");
    EXPECT_FALSE(cache.Answer({V4("203.0.113.99"), "stray.example.org"}));
    EXPECT_EQ(cache.Size(), 2U);

    // c never answers: given up after a while, counted as no name, and its slot serves the next address.
    const IpAddress d = V4("203.0.113.4");
    const IpAddress e = V4("203.0.113.5");
    cache.Want(d);
    cache.Want(e);
    EXPECT_EQ(m_resolver.Count(e), 0U);
    m_now += cache.GetSettings().m_giveUpAfter;
    cache.Tick();
    EXPECT_EQ(cache.StateOf(c), State::NoName);
    EXPECT_EQ(m_resolver.Count(e), 1U);
    EXPECT_FALSE(cache.Answer({c, "late.example.org"}));
    EXPECT_EQ(cache.NameOf(c), "");
}

} // namespace
} // namespace flowsentry
