// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/SampleStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace flowsentry {

namespace {

constexpr std::size_t kNoRecord = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kReadyBodyBytes = kInterfaceNameBytes + 8;
constexpr std::size_t kStatsBodyBytes = 4 * 8;
constexpr std::size_t kErrorBodyBytes = 8 + kMaxErrorText;
constexpr std::size_t kLinkBodyBytes = 8;
// The largest record; the reader's buffer always has room for one whole.
constexpr std::size_t kLargestRecord =
    kRecordHeaderBytes + std::size_t{kMaxSamplesPerRecord} * kWireSample6Bytes;

template <typename T> void Put(std::vector<std::uint8_t>& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

template <typename T> T Get(const std::uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void PutRecordHeader(std::vector<std::uint8_t>& out, StreamRecordType type, std::uint32_t count) {
    Put(out, static_cast<std::uint32_t>(type));
    Put(out, count);
}

bool AllZero(const std::uint8_t* at, std::size_t n) {
    return std::all_of(at, at + n, [](std::uint8_t b) { return b == 0; });
}

} // namespace

CSampleStreamWriter::CSampleStreamWriter() : m_bytes(kStreamHeaderBytes), m_nOpenRecord(kNoRecord) {
    const auto headerBytes = static_cast<std::uint32_t>(kStreamHeaderBytes);
    std::memcpy(m_bytes.data(), kStreamMagic.data(), kStreamMagic.size());
    std::memcpy(m_bytes.data() + 8, &kStreamVersion, 4);
    std::memcpy(m_bytes.data() + 12, &headerBytes, 4);
}

void CSampleStreamWriter::CloseSampleRecord() {
    if (m_nOpenRecord != kNoRecord) {
        std::memcpy(m_bytes.data() + m_nOpenRecord + 4, &m_nOpenCount, sizeof m_nOpenCount);
        m_nOpenRecord = kNoRecord;
        m_nOpenCount = 0;
    }
}

void CSampleStreamWriter::AddReady(const std::string& interfaceName, int linkType) {
    CloseSampleRecord();
    PutRecordHeader(m_bytes, StreamRecordType::Ready, 0);
    std::array<std::uint8_t, kInterfaceNameBytes> name{};
    std::memcpy(name.data(), interfaceName.data(), std::min(interfaceName.size(), name.size() - 1));
    m_bytes.insert(m_bytes.end(), name.begin(), name.end());
    Put(m_bytes, static_cast<std::uint32_t>(linkType));
    Put(m_bytes, std::uint32_t{0});
}

std::uint8_t* CSampleStreamWriter::OpenSample(StreamRecordType type, std::size_t bytes) {
    if (m_nOpenRecord == kNoRecord || m_nOpenCount == kMaxSamplesPerRecord || m_openType != type) {
        CloseSampleRecord();
        m_nOpenRecord = m_bytes.size();
        m_openType = type;
        PutRecordHeader(m_bytes, type, 0);
    }
    const std::size_t at = m_bytes.size();
    m_bytes.resize(at + bytes); // zero-filled, which the unused bytes must be
    ++m_nOpenCount;
    ++m_nSamples;
    return m_bytes.data() + at;
}

void CSampleStreamWriter::AddSample(const PacketSample& sample) {
    std::uint8_t* wire = OpenSample(StreamRecordType::Samples, kWireSampleBytes);
    std::memcpy(wire, &sample.m_dwSrcAddress, 4);
    std::memcpy(wire + 4, &sample.m_dwDestAddress, 4);
    std::memcpy(wire + 8, &sample.m_nBytes, 4);
    wire[12] = sample.m_nProto;
    std::memcpy(wire + 14, &sample.m_nPackets, 2);
    std::memcpy(wire + 16, &sample.m_tTime, 8);
}

void CSampleStreamWriter::AddSample6(const PacketSample& sample, const Ipv6Pair& pair) {
    std::uint8_t* wire = OpenSample(StreamRecordType::Samples6, kWireSample6Bytes);
    std::memcpy(wire + 8, &sample.m_nBytes, 4);
    wire[12] = sample.m_nProto;
    std::memcpy(wire + 14, &sample.m_nPackets, 2);
    std::memcpy(wire + 16, &sample.m_tTime, 8);
    std::memcpy(wire + kWireSampleBytes, pair.m_src.data(), 16);
    std::memcpy(wire + kWireSampleBytes + 16, pair.m_dest.data(), 16);
}

void CSampleStreamWriter::AddSamples(const SampleBuffer& samples) {
    for (const PacketSample& sample : samples.m_samples) {
        if (sample.m_family != IpFamily::Ipv6) {
            AddSample(sample);
        } else if (sample.m_dwSrcAddress < samples.m_v6.size()) {
            AddSample6(sample, samples.m_v6[sample.m_dwSrcAddress]);
        }
    }
}

void CSampleStreamWriter::AddStats(const HelperStats& stats) {
    CloseSampleRecord();
    PutRecordHeader(m_bytes, StreamRecordType::Stats, 0);
    for (const std::uint64_t value :
         {stats.m_nFrames, stats.m_nNotIp, stats.m_nTooShort, stats.m_nKernelDrops}) {
        Put(m_bytes, value);
    }
}

void CSampleStreamWriter::AddError(StreamErrorKind kind, const std::string& text) {
    CloseSampleRecord();
    std::string kept = text.empty() ? std::string("unknown failure") : text.substr(0, kMaxErrorText);
    PutRecordHeader(m_bytes, StreamRecordType::Error, static_cast<std::uint32_t>(kept.size()));
    Put(m_bytes, static_cast<std::uint32_t>(kind));
    Put(m_bytes, std::uint32_t{0});
    kept.resize(kMaxErrorText, '\0');
    m_bytes.insert(m_bytes.end(), kept.begin(), kept.end());
}

void CSampleStreamWriter::AddLink(LinkState state) {
    CloseSampleRecord();
    PutRecordHeader(m_bytes, StreamRecordType::Link, 0);
    Put(m_bytes, static_cast<std::uint32_t>(state));
    Put(m_bytes, std::uint32_t{0});
}

std::span<const std::uint8_t> CSampleStreamWriter::Bytes() {
    CloseSampleRecord();
    return m_bytes;
}

void CSampleStreamWriter::Consumed(std::size_t n) {
    // Only whole records are written out in practice, but a short write may split one: keep the rest.
    CloseSampleRecord();
    n = std::min(n, m_bytes.size());
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(n));
    if (m_bytes.empty()) {
        m_nSamples = 0;
    }
}

CSampleStreamReader::CSampleStreamReader() : m_buffer(2 * kLargestRecord) {}

std::span<std::uint8_t> CSampleStreamReader::Space(std::size_t minimum) {
    if (m_nBegin == m_nEnd) {
        m_nBegin = m_nEnd = 0;
    }
    if (m_buffer.size() - m_nEnd < minimum) {
        // Move what is left of a record to the front; grow only when that is not enough.
        std::memmove(m_buffer.data(), m_buffer.data() + m_nBegin, m_nEnd - m_nBegin);
        m_nEnd -= m_nBegin;
        m_nBegin = 0;
        if (m_buffer.size() - m_nEnd < minimum) {
            m_buffer.resize(m_nEnd + minimum);
        }
    }
    return {m_buffer.data() + m_nEnd, m_buffer.size() - m_nEnd};
}

void CSampleStreamReader::Commit(std::size_t n) {
    m_nEnd = std::min(m_nEnd + n, m_buffer.size());
}

void CSampleStreamReader::Feed(std::span<const std::uint8_t> bytes) {
    const std::span<std::uint8_t> space = Space(bytes.size());
    std::memcpy(space.data(), bytes.data(), bytes.size());
    Commit(bytes.size());
}

CSampleStreamReader::Status CSampleStreamReader::Fail(std::string text) {
    m_bBroken = true;
    m_strError = std::move(text);
    return Status::Broken;
}

CSampleStreamReader::Status CSampleStreamReader::Next(StreamRecord& record) {
    if (m_bBroken) {
        return Status::Broken;
    }
    const std::uint8_t* at = m_buffer.data() + m_nBegin;
    const std::size_t have = m_nEnd - m_nBegin;
    if (!m_bHeaderRead) {
        // A wrong magic shows in its first bytes, before a whole header has arrived.
        const std::size_t magicBytes = std::min(have, kStreamMagic.size());
        if (std::memcmp(at, kStreamMagic.data(), magicBytes) != 0) {
            return Fail("it does not begin as a capture stream (wrong magic)");
        }
        if (have < kStreamHeaderBytes) {
            return Status::NeedMore;
        }
        const auto version = Get<std::uint32_t>(at + 8);
        if (version != kStreamVersion) {
            return Fail("it speaks version " + std::to_string(version) +
                        " of the capture stream, this program " + std::to_string(kStreamVersion) +
                        " (are both from the same installation?)");
        }
        if (Get<std::uint32_t>(at + 12) != kStreamHeaderBytes) {
            return Fail("its stream header has a wrong size");
        }
        m_bHeaderRead = true;
        m_nBegin += kStreamHeaderBytes;
        return Next(record);
    }
    if (have < kRecordHeaderBytes) {
        return Status::NeedMore;
    }
    const auto type = Get<std::uint32_t>(at);
    const auto count = Get<std::uint32_t>(at + 4);
    std::size_t body = 0;
    switch (static_cast<StreamRecordType>(type)) {
    case StreamRecordType::Ready:
        body = kReadyBodyBytes;
        break;
    case StreamRecordType::Samples:
    case StreamRecordType::Samples6:
        if (count == 0 || count > kMaxSamplesPerRecord) {
            return Fail("a samples record claims " + std::to_string(count) + " samples");
        }
        body = std::size_t{count} * (type == static_cast<std::uint32_t>(StreamRecordType::Samples)
                                         ? kWireSampleBytes
                                         : kWireSample6Bytes);
        break;
    case StreamRecordType::Stats:
        body = kStatsBodyBytes;
        break;
    case StreamRecordType::Error:
        if (count == 0 || count > kMaxErrorText) {
            return Fail("an error record claims a text of " + std::to_string(count) + " bytes");
        }
        body = kErrorBodyBytes;
        break;
    case StreamRecordType::Link:
        body = kLinkBodyBytes;
        break;
    default:
        return Fail("it holds a record of unknown type " + std::to_string(type));
    }
    if ((type != static_cast<std::uint32_t>(StreamRecordType::Samples) &&
         type != static_cast<std::uint32_t>(StreamRecordType::Samples6) &&
         type != static_cast<std::uint32_t>(StreamRecordType::Error)) &&
        count != 0) {
        return Fail("a record of type " + std::to_string(type) + " has a count");
    }
    if (have < kRecordHeaderBytes + body) {
        return Status::NeedMore;
    }
    const std::uint8_t* data = at + kRecordHeaderBytes;
    record.m_type = static_cast<StreamRecordType>(type);
    switch (record.m_type) {
    case StreamRecordType::Ready: {
        const auto* name = reinterpret_cast<const char*>(data);
        const std::size_t length = strnlen(name, kInterfaceNameBytes);
        if (length == 0 || length == kInterfaceNameBytes ||
            !AllZero(data + length, kInterfaceNameBytes - length) ||
            Get<std::uint32_t>(data + kInterfaceNameBytes + 4) != 0) {
            return Fail("its ready record is malformed");
        }
        record.m_strInterface.assign(name, length);
        record.m_nLinkType = static_cast<int>(Get<std::uint32_t>(data + kInterfaceNameBytes));
        break;
    }
    case StreamRecordType::Samples:
    case StreamRecordType::Samples6:
        // Every value of a sample's fields is one the table can take (a packet count of 0 is read as 1), so
        // samples need no check here.
        record.m_samples = {data, body};
        record.m_nSampleCount = count;
        break;
    case StreamRecordType::Stats:
        record.m_stats = {Get<std::uint64_t>(data), Get<std::uint64_t>(data + 8),
                          Get<std::uint64_t>(data + 16), Get<std::uint64_t>(data + 24)};
        break;
    case StreamRecordType::Error: {
        const auto kind = Get<std::uint32_t>(data);
        if (kind > static_cast<std::uint32_t>(StreamErrorKind::NotOurAddress) ||
            Get<std::uint32_t>(data + 4) != 0) {
            return Fail("its error record is malformed");
        }
        record.m_errorKind = static_cast<StreamErrorKind>(kind);
        record.m_strText.assign(reinterpret_cast<const char*>(data + 8), count);
        // The text is shown to the user: no control characters from an untrusted writer.
        for (char& c : record.m_strText) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                c = ' ';
            }
        }
        break;
    }
    case StreamRecordType::Link: {
        const auto state = Get<std::uint32_t>(data);
        if (state > static_cast<std::uint32_t>(LinkState::NoCarrier) || Get<std::uint32_t>(data + 4) != 0) {
            return Fail("its link record is malformed");
        }
        record.m_linkState = static_cast<LinkState>(state);
        break;
    }
    }
    m_nBegin += kRecordHeaderBytes + body;
    return Status::Record;
}

void DecodeWireSample(const std::uint8_t* bytes, PacketSample& sample) {
    sample.m_dwSrcAddress = Get<std::uint32_t>(bytes);
    sample.m_dwDestAddress = Get<std::uint32_t>(bytes + 4);
    sample.m_nBytes = Get<std::uint32_t>(bytes + 8);
    sample.m_nProto = bytes[12];
    // A sample stands for at least one packet, whatever the writer says: a row never gains bytes alone.
    sample.m_nPackets = std::max<std::uint16_t>(1, Get<std::uint16_t>(bytes + 14));
    sample.m_tTime = Get<std::int64_t>(bytes + 16);
}

void AppendWireSample6(const std::uint8_t* bytes, SampleBuffer& samples) {
    PacketSample sample;
    DecodeWireSample(bytes, sample);
    Ipv6Pair pair;
    std::memcpy(pair.m_src.data(), bytes + kWireSampleBytes, 16);
    std::memcpy(pair.m_dest.data(), bytes + kWireSampleBytes + 16, 16);
    samples.PushIpv6(sample, pair);
}

} // namespace flowsentry
