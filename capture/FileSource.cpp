// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/FileSource.h"

#include "platform/SystemError.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <pcap/pcap.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace flowsentry {
namespace {

constexpr std::size_t kCacheLine = 64;
// A pcapng file starts with a section header block, whose type reads the same in either byte order.
constexpr std::array<std::uint8_t, 4> kPcapngStart = {0x0A, 0x0D, 0x0D, 0x0A};

// Only the capture thread reads the stream, so stdio need not lock it. It would, twice per packet, once the
// process has a second thread: each lock is an atomic operation that waits for every pending store, which
// made the reading thread about a tenth slower beside the fold thread (measured).
void ReadWithoutLocks(std::FILE* stream) {
    (void)__fsetlocking(stream, FSETLOCKING_BYCALLER);
}

bool IsRegularFile(std::FILE* stream) {
    struct stat status {};
    return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

enum class Taken { Ok, Stopped, Failed };

// Reads the first bytes, to tell the format: all of `start` unless the input ends first. Through the
// descriptor where there is one, so that stdio holds nothing back when the stream is handed on.
Taken TakeStart(std::FILE* stream, std::span<std::uint8_t> start, std::size_t& got,
                const std::atomic<bool>& stop) {
    got = 0;
    const int fd = ::fileno(stream);
    if (fd < 0) {
        got = std::fread(start.data(), 1, start.size(), stream);
        return std::ferror(stream) != 0 ? Taken::Failed : Taken::Ok;
    }
    while (got < start.size()) {
        if (stop) {
            return Taken::Stopped;
        }
        const ssize_t n = ::read(fd, start.data() + got, start.size() - got);
        if (n == 0) {
            break;
        }
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            return Taken::Failed;
        }
    }
    return Taken::Ok;
}

// A stream that gives the bytes taken to tell the format once more, then reads on: a pipe cannot seek back.
struct Replay {
    std::array<std::uint8_t, 4> m_start{};
    std::size_t m_nStart = 0;
    std::size_t m_nGiven = 0;
    std::FILE* m_pStream = nullptr;
    int m_nFd = -1;
    const std::atomic<bool>* m_pStop = nullptr;
};

ssize_t ReplayRead(void* cookie, char* buffer, std::size_t size) {
    Replay& replay = *static_cast<Replay*>(cookie);
    if (replay.m_nGiven < replay.m_nStart) {
        const std::size_t n = std::min(size, replay.m_nStart - replay.m_nGiven);
        std::memcpy(buffer, replay.m_start.data() + replay.m_nGiven, n);
        replay.m_nGiven += n;
        return static_cast<ssize_t>(n);
    }
    if (replay.m_nFd < 0) {
        const std::size_t got = std::fread(buffer, 1, size, replay.m_pStream);
        return got == 0 && std::ferror(replay.m_pStream) != 0 ? -1 : static_cast<ssize_t>(got);
    }
    // One read: what a pipe has now goes to libpcap without waiting for a full buffer.
    while (true) {
        const ssize_t got = ::read(replay.m_nFd, buffer, size);
        if (got >= 0 || errno != EINTR || *replay.m_pStop) {
            return got;
        }
    }
}

int ReplayClose(void* cookie) {
    const std::unique_ptr<Replay> replay(static_cast<Replay*>(cookie));
    return std::fclose(replay->m_pStream);
}

// `stream` from its first byte again: moved back where it can seek, else wrapped in a Replay, which then
// owns it. Null when neither works (errno says why); the stream is still the caller's then.
std::FILE* Rewound(std::FILE* stream, std::span<const std::uint8_t> start, const std::atomic<bool>& stop) {
    const int fd = ::fileno(stream);
    const auto back = -static_cast<off_t>(start.size());
    if (fd >= 0 ? ::lseek(fd, back, SEEK_CUR) >= 0
                : std::fseek(stream, static_cast<long>(back), SEEK_CUR) == 0) {
        return stream;
    }
    auto replay = std::make_unique<Replay>();
    std::copy(start.begin(), start.end(), replay->m_start.begin());
    replay->m_nStart = start.size();
    replay->m_pStream = stream;
    replay->m_nFd = fd;
    replay->m_pStop = &stop;
    std::FILE* wrapped = fopencookie(replay.get(), "rb", {&ReplayRead, nullptr, nullptr, &ReplayClose});
    if (wrapped != nullptr) {
        (void)replay.release();
    }
    return wrapped;
}

} // namespace

CFileSource::~CFileSource() {
    // libpcap's handle reads through m_streamBuffer: close it while the buffer is still there.
    Close();
    if (m_pStream != nullptr) {
        std::fclose(m_pStream);
    }
}

