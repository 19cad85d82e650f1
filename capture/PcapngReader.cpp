// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/PcapngReader.h"

#include "capture/Datagram.h"
#include "capture/LinkLayer.h"
#include "platform/SystemError.h"
#include "traffic/CountText.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace flowsentry {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A; // the same read either way round
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kObsoletePacket = 2;
constexpr std::uint32_t kSimplePacket = 3;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

// Type and length before a block's body, its length again after it.
constexpr std::uint32_t kBlockFrame = 12;
constexpr std::uint32_t kSectionHeaderBytes = kBlockFrame + 16;
constexpr std::uint32_t kInterfaceBytes = kBlockFrame + 8;
constexpr std::uint32_t kPacketBytes = kBlockFrame + 20; // enhanced and obsolete packet blocks alike
constexpr std::uint32_t kSimplePacketBytes = kBlockFrame + 4;

constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionTimeResolution = 9;
constexpr std::uint16_t kOptionTimeOffset = 14;

constexpr int kLinkTypeRaw = 101; // LINKTYPE_RAW; libpcap's DLT_RAW differs between systems
// Real captures have a handful; the table of a file that describes millions would be a file's worth of
// memory.
constexpr std::size_t kMaxInterfaces = std::size_t{1} << 16U;

constexpr std::size_t kBufferBytes = std::size_t{1} << 20U;
// The buffer starts on a cache line, as the file source's stdio buffer does, for the kernel's copies into it.
constexpr std::size_t kCacheLine = 64;

template <bool kSwapped> std::uint16_t Load16(const std::uint8_t* at) {
    std::uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return kSwapped ? __builtin_bswap16(value) : value;
}

template <bool kSwapped> std::uint32_t Load32(const std::uint8_t* at) {
    std::uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return kSwapped ? __builtin_bswap32(value) : value;
}

template <bool kSwapped> std::uint64_t Load64(const std::uint8_t* at) {
    std::uint64_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return kSwapped ? __builtin_bswap64(value) : value;
}

std::uint8_t* AllocateBuffer(std::size_t bytes) {
    return static_cast<std::uint8_t*>(
        std::aligned_alloc(kCacheLine, (bytes + kCacheLine - 1) / kCacheLine * kCacheLine));
}

int DltOfLinkType(std::uint16_t linkType) {
    return linkType == kLinkTypeRaw ? DLT_RAW : int{linkType};
}

} // namespace

std::int64_t CPcapngReader::Interface::Seconds(std::uint64_t timestamp) {
    if (timestamp >= m_nSecondFirst && timestamp < m_nSecondEnd) {
        return m_tSecond;
    }
    const std::uint64_t whole = timestamp / m_nUnitsPerSecond;
    m_nSecondFirst = whole * m_nUnitsPerSecond;
    // In the last second that 64 bits can hold the end wraps, and that second is simply not kept.
    m_nSecondEnd = m_nSecondFirst + m_nUnitsPerSecond;
    // Unsigned: an offset or a timestamp beyond any real date wraps instead of overflowing.
    m_tSecond = static_cast<std::int64_t>(whole + m_nOffset);
    return m_tSecond;
}

CPcapngReader::CPcapngReader(int fd, std::FILE* stream, const std::atomic<bool>& stop, bool mayWait)
    : m_nFd(fd), m_pStream(stream), m_bStop(stop), m_bMayWait(mayWait) {}

CPcapngReader::~CPcapngReader() {
    std::free(m_pBuffer);
    if (m_pStream != nullptr) {
        std::fclose(m_pStream);
    }
}

CPcapngReader::Status CPcapngReader::Open(std::span<const std::uint8_t> start) {
    m_pBuffer = AllocateBuffer(kBufferBytes);
    if (m_pBuffer == nullptr) {
        m_strError = SystemErrorText(ENOMEM);
        return Status::Failed;
    }
    m_nCapacity = kBufferBytes;
    const std::size_t taken = std::min(start.size(), m_nCapacity);
    std::memcpy(m_pBuffer, start.data(), taken);
    m_nEnd = taken;
    if (const Step step = ReadSectionHeader(true); step != Step::Next) {
        return step == Step::Interrupted ? Status::Interrupted : Status::Failed;
    }
    SampleBuffer none;
    CaptureCounters unused;
    // Up to the first packet, so that the caller can tell a file none of whose interfaces can be read.
    return Run(0, none, unused);
}

