// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/SampleStream.h"

#include "TestUtil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace flowsentry {
namespace {

using Status = CSampleStreamReader::Status;

PacketSample Sample(Ipv4Address src, Ipv4Address dst, std::uint8_t proto, std::uint32_t bytes,
                    std::int64_t when, std::uint16_t packets = 1) {
    return {src, dst, bytes, proto, IpFamily::Ipv4, packets, when};
}

// Everything a reader takes from `bytes` fed in pieces of `piece` bytes, until it needs more or breaks.
struct Taken {
    std::vector<StreamRecordType> types;
    std::vector<PacketSample> samples;
    SampleBuffer all; // every sample of either family, in stream order
    HelperStats stats;
    std::string interface;
    std::string error;
    StreamErrorKind errorKind = StreamErrorKind::Other;
    std::vector<LinkState> links;
    Status last = Status::NeedMore;
    std::string broken;
};

Taken ReadAll(std::span<const std::uint8_t> bytes, std::size_t piece) {
    CSampleStreamReader reader;
    StreamRecord record;
    Taken taken;
    for (std::size_t at = 0; at < bytes.size() && taken.last != Status::Broken; at += piece) {
        reader.Feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
        while ((taken.last = reader.Next(record)) == Status::Record) {
            taken.types.push_back(record.m_type);
            switch (record.m_type) {
            case StreamRecordType::Samples:
                for (std::uint32_t i = 0; i < record.m_nSampleCount; ++i) {
                    DecodeWireSample(record.m_samples.data() + i * kWireSampleBytes,
                                     taken.samples.emplace_back());
                    taken.all.push_back(taken.samples.back());
                }
                break;
            case StreamRecordType::Samples6:
                for (std::uint32_t i = 0; i < record.m_nSampleCount; ++i) {
                    AppendWireSample6(record.m_samples.data() + i * kWireSample6Bytes, taken.all);
                }
                break;
            case StreamRecordType::Stats:
                taken.stats = record.m_stats;
                break;
            case StreamRecordType::Ready:
                taken.interface = record.m_strInterface;
                break;
            case StreamRecordType::Error:
                taken.error = record.m_strText;
                taken.errorKind = record.m_errorKind;
                break;
            case StreamRecordType::Link:
                taken.links.push_back(record.m_linkState);
                break;
            }
        }
    }
    if (taken.last == Status::Broken) {
        taken.broken = reader.ErrorText();
    }
    return taken;
}

std::vector<std::uint8_t> Copy(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(SampleStream, WhatIsWrittenIsReadInPiecesOfAnySize) {
    CSampleStreamWriter writer;
    writer.AddReady("veth-with-a-long-name", 1);
    std::vector<PacketSample> sent;
    // More than one record's worth, so that the writer starts a second samples record by itself.
    for (std::uint32_t i = 0; i < kMaxSamplesPerRecord + 10; ++i) {
        // Packet counts over the whole 16 bits: a super-packet's segments.
        sent.push_back(Sample(0x0A000001 + i, 0xC0A80001, static_cast<std::uint8_t>(i), 20 + i % 1500,
                              i % 2 == 0 ? 1700000000 + i : -1 - static_cast<std::int64_t>(i),
                              static_cast<std::uint16_t>(i * 4099 % 65535 + 1)));
        writer.AddSample(sent.back());
        if (i == 100) {
            writer.AddLink(LinkState::Down);
            writer.AddLink(LinkState::NoCarrier);
        }
    }
    writer.AddLink(LinkState::Up);
    writer.AddStats({5, 1, 2, 3});
    writer.AddError(StreamErrorKind::Permission, "no\tpermission\n");
    const std::vector<std::uint8_t> bytes = Copy(writer.Bytes());
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, bytes.size()}) {
        SCOPED_TRACE(piece);
        const Taken taken = ReadAll(bytes, piece);
        EXPECT_EQ(taken.last, Status::NeedMore);
        EXPECT_EQ(taken.interface, "veth-with-a-lon"); // cut to fit, with its terminating NUL
        EXPECT_EQ(taken.samples, sent);
        EXPECT_EQ(taken.stats, (HelperStats{5, 1, 2, 3}));
        EXPECT_EQ(taken.links,
                  (std::vector<LinkState>{LinkState::Down, LinkState::NoCarrier, LinkState::Up}));
        EXPECT_EQ(taken.errorKind, StreamErrorKind::Permission);
        EXPECT_EQ(taken.error, "no permission "); // control characters never reach a message box
        EXPECT_EQ(taken.types.front(), StreamRecordType::Ready);
        EXPECT_EQ(taken.types.back(), StreamRecordType::Error);
    }
}

// IPv6 samples travel in records of their own, each in its place among the IPv4 ones.
TEST(SampleStream, Ipv6SamplesKeepTheirPlace) {
    SampleBuffer sent;
    for (std::uint32_t i = 0; i < kMaxSamplesPerRecord + 300; ++i) {
        PacketSample sample = Sample(0x0A000001, 0x0A000002 + i, 17, 48 + i % 1000, 1700000000 + i,
                                     static_cast<std::uint16_t>(1 + i % 7));
        // Runs of either family, some longer than a record.
        if ((i / 3) % 5 == 0 || (i > 100 && i < kMaxSamplesPerRecord + 200)) {
            Ipv6Pair pair{test::Ip6("fd00:f5::1"), test::Ip6("fd00:f5::2")};
            pair.m_dest[12] = static_cast<std::uint8_t>(i >> 8U);
            pair.m_dest[13] = static_cast<std::uint8_t>(i);
            sent.PushIpv6(sample, pair);
        } else {
            sent.push_back(sample);
        }
    }
    CSampleStreamWriter writer;
    writer.AddReady("eth0", 1);
    writer.AddSamples(sent);
    const std::vector<std::uint8_t> bytes = Copy(writer.Bytes());
    for (const std::size_t piece : {std::size_t{13}, bytes.size()}) {
        SCOPED_TRACE(piece);
        const Taken taken = ReadAll(bytes, piece);
        EXPECT_EQ(taken.last, Status::NeedMore);
        EXPECT_EQ(taken.all.m_samples, sent.m_samples);
        EXPECT_EQ(taken.all.m_v6, sent.m_v6);
    }
}