bool CFileSource::Open() {
    InterruptBlockingReadsOfThisThread();
    // Owned here from now on: each way below closes it or hands it on.
    std::FILE* stream = std::exchange(m_pStream, nullptr);
    if (stream == nullptr) {
        stream = std::fopen(m_strPath.c_str(), "rb");
        if (stream == nullptr) {
            SetError(SystemErrorText(errno));
            return false;
        }
    }
    m_bRegularFile = IsRegularFile(stream);
    m_nFd = m_bRegularFile ? ::fileno(stream) : -1;
    std::array<std::uint8_t, kPcapngStart.size()> start{};
    std::size_t got = 0;
    const Taken taken = TakeStart(stream, start, got, BreakRequested());
    if (taken != Taken::Ok) {
        const int error = errno;
        std::fclose(stream);
        if (taken == Taken::Failed) {
            SetError("cannot be read: " + SystemErrorText(error));
        }
        return false; // stopped: no error, the sniffer knows why
    }
    if (got == 0) {
        std::fclose(stream);
        SetError("the file is empty, not a pcap or pcapng capture file");
        return false;
    }
    const std::span<const std::uint8_t> first(start.data(), got);
    return std::ranges::equal(first, kPcapngStart) ? OpenPcapng(stream, first) : OpenPcap(stream, first);
}

bool CFileSource::OpenPcapng(std::FILE* stream, std::span<const std::uint8_t> start) {
    m_pPcapng = std::make_unique<CPcapngReader>(::fileno(stream), stream, BreakRequested(), !m_bRegularFile);
    const CPcapngReader::Status status = m_pPcapng->Open(start);
    if (status == CPcapngReader::Status::Failed) {
        SetError(m_pPcapng->ErrorText());
    } else if (const std::optional<int> linkType = m_pPcapng->OnlyUnsupportedLinkType()) {
        SetError(UnsupportedLinkTypeText(*linkType));
    } else if (status != CPcapngReader::Status::Interrupted) {
        return true;
    }
    m_pPcapng.reset();
    return false;
}

bool CFileSource::OpenPcap(std::FILE* stream, std::span<const std::uint8_t> start) {
    // stdio has not read the stream when it has a descriptor (TakeStart read that), nor a Replay.
    const bool unread = ::fileno(stream) >= 0;
    std::FILE* file = Rewound(stream, start, BreakRequested());
    if (file == nullptr) {
        SetError("cannot be read: " + SystemErrorText(errno));
        std::fclose(stream);
        return false;
    }
    if (unread || file != stream) {
        // libpcap reads record by record through stdio: a large buffer makes that a few hundred reads of
        // the file instead of one per 4 KiB, which is most of what a capture-file read costs. It starts on
        // a cache line: malloc's 16-byte offset made the kernel's copies into it, and so the whole read,
        // about 15% slower (measured on 1.4 GB).
        m_streamBuffer.reset(static_cast<char*>(std::aligned_alloc(kCacheLine, kStreamBufferBytes)));
        if (m_streamBuffer != nullptr) {
            std::setvbuf(file, m_streamBuffer.get(), _IOFBF, kStreamBufferBytes);
        }
    }
    ReadWithoutLocks(file);
    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = pcap_fopen_offline(file, errors.data());
    if (handle == nullptr) {
        std::fclose(file);
        std::string text = errors.data();
        // libpcap names the file itself; the caller already does.
        if (text.starts_with(m_strPath + ": ")) {
            text.erase(0, m_strPath.size() + 2);
        }
        // libpcap's words for files too short to be captures, and for read errors, in the user's terms.
        if (text == "unknown file format") {
            text = "not a pcap or pcapng capture file (unknown file format)";
        } else if (text.starts_with("truncated dump file; tried to read")) {
            text = "not a pcap or pcapng capture file (it ends inside the file header)";
        } else if (const std::string prefix = "error reading dump file: "; text.starts_with(prefix)) {
            text = "cannot be read: " + text.substr(prefix.size());
        }
        SetError(text);
        return false;
    }
    return Adopt(handle);
}

ReadStatus CFileSource::ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) {
    if (m_pPcapng == nullptr) {
        return CPacketSource::ReadSamples(maxFrames, samples, counters);
    }
    if (BreakRequested()) {
        return ReadStatus::Interrupted;
    }
    switch (m_pPcapng->Read(maxFrames, samples, counters)) {
    case CPcapngReader::Status::Frames:
        return ReadStatus::Frames;
    case CPcapngReader::Status::EndOfInput:
        return ReadStatus::EndOfInput;
    case CPcapngReader::Status::Interrupted:
        return ReadStatus::Interrupted;
    case CPcapngReader::Status::Failed:
        break;
    }
    SetError(m_pPcapng->ErrorText());
    return ReadStatus::Failed;
}

std::uint64_t CFileSource::BytesRead() const {
    const off_t offset = m_nFd >= 0 ? ::lseek(m_nFd, 0, SEEK_CUR) : -1;
    return offset > 0 ? static_cast<std::uint64_t>(offset) : 0;
}

void CFileSource::Close() {
    m_nFd = -1;
    m_pPcapng.reset();
    CPacketSource::Close();
}

} // namespace flowsentry
