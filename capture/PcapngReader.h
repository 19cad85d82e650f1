// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/SampleSource.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flowsentry {

// Reads a pcapng file block by block. libpcap 1.10 cannot: it stops at an interface whose link type or
// snapshot length differs from the first one's, and at a second section header (two captures joined with
// cat). Here every section, interface and packet is read, each packet with its own interface's link type and
// time resolution, and handed to the same link-layer and decoding step as a packet libpcap read.
//
// Blocks are parsed where they lie in one large buffer that the input is read into: nothing is allocated per
// packet, and a block larger than the buffer (up to kMaxBlockBytes) grows it once.
class CPcapngReader {
public:
    enum class Status {
        Frames,      // read again
        EndOfInput,  // the file ended after a whole block
        Interrupted, // the stop flag was set
        Failed,      // see ErrorText()
    };

    // Reads `fd`, or `stream` when fd is -1 (a stream without a descriptor, such as one in memory); closes
    // `stream` when it goes. A read that waits is interrupted (EINTR) by the sniffer's wake signal; it ends
    // with Interrupted when `stop` is set and is tried again when not. `mayWait`: the input is a pipe, so
    // what is read goes to the caller before the next read that may wait.
    CPcapngReader(int fd, std::FILE* stream, const std::atomic<bool>& stop, bool mayWait);
    ~CPcapngReader();
    CPcapngReader(const CPcapngReader&) = delete;
    CPcapngReader& operator=(const CPcapngReader&) = delete;

    // Reads the section header, whose first bytes `start` the caller has already taken from the input to
    // tell the format, and every block before the first packet.
    Status Open(std::span<const std::uint8_t> start);
    // Appends the samples of up to `maxFrames` packets.
    Status Read(int maxFrames, SampleBuffer& samples, CaptureCounters& counters);
    [[nodiscard]] const std::string& ErrorText() const { return m_strError; }
    // After Open: when interfaces were described and none has a link type that can be read, the first's.
    [[nodiscard]] std::optional<int> OnlyUnsupportedLinkType() const;

    // More than any real block (libpcap's limit too): a length beyond it is damage, not a block to wait for.
    static constexpr std::size_t kMaxBlockBytes = std::size_t{16} << 20U;

private:
    struct Interface {
        int m_nLinkType = 0; // DLT_
        bool m_bSupported = false;
        std::uint32_t m_nSnapLength = 0;
        std::uint64_t m_nUnitsPerSecond = 1000000; // if_tsresol; microseconds when not given
        std::uint64_t m_nOffset = 0;               // if_tsoffset, seconds (two's complement)
        // The second of the last timestamp, as its range of timestamp units: the packets that follow
        // mostly fall in it, and a comparison costs less than a division.
        std::uint64_t m_nSecondFirst = 1;
        std::uint64_t m_nSecondEnd = 0;
        std::int64_t m_tSecond = 0;

        std::int64_t Seconds(std::uint64_t timestamp);
    };
    enum class Fill { Ok, End, Interrupted, Error };
    enum class Step {
        Next,    // the block was read; on to the next one
        Frames,  // the frames asked for were read, or a pipe has no more for now
        End,     // the input ended after a whole block
        Section, // a section header is next
        Interrupted,
        Failed,
    };

    Status Run(int maxFrames, SampleBuffer& samples, CaptureCounters& counters);
    // Reads blocks in one byte order until a section header, `maxFrames` packets or the end; `frames`
    // counts the packets of this read.
    template <bool kSwapped>
    Step ReadBlocks(int maxFrames, int& frames, SampleBuffer& samples, CaptureCounters& counters);
    // The section header at the read position; `first`: the one that opens the file.
    Step ReadSectionHeader(bool first);
    template <bool kSwapped> Step InterfaceDescription(const std::uint8_t* block, std::uint32_t length);
    template <bool kSwapped, bool kWideInterface>
    Step PacketBlock(const std::uint8_t* block, std::uint32_t length, SampleBuffer& samples,
                     CaptureCounters& counters);
    template <bool kSwapped>
    Step SimplePacketBlock(const std::uint8_t* block, std::uint32_t length, SampleBuffer& samples,
                           CaptureCounters& counters);
    void Deliver(const Interface& interface, const std::uint8_t* data, std::uint32_t captured,
                 std::uint32_t wire, std::int64_t seconds, SampleBuffer& samples, CaptureCounters& counters);

    // Makes `bytes` bytes available from the read position.
    Fill Ensure(std::size_t bytes);
    Fill ReadInput();
    void MakeRoom(std::size_t bytes);
    // The step that a Fill other than Ok ends the read with.
    Step Unfilled(Fill fill);

    // The three ways a read fails: the file is damaged, it holds what this reader cannot take, or it is not a
    // capture file at all (its start is wrong).
    Step Damaged(const std::string& reason);
    Step Unreadable(const std::string& reason);
    Step NotACapture(const std::string& reason);

    int m_nFd;
    std::FILE* m_pStream;
    const std::atomic<bool>& m_bStop;
    const bool m_bMayWait;
    bool m_bSwapped = false;
    std::uint8_t* m_pBuffer = nullptr;
    std::size_t m_nCapacity = 0;
    std::size_t m_nBegin = 0;            // the read position
    std::size_t m_nEnd = 0;              // the end of what was read
    std::vector<Interface> m_interfaces; // of the current section
    std::uint64_t m_nPackets = 0;        // packet blocks read, to say where a file is damaged
    std::string m_strError;
};

} // namespace flowsentry