std::optional<int> CPcapngReader::OnlyUnsupportedLinkType() const {
    const bool anySupported = std::any_of(m_interfaces.begin(), m_interfaces.end(),
                                          [](const Interface& i) { return i.m_bSupported; });
    if (m_interfaces.empty() || anySupported) {
        return std::nullopt;
    }
    return m_interfaces.front().m_nLinkType;
}

CPcapngReader::Status CPcapngReader::Read(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) {
    if (m_pBuffer == nullptr) {
        m_strError = "the capture is not open";
        return Status::Failed;
    }
    return Run(maxFrames, samples, counters);
}

CPcapngReader::Status CPcapngReader::Run(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) {
    int frames = 0;
    while (true) {
        Step step = m_bSwapped ? ReadBlocks<true>(maxFrames, frames, samples, counters)
                               : ReadBlocks<false>(maxFrames, frames, samples, counters);
        if (step == Step::Section) {
            step = ReadSectionHeader(false);
        }
        switch (step) {
        case Step::Frames:
            return Status::Frames;
        case Step::End:
            return Status::EndOfInput;
        case Step::Interrupted:
            return Status::Interrupted;
        case Step::Failed:
            return Status::Failed;
        case Step::Section:
        case Step::Next:
            break; // on into the new section
        }
    }
}

// The loop every packet passes through, one instance per byte order.
template <bool kSwapped>
CPcapngReader::Step CPcapngReader::ReadBlocks(int maxFrames, int& frames, SampleBuffer& samples,
                                              CaptureCounters& counters) {
    while (true) {
        const std::size_t available = m_nEnd - m_nBegin;
        if (available < 8) {
            // A pipe hands over what came before it pauses; a file reads on.
            if (frames > 0 && m_bMayWait) {
                return Step::Frames;
            }
            if (const Fill fill = Ensure(8); fill != Fill::Ok) {
                return Unfilled(fill);
            }
            continue;
        }
        const std::uint8_t* block = m_pBuffer + m_nBegin;
        const std::uint32_t type = Load32<kSwapped>(block);
        if (type == kSectionHeader) {
            return Step::Section;
        }
        const std::uint32_t length = Load32<kSwapped>(block + 4);
        if (length < kBlockFrame || length % 4 != 0) {
            return Damaged("a block has a length of " + std::to_string(length) + " bytes");
        }
        if (length > kMaxBlockBytes) {
            return Damaged("a block claims " + std::to_string(length) + " bytes, more than the " +
                           std::to_string(kMaxBlockBytes >> 20U) + " MiB a reader takes");
        }
        const bool packet = type == kEnhancedPacket || type == kSimplePacket || type == kObsoletePacket;
        if (packet && frames >= maxFrames) {
            return Step::Frames;
        }
        if (available < length) {
            if (frames > 0 && m_bMayWait) {
                return Step::Frames;
            }
            if (const Fill fill = Ensure(length); fill != Fill::Ok) {
                return Unfilled(fill);
            }
            continue;
        }
        if (const std::uint32_t closing = Load32<kSwapped>(block + length - 4); closing != length) {
            return Damaged("a block's length at its end (" + std::to_string(closing) +
                           ") differs from the one at its start (" + std::to_string(length) + ")");
        }
        Step step = Step::Next;
        switch (type) {
        case kEnhancedPacket:
            step = PacketBlock<kSwapped, true>(block, length, samples, counters);
            break;
        case kSimplePacket:
            step = SimplePacketBlock<kSwapped>(block, length, samples, counters);
            break;
        case kObsoletePacket:
            step = PacketBlock<kSwapped, false>(block, length, samples, counters);
            break;
        case kInterfaceDescription:
            step = InterfaceDescription<kSwapped>(block, length);
            break;
        default:
            break; // statistics, name resolution, decryption secrets, custom blocks: nothing that is counted
        }
        if (step != Step::Next) {
            return step;
        }
        frames += packet ? 1 : 0;
        m_nBegin += length;
    }
}

