#include "capture/FileSource.h"

#include "platform/SystemError.h"

#include <array>
#include <cerrno>

namespace flowsentry {

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
        // the file instead of one per 4 KiB, which is most of what a capture-file read costs.
        m_streamBuffer = std::make_unique_for_overwrite<char[]>(kStreamBufferBytes);
        std::setvbuf(file, m_streamBuffer.get(), _IOFBF, kStreamBufferBytes);
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
