// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/PacketSource.h"

#include "capture/LinkLayer.h"
#include "platform/Interfaces.h"
#include "platform/SystemError.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>

namespace flowsentry {

namespace {

// A real-time signal nobody else uses (glibc keeps the ones below SIGRTMIN for itself).
int WakeSignal() {
    return SIGRTMIN + 3;
}

std::string ActivationError(pcap_t* handle, int status) {
    std::string text = pcap_statustostr(status);
    const std::string detail = pcap_geterr(handle);
    if (!detail.empty() && detail != text) {
        text += " (" + detail + ")";
    }
    return text;
}

} // namespace

CSampleSource::~CSampleSource() = default;

CPacketSource::~CPacketSource() {
    Close();
}

bool CPacketSource::Adopt(pcap_t* handle) {
    m_nLinkType = pcap_datalink(handle);
    if (!IsSupportedLinkType(m_nLinkType)) {
        SetError("its link type " + LinkTypeName(m_nLinkType) +
                 " is not supported (Ethernet, Linux cooked, raw IP and loopback are)");
        pcap_close(handle);
        return false;
    }
    const std::lock_guard lock(m_handleMutex);
    m_pHandle = handle;
    return true;
}

void CPacketSource::Close() {
    const std::lock_guard lock(m_handleMutex);
    if (m_pHandle != nullptr) {
        pcap_close(m_pHandle);
        m_pHandle = nullptr;
    }
}

void CPacketSource::BreakLoop() {
    m_bBreak = true;
    const std::lock_guard lock(m_handleMutex);
    if (m_pHandle != nullptr) {
        pcap_breakloop(m_pHandle);
    }
    if (m_readerThread) {
        pthread_kill(*m_readerThread, WakeSignal());
    }
}

void CPacketSource::InterruptBlockingReadsOfThisThread() {
    // The handler does nothing; installed without SA_RESTART, it makes a blocked read() fail with EINTR,
    // which libpcap reports as a read error and Read() as Interrupted, since the stop flag is set.
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        return sigaction(WakeSignal(), &action, nullptr) == 0;
    }();
    if (installed) {
        const std::lock_guard lock(m_handleMutex);
        m_readerThread = pthread_self();
    }
}

// NOLINTNEXTLINE(readability-non-const-parameter): the type libpcap calls back
void CPacketSource::OnPacket(std::uint8_t* user, const pcap_pkthdr* header, const std::uint8_t* bytes) {
    const auto& read = *reinterpret_cast<const ReadContext*>(user);
    CPacketSource& self = *read.m_pSource;
    if (self.m_bDamaged) {
        return;
    }
    ++self.m_nRecords;
    // No frame is 0 bytes long on the wire: such a record is damage, not traffic.
    if (header->len == 0 && self.IsFile()) {
        self.m_bDamaged = true;
        return;
    }
    AppendFrameSample(self.m_nLinkType, std::span(bytes, header->caplen), header->len, header->ts.tv_sec,
                      self.m_nMtu, *read.m_pSamples, *read.m_pCounters);
}

ReadStatus CPacketSource::ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) {
    if (m_bBreak) {
        return ReadStatus::Interrupted;
    }
    // Only the capture thread reads and closes, so the handle cannot go away under this call.
    pcap_t* handle = m_pHandle;
    if (handle == nullptr) {
        SetError("the capture is not open");
        return ReadStatus::Failed;
    }
    ReadContext read{this, &samples, &counters};
    const int result =
        pcap_dispatch(handle, maxFrames, &CPacketSource::OnPacket, reinterpret_cast<std::uint8_t*>(&read));
    if (m_bDamaged) {
        SetError("the file is damaged after " + std::to_string(m_nRecords - 1) +
                 " packets: a packet record has a length of 0");
        return ReadStatus::Failed;
    }
    if (result == PCAP_ERROR_BREAK || m_bBreak) {
        return ReadStatus::Interrupted;
    }
    if (result == PCAP_ERROR) {
        if (IsFile()) {
            SetError("the file is damaged after " + std::to_string(m_nRecords) +
                     " packets: " + pcap_geterr(handle));
        } else {
            SetError(pcap_geterr(handle));
        }
        return ReadStatus::Failed;
    }
    if (result == 0 && IsFile()) {
        return ReadStatus::EndOfInput;
    }
    return ReadStatus::Frames;
}

std::optional<std::uint64_t> CPacketSource::KernelDrops() {
    if (IsFile() || m_pHandle == nullptr) {
        return std::nullopt;
    }
    pcap_stat stats{};
    if (pcap_stats(m_pHandle, &stats) != 0) {
        return std::nullopt;
    }
    // ps_drop alone: packets lost because the capture did not keep up. ps_ifdrop is the interface's own
    // count, which includes frames the capture never had a chance at.
    return std::uint64_t{stats.ps_drop};
}

bool CLiveSource::Open() {
    const LocalAddressLookup lookup = LookUpLocalAddress(m_strAddress);
    if (lookup.m_outcome != LocalAddressLookup::Outcome::Found) {
        m_bNotOurAddress = lookup.m_outcome == LocalAddressLookup::Outcome::NotOurs;
        // The caller puts the address in front of the reason: the reason does not repeat it.
        SetError(lookup.Problem());
        return false;
    }
    m_strInterface = lookup.m_strInterface;
    // Read once: a capture that cannot learn the MTU counts super-packets as they stand, like a file.
    SetMtu(InterfaceMtu(m_strInterface).value_or(0));

    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = pcap_create(m_strInterface.c_str(), errors.data());
    if (handle == nullptr) {
        SetError(errors.data());
        return false;
    }
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_promisc(handle, 1);
    // Immediate mode off: libpcap then uses the kernel's block ring (TPACKET_V3), which hands over frames
    // a block at a time instead of waking the reader for every frame.
    pcap_set_immediate_mode(handle, 0);
    pcap_set_buffer_size(handle, kBufferBytes);
    pcap_set_timeout(handle, kReadTimeoutMs);
    const int status = pcap_activate(handle);
    if (status < 0) {
        m_bPermissionDenied = status == PCAP_ERROR_PERM_DENIED;
        SetError(ActivationError(handle, status));
        pcap_close(handle);
        return false;
    }
    bpf_program program{};
    if (pcap_compile(handle, &program, "ip", 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(handle, &program) != 0) {
        SetError(std::string("the kernel filter could not be set: ") + pcap_geterr(handle));
        pcap_freecode(&program);
        pcap_close(handle);
        return false;
    }
    pcap_freecode(&program);
    if (pcap_setnonblock(handle, 1, errors.data()) != 0) {
        SetError(errors.data());
        pcap_close(handle);
        return false;
    }
    return Adopt(handle);
}

int CLiveSource::TakeSocketError() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(SelectableFd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    return error;
}

std::string CLiveSource::SocketErrorText(int error) {
    switch (error) {
    case ENETDOWN:
        return "the interface went down (" + SystemErrorText(error) + ")";
    case ENODEV:
    case ENXIO:
        return "the interface disappeared (" + SystemErrorText(error) + ")";
    case 0:
        return "the system closed the capture";
    default:
        return SystemErrorText(error);
    }
}

int CLiveSource::SelectableFd() const {
    return Handle() == nullptr ? -1 : pcap_get_selectable_fd(Handle());
}

std::string CLiveSource::Describe() const {
    if (m_strInterface.empty()) {
        return m_strAddress;
    }
    return m_strInterface + " (" + m_strAddress + ")";
}

} // namespace flowsentry