CPcapngReader::Step CPcapngReader::ReadSectionHeader(bool first) {
    const auto ensure = [this, first](std::size_t bytes) {
        const Fill fill = Ensure(bytes);
        if (fill == Fill::End && first) {
            return NotACapture("it ends inside the file header");
        }
        return fill == Fill::Ok ? Step::Next : Unfilled(fill);
    };
    // The byte-order mark, after the type and the length, tells how to read the length.
    if (const Step step = ensure(kBlockFrame); step != Step::Next) {
        return step;
    }
    const std::uint32_t magic = Load32<false>(m_pBuffer + m_nBegin + 8);
    if (magic != kByteOrderMagic && magic != __builtin_bswap32(kByteOrderMagic)) {
        return first ? NotACapture("unknown file format")
                     : Damaged("a section header has no byte-order mark");
    }
    m_bSwapped = magic != kByteOrderMagic;
    const std::uint32_t claimed =
        m_bSwapped ? Load32<true>(m_pBuffer + m_nBegin + 4) : Load32<false>(m_pBuffer + m_nBegin + 4);
    if (claimed < kSectionHeaderBytes || claimed % 4 != 0 || claimed > kMaxBlockBytes) {
        return Damaged("a section header has a length of " + std::to_string(claimed) + " bytes");
    }
    if (const Step step = ensure(claimed); step != Step::Next) {
        return step;
    }
    const std::uint8_t* block = m_pBuffer + m_nBegin;
    const std::uint32_t length = m_bSwapped ? Load32<true>(block + 4) : Load32<false>(block + 4);
    const std::uint32_t closing =
        m_bSwapped ? Load32<true>(block + length - 4) : Load32<false>(block + length - 4);
    if (closing != length) {
        return Damaged("a section header's length at its end (" + std::to_string(closing) +
                       ") differs from the one at its start (" + std::to_string(length) + ")");
    }
    const std::uint16_t major = m_bSwapped ? Load16<true>(block + 12) : Load16<false>(block + 12);
    const std::uint16_t minor = m_bSwapped ? Load16<true>(block + 14) : Load16<false>(block + 14);
    if (major != 1) {
        return Unreadable("a section is in pcapng version " + std::to_string(major) + "." +
                          std::to_string(minor) + ", which this reader does not know (it reads 1.x)");
    }
    // Interface numbers start again in each section.
    m_interfaces.clear();
    m_nBegin += length;
    return Step::Next;
}

template <bool kSwapped>
CPcapngReader::Step CPcapngReader::InterfaceDescription(const std::uint8_t* block, std::uint32_t length) {
    if (length < kInterfaceBytes) {
        return Damaged("an interface description is too short");
    }
    if (m_interfaces.size() >= kMaxInterfaces) {
        return Unreadable("a section describes more than " + std::to_string(kMaxInterfaces) + " interfaces");
    }
    Interface interface;
    interface.m_nLinkType = DltOfLinkType(Load16<kSwapped>(block + 8));
    interface.m_bSupported = IsSupportedLinkType(interface.m_nLinkType);
    interface.m_nSnapLength = Load32<kSwapped>(block + 12);
    std::size_t at = 16;
    const std::size_t end = length - 4;
    while (at + 4 <= end) {
        const std::uint16_t code = Load16<kSwapped>(block + at);
        const std::uint16_t size = Load16<kSwapped>(block + at + 2);
        if (code == kOptionEnd) {
            break;
        }
        const std::size_t padded = (std::size_t{size} + 3U) & ~std::size_t{3};
        if (at + 4 + padded > end) {
            return Damaged("an interface description's options run past its end");
        }
        const std::uint8_t* value = block + at + 4;
        if (code == kOptionTimeResolution) {
            if (size != 1) {
                return Damaged("an interface's time resolution takes " + std::to_string(size) +
                               " bytes, not 1");
            }
            // 10^-n seconds, or 2^-n with the top bit set.
            const unsigned exponent = value[0] & 0x7FU;
            const bool binary = (value[0] & 0x80U) != 0;
            if (binary ? exponent > 63 : exponent > 19) {
                return Unreadable("an interface counts time in units of " + std::string(binary ? "2" : "10") +
                                  "^-" + std::to_string(exponent) + " s, finer than 64 bits can hold");
            }
            std::uint64_t units = 1;
            for (unsigned i = 0; i < exponent; ++i) {
                units *= binary ? 2 : 10;
            }
            interface.m_nUnitsPerSecond = units;
        } else if (code == kOptionTimeOffset) {
            if (size != 8) {
                return Damaged("an interface's time offset takes " + std::to_string(size) + " bytes, not 8");
            }
            interface.m_nOffset = Load64<kSwapped>(value);
        }
        at += 4 + padded;
    }
    m_interfaces.push_back(interface);
    return Step::Next;
}