// A writer that says a sample stands for no packet would make a row of bytes without packets.
TEST(SampleStream, ASampleOfNoPacketsCountsOne) {
    CSampleStreamWriter writer;
    writer.AddReady("eth0", 1);
    writer.AddSample(Sample(1, 2, 6, 60, 0, 0));
    const Taken taken = ReadAll(Copy(writer.Bytes()), 4096);
    ASSERT_EQ(taken.samples.size(), 1U);
    EXPECT_EQ(taken.samples[0].m_nPackets, 1);
}

TEST(SampleStream, WritingOutInPartsKeepsRecordsWhole) {
    CSampleStreamWriter writer;
    writer.AddReady("eth0", 1);
    writer.AddSample(Sample(1, 2, 6, 60, 0));
    std::vector<std::uint8_t> out = Copy(writer.Bytes());
    writer.Consumed(out.size() - 10); // a short write: the rest stays
    EXPECT_EQ(writer.Bytes().size(), 10U);
    const std::vector<std::uint8_t> rest = Copy(writer.Bytes());
    writer.Consumed(rest.size());
    writer.AddSample(Sample(3, 4, 17, 80, 0));
    const std::vector<std::uint8_t> next = Copy(writer.Bytes());
    out.resize(out.size() - 10);
    out.insert(out.end(), rest.begin(), rest.end());
    out.insert(out.end(), next.begin(), next.end());
    const Taken taken = ReadAll(out, out.size());
    ASSERT_EQ(taken.samples.size(), 2U);
    EXPECT_EQ(taken.samples[1], Sample(3, 4, 17, 80, 0));
}

TEST(SampleStream, ABrokenStreamIsNamedNeverRead) {
    CSampleStreamWriter writer;
    writer.AddReady("eth0", 1);
    writer.AddLink(LinkState::Down);
    writer.AddSample(Sample(1, 2, 6, 60, 0));
    const std::vector<std::uint8_t> good = Copy(writer.Bytes());
    constexpr std::size_t link = kStreamHeaderBytes + kRecordHeaderBytes + kInterfaceNameBytes + 8;
    const std::size_t samples = link + kRecordHeaderBytes + 8;
    struct Case {
        const char* name;
        void (*spoil)(std::vector<std::uint8_t>&, std::size_t samplesAt);
        const char* says;
    };
    const Case cases[] = {
        {"wrong magic", [](auto& b, std::size_t) { b[0] = 'X'; }, "wrong magic"},
        {"text instead of a stream", [](auto& b, std::size_t) { std::memcpy(b.data(), "usage: ", 7); },
         "wrong magic"},
        {"other version", [](auto& b, std::size_t) { b[8] = 99; }, "version 99 of the capture stream"},
        {"an older version", [](auto& b, std::size_t) { b[8] = 2; }, "version 2 of the capture stream"},
        {"header size", [](auto& b, std::size_t) { b[12] = 17; }, "header has a wrong size"},
        {"unknown record", [](auto& b, std::size_t at) { b[at] = 9; }, "unknown type 9"},
        {"no samples", [](auto& b, std::size_t at) { std::memset(&b[at + 4], 0, 4); }, "claims 0 samples"},
        {"too many samples", [](auto& b, std::size_t at) { std::memset(&b[at + 4], 0xFF, 4); },
         "claims 4294967295"},
        {"ready without a name", [](auto& b, std::size_t) { b[kStreamHeaderBytes + 8] = 0; }, "ready record"},
        {"ready with a count", [](auto& b, std::size_t) { b[kStreamHeaderBytes + 4] = 1; }, "has a count"},
        {"unknown link state", [](auto& b, std::size_t) { b[link + kRecordHeaderBytes] = 3; }, "link record"},
        {"link with stray bytes", [](auto& b, std::size_t) { b[link + kRecordHeaderBytes + 5] = 1; },
         "link record"},
        {"link with a count", [](auto& b, std::size_t) { b[link + 4] = 1; }, "has a count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> bytes = good;
        c.spoil(bytes, samples);
        const Taken taken = ReadAll(bytes, 3);
        EXPECT_EQ(taken.last, Status::Broken);
        EXPECT_NE(taken.broken.find(c.says), std::string::npos) << taken.broken;
        EXPECT_TRUE(taken.samples.empty());
    }
}

TEST(SampleStream, AStreamCutShortLeavesBytesPending) {
    CSampleStreamWriter writer;
    writer.AddReady("eth0", 1);
    writer.AddSample(Sample(1, 2, 6, 60, 0));
    std::vector<std::uint8_t> bytes = Copy(writer.Bytes());
    bytes.resize(bytes.size() - 1);
    CSampleStreamReader reader;
    reader.Feed(bytes);
    StreamRecord record;
    EXPECT_EQ(reader.Next(record), Status::Record);
    EXPECT_EQ(reader.Next(record), Status::NeedMore);
    EXPECT_EQ(reader.Pending(), kRecordHeaderBytes + kWireSampleBytes - 1);
}

} // namespace
} // namespace flowsentry
