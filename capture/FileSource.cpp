// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/FileSource.h"

#include "platform/SystemError.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>

namespace flowsentry {
namespace {

constexpr std::size_t kCacheLine = 64;

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
    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = nullptr;
    if (m_pStream != nullptr) {
        ReadWithoutLocks(m_pStream);
        m_bRegularFile = IsRegularFile(m_pStream);
        handle = pcap_fopen_offline(m_pStream, errors.data());
        if (handle != nullptr) {
            m_pStream = nullptr;
        }
    } else {
        std::FILE* file = std::fopen(m_strPath.c_str(), "rb");
        if (file == nullptr) {
            SetError(SystemErrorText(errno));
            return false;
        }
        // libpcap reads record by record through stdio: a large buffer makes that a few hundred reads of
        // the file instead of one per 4 KiB, which is most of what a capture-file read costs. It starts on
        // a cache line: malloc's 16-byte offset made the kernel's copies into it, and so the whole read,
        // about 15% slower (measured on 1.4 GB).
        m_streamBuffer.reset(static_cast<char*>(std::aligned_alloc(kCacheLine, kStreamBufferBytes)));
        if (m_streamBuffer != nullptr) {
            std::setvbuf(file, m_streamBuffer.get(), _IOFBF, kStreamBufferBytes);
        }
        ReadWithoutLocks(file);
        m_bRegularFile = IsRegularFile(file);
        handle = pcap_fopen_offline(file, errors.data());
        if (handle == nullptr) {
            std::fclose(file);
        }
    }
    if (handle == nullptr) {
        std::string text = errors.data();
        // libpcap names the file itself; the caller already does.
        if (text.starts_with(m_strPath + ": ")) {
            text.erase(0, m_strPath.size() + 2);
        }
        // libpcap's words for files too short to be captures, and for read errors, in the user's terms.
        if (text == "unknown file format") {
            text = "not a pcap or pcapng capture file (unknown file format)";
        } else if (text.starts_with("truncated dump file; tried to read 4 file header bytes, only got 0")) {
            text = "the file is empty, not a pcap or pcapng capture file";
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

} // namespace flowsentry