// An enhanced packet block, or (kWideInterface false) the obsolete packet block, whose interface number is
// 16 bits followed by a drop count; the rest lies alike.
template <bool kSwapped, bool kWideInterface>
CPcapngReader::Step CPcapngReader::PacketBlock(const std::uint8_t* block, std::uint32_t length,
                                               SampleBuffer& samples, CaptureCounters& counters) {
    if (length < kPacketBytes) {
        return Damaged("a packet block is too short");
    }
    const std::uint32_t id = kWideInterface ? Load32<kSwapped>(block + 8) : Load16<kSwapped>(block + 8);
    if (id >= m_interfaces.size()) {
        return Damaged("a packet names interface " + std::to_string(id) + ", and its section describes " +
                       CountText(m_interfaces.size(), "interface", "interfaces"));
    }
    const std::uint64_t timestamp =
        (std::uint64_t{Load32<kSwapped>(block + 12)} << 32U) | Load32<kSwapped>(block + 16);
    const std::uint32_t captured = Load32<kSwapped>(block + 20);
    const std::uint32_t wire = Load32<kSwapped>(block + 24);
    if (captured > length - kPacketBytes) {
        return Damaged("a packet claims " + std::to_string(captured) +
                       " captured bytes, more than its block holds");
    }
    Interface& interface = m_interfaces[id];
    Deliver(interface, block + 28, captured, wire, interface.Seconds(timestamp), samples, counters);
    return Step::Next;
}

// A packet of the first interface, without a time (as libpcap reads it: 0) or a captured length: the
// packet's length, cut to what the block holds and to the interface's snapshot length.
template <bool kSwapped>
CPcapngReader::Step CPcapngReader::SimplePacketBlock(const std::uint8_t* block, std::uint32_t length,
                                                     SampleBuffer& samples, CaptureCounters& counters) {
    if (length < kSimplePacketBytes) {
        return Damaged("a simple packet block is too short");
    }
    if (m_interfaces.empty()) {
        return Damaged("a simple packet block comes before any interface description");
    }
    const Interface& interface = m_interfaces.front();
    const std::uint32_t wire = Load32<kSwapped>(block + 8);
    std::uint32_t captured = std::min(wire, length - kSimplePacketBytes);
    if (interface.m_nSnapLength != 0) {
        captured = std::min(captured, interface.m_nSnapLength);
    }
    Deliver(interface, block + 12, captured, wire, 0, samples, counters);
    return Step::Next;
}

void CPcapngReader::Deliver(const Interface& interface, const std::uint8_t* data, std::uint32_t captured,
                            std::uint32_t wire, std::int64_t seconds, SampleBuffer& samples,
                            CaptureCounters& counters) {
    ++m_nPackets;
    if (interface.m_bSupported) [[likely]] {
        // A file records no MTU: what it holds is counted as it stands (mtu 0).
        AppendFrameSample(interface.m_nLinkType, std::span(data, captured), wire, seconds, 0, samples,
                          counters);
        return;
    }
    // Another interface of the file may be one we read: this one's packets are counted, not refused.
    ++counters.m_nFrames;
    ++(captured == 0 ? counters.m_nTooShort : counters.m_nNotIp);
}

