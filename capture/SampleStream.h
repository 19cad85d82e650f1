// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The stream that the capture helper (flowsentry-capture) writes to its parent through a pipe.
//
// Both ends are programs of the same build on the same machine, so numbers are in the machine's own byte
// order; a reader on a machine of the other order sees a wrong magic and says so. The reader treats every
// byte as untrusted: the helper may be an old build, a different program, or dead halfway through a write.
//
//   stream  = header record*
//   header  = magic "FSSAMPLE" (8 bytes), version (u32), header size in bytes (u32, 16)
//   record  = type (u32), count (u32), body of a size fixed by the type (and for samples, the count)
//
//   type 1  Ready    count 0; body: interface name (16 bytes, NUL-padded), link type (u32), zero (u32).
//                    The capture is open and the helper holds no capability any more.
//   type 2  Samples  count 1..kMaxSamplesPerRecord; body: count samples of 24 bytes:
//                    source (u32), destination (u32), bytes (u32), protocol (u8), 1 unused byte (written
//                    as zero, not read), packets (u16: 1, or the segments of a coalesced super-packet),
//                    seconds since the epoch (i64). Addresses as Ipv4Address (first octet most
//                    significant).
//   type 3  Stats    count 0; body: frames seen, not IPv4, too short, kernel drops (u64 each), totals
//                    since the capture opened.
//   type 4  Error    count = the text's length, 1..kMaxErrorText; body: kind (u32, StreamErrorKind), zero
//                    (u32), then kMaxErrorText bytes holding the text, NUL-padded. The last record.
//   type 5  Link     count 0; body: link state (u32, LinkState), zero (u32). The interface's link changed
//                    (the parent assumes Up at Ready); the capture goes on.
//   type 6  Samples6 count 1..kMaxSamplesPerRecord; body: count IPv6 samples of 56 bytes: a sample as in
//                    type 2 with both addresses written as zero (not read), then the source and the
//                    destination address (16 bytes each, wire order). IPv4 and IPv6 samples go in records
//                    of their own type, one after another in the order of the capture.
//
// A change to any of this raises kStreamVersion.
#include "capture/Datagram.h"
#include "capture/SampleSource.h"
#include "traffic/TrafficEntry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flowsentry {

inline constexpr std::array<char, 8> kStreamMagic = {'F', 'S', 'S', 'A', 'M', 'P', 'L', 'E'};
inline constexpr std::uint32_t kStreamVersion = 4;
inline constexpr std::size_t kStreamHeaderBytes = 16;
inline constexpr std::size_t kRecordHeaderBytes = 8;
inline constexpr std::size_t kWireSampleBytes = 24;
inline constexpr std::size_t kWireSample6Bytes = kWireSampleBytes + 32;
inline constexpr std::size_t kInterfaceNameBytes = 16;
inline constexpr std::uint32_t kMaxSamplesPerRecord = 8192;
inline constexpr std::uint32_t kMaxErrorText = 1016;

enum class StreamRecordType : std::uint32_t {
    Ready = 1,
    Samples = 2,
    Stats = 3,
    Error = 4,
    Link = 5,
    Samples6 = 6
};

// Why a capture failed, so that the parent can add its own advice without reading the text.
enum class StreamErrorKind : std::uint32_t {
    Other = 0,
    Permission = 1,    // the helper was not allowed to open the capture
    NotOurAddress = 2, // no interface of this machine has the address
};

// What the helper counted, totals since the capture opened.
struct HelperStats {
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nNotIp = 0;
    std::uint64_t m_nTooShort = 0;
    std::uint64_t m_nKernelDrops = 0;

    friend bool operator==(const HelperStats&, const HelperStats&) = default;
};

// Builds the stream in memory; the caller writes Bytes() out and then calls Consumed().
class CSampleStreamWriter {
public:
    CSampleStreamWriter();

    void AddReady(const std::string& interfaceName, int linkType);
    void AddSample(const PacketSample& sample);
    void AddSample6(const PacketSample& sample, const Ipv6Pair& pair);
    // Every sample of a buffer, each family in its own records.
    void AddSamples(const SampleBuffer& samples);
    void AddStats(const HelperStats& stats);
    void AddError(StreamErrorKind kind, const std::string& text);
    void AddLink(LinkState state);

    // Everything added so far, as whole records.
    [[nodiscard]] std::span<const std::uint8_t> Bytes();
    [[nodiscard]] std::size_t SampleCount() const { return m_nSamples; }
    // Forgets the first `n` bytes of Bytes() (they were written).
    void Consumed(std::size_t n);

private:
    void CloseSampleRecord();
    std::uint8_t* OpenSample(StreamRecordType type, std::size_t bytes);
    std::vector<std::uint8_t> m_bytes;
    StreamRecordType m_openType = StreamRecordType::Samples;
    std::size_t m_nOpenRecord = 0; // offset of the samples record being filled, or npos
    std::uint32_t m_nOpenCount = 0;
    std::size_t m_nSamples = 0; // samples held in m_bytes
};

// One record taken from the stream. For samples, m_samples spans the raw samples inside the reader's
// buffer, valid until the next call of Feed or Next; DecodeWireSample reads one.
struct StreamRecord {
    StreamRecordType m_type = StreamRecordType::Ready;
    std::span<const std::uint8_t> m_samples;
    std::uint32_t m_nSampleCount = 0;
    HelperStats m_stats;
    std::string m_strInterface;
    int m_nLinkType = 0;
    StreamErrorKind m_errorKind = StreamErrorKind::Other;
    std::string m_strText;
    LinkState m_linkState = LinkState::Up;
};

// Reads the stream from the bytes given to it in pieces of any size.
class CSampleStreamReader {
public:
    enum class Status {
        Record,   // `record` holds the next record
        NeedMore, // every complete record has been taken; feed more bytes
        Broken,   // the stream is not what the helper writes; ErrorText() says how
    };

    CSampleStreamReader();

    // Room for the next read; at least `minimum` bytes.
    std::span<std::uint8_t> Space(std::size_t minimum);
    // `n` bytes were written into Space().
    void Commit(std::size_t n);
    // Copies bytes in (for callers that do not read into Space()).
    void Feed(std::span<const std::uint8_t> bytes);

    Status Next(StreamRecord& record);
    // Bytes fed but not yet taken as records: non-zero at the end of the stream means it was cut short.
    [[nodiscard]] std::size_t Pending() const { return m_nEnd - m_nBegin; }
    [[nodiscard]] const std::string& ErrorText() const { return m_strError; }

private:
    Status Fail(std::string text);
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_nBegin = 0;
    std::size_t m_nEnd = 0;
    bool m_bHeaderRead = false;
    bool m_bBroken = false;
    std::string m_strError;
};

// One sample of a Samples record (kWireSampleBytes bytes) as the table takes it.
void DecodeWireSample(const std::uint8_t* bytes, PacketSample& sample);
// One sample of a Samples6 record (kWireSample6Bytes bytes), appended to `samples`.
void AppendWireSample6(const std::uint8_t* bytes, SampleBuffer& samples);

} // namespace flowsentry