CPcapngReader::Fill CPcapngReader::Ensure(std::size_t bytes) {
    while (m_nEnd - m_nBegin < bytes) {
        // What is left is at most one block, so moving it costs little, and each read then gets most of the
        // buffer instead of the few bytes left at its end.
        if (m_nBegin + bytes > m_nCapacity || m_nCapacity - m_nEnd < kBufferBytes / 16) {
            MakeRoom(bytes);
            if (m_pBuffer == nullptr) {
                errno = ENOMEM;
                return Fill::Error;
            }
        }
        if (const Fill fill = ReadInput(); fill != Fill::Ok) {
            return fill;
        }
    }
    return Fill::Ok;
}

// Moves what is left to read to the buffer's start, and grows the buffer for a block larger than it.
void CPcapngReader::MakeRoom(std::size_t bytes) {
    const std::size_t left = m_nEnd - m_nBegin;
    if (bytes > m_nCapacity) {
        std::uint8_t* larger = AllocateBuffer(bytes);
        if (larger != nullptr) {
            std::memcpy(larger, m_pBuffer + m_nBegin, left);
        }
        std::free(m_pBuffer);
        m_pBuffer = larger;
        m_nCapacity = larger != nullptr ? bytes : 0;
    } else {
        std::memmove(m_pBuffer, m_pBuffer + m_nBegin, left);
    }
    m_nBegin = 0;
    m_nEnd = left;
}

CPcapngReader::Fill CPcapngReader::ReadInput() {
    std::uint8_t* to = m_pBuffer + m_nEnd;
    const std::size_t room = m_nCapacity - m_nEnd;
    while (true) {
        // Checked before each read that may wait: a wake-up sent before the read began is not seen by it.
        if (m_bStop.load(std::memory_order_relaxed)) {
            return Fill::Interrupted;
        }
        if (m_nFd >= 0) {
            const ssize_t got = ::read(m_nFd, to, room);
            if (got > 0) {
                m_nEnd += static_cast<std::size_t>(got);
                return Fill::Ok;
            }
            if (got == 0) {
                return Fill::End;
            }
            if (errno != EINTR) {
                return Fill::Error;
            }
            continue; // a signal: a stop shows at the top of the loop, anything else is read through
        }
        const std::size_t got = std::fread(to, 1, room, m_pStream);
        m_nEnd += got;
        if (got > 0) {
            return Fill::Ok;
        }
        return std::ferror(m_pStream) != 0 ? Fill::Error : Fill::End;
    }
}

CPcapngReader::Step CPcapngReader::Unfilled(Fill fill) {
    switch (fill) {
    case Fill::End:
        if (m_nEnd == m_nBegin) {
            return Step::End;
        }
        return Damaged("it ends inside a block");
    case Fill::Interrupted:
        return Step::Interrupted;
    case Fill::Error:
        m_strError =
            "the file cannot be read after " + PacketCountText(m_nPackets) + ": " + SystemErrorText(errno);
        return Step::Failed;
    case Fill::Ok:
        break;
    }
    return Step::Frames;
}

CPcapngReader::Step CPcapngReader::Damaged(const std::string& reason) {
    m_strError = "the file is damaged after " + PacketCountText(m_nPackets) + ": " + reason;
    return Step::Failed;
}

CPcapngReader::Step CPcapngReader::Unreadable(const std::string& reason) {
    m_strError = "the file cannot be read after " + PacketCountText(m_nPackets) + ": " + reason;
    return Step::Failed;
}

CPcapngReader::Step CPcapngReader::NotACapture(const std::string& reason) {
    m_strError = "not a pcap or pcapng capture file (" + reason + ")";
    return Step::Failed;
}

} // namespace flowsentry
