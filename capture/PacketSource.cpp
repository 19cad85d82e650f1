// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/PacketSource.h"

#include "capture/LinkLayer.h"
#include "platform/Interfaces.h"
#include "platform/SystemError.h"
#include "traffic/CountText.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <pcap/pcap.h>
#include <pthread.h>
#include <sys/socket.h>

namespace flowsentry {

namespace {

// The mark our wake-ups carry (its address, sent with pthread_sigqueue).
const int g_wakeMark = 0;

std::mutex g_wakeHandlerMutex;
int g_nWakeHandlerUsers = 0; // sources holding our handler; the last one to go puts the previous one back
// Written only while our handler is not installed, so the handler reads it without a lock.
struct sigaction g_previousWakeAction {};

// Something else in the process may use the wake signal all the same: our wake-ups carry a mark that tells
// them apart, and any other arrival goes to the handler the process had before.
void OnWakeSignal(int signal, siginfo_t* info, void* context) {
    if (info != nullptr && info->si_code == SI_QUEUE && info->si_value.sival_ptr == &g_wakeMark) {
        return; // ours: making the blocked read fail with EINTR was all it had to do
    }
    const struct sigaction& previous = g_previousWakeAction;
    if ((previous.sa_flags & SA_SIGINFO) != 0U) {
        if (previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(signal, info, context);
        }
    } else if (previous.sa_handler == SIG_DFL) {
        // What the process would have done without us: the default action, once this handler returns.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    } else if (previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
    }
}

bool HoldWakeHandler() {
    const std::lock_guard lock(g_wakeHandlerMutex);
    if (g_nWakeHandlerUsers == 0) {
        struct sigaction action {};
        action.sa_sigaction = &OnWakeSignal;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: the point is that a blocked read() fails with EINTR.
        action.sa_flags = SA_SIGINFO;
        if (sigaction(CPacketSource::WakeSignal(), nullptr, &g_previousWakeAction) != 0 ||
            sigaction(CPacketSource::WakeSignal(), &action, nullptr) != 0) {
            return false;
        }
    }
    ++g_nWakeHandlerUsers;
    return true;
}

void ReleaseWakeHandler() {
    const std::lock_guard lock(g_wakeHandlerMutex);
    if (--g_nWakeHandlerUsers > 0) {
        return;
    }
    // Unless someone installed a handler of their own meanwhile, which stays.
    struct sigaction current {};
    if (sigaction(CPacketSource::WakeSignal(), nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) != 0U && current.sa_sigaction == &OnWakeSignal) {
        sigaction(CPacketSource::WakeSignal(), &g_previousWakeAction, nullptr);
    }
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

// A real-time signal that nothing else is expected to use (glibc keeps the ones below SIGRTMIN for itself).
int CPacketSource::WakeSignal() {
    return SIGRTMIN + 3;
}

CPacketSource::~CPacketSource() {
    Close();
    if (m_bWakeHandler) {
        ReleaseWakeHandler();
    }
}

std::string CPacketSource::UnsupportedLinkTypeText(int linkType) {
    return "its link type " + LinkTypeName(linkType) +
           " is not supported (Ethernet, Linux cooked, raw IP and loopback are)";
}

bool CPacketSource::Adopt(pcap_t* handle) {
    m_nLinkType = pcap_datalink(handle);
    if (!IsSupportedLinkType(m_nLinkType)) {
        SetError(UnsupportedLinkTypeText(m_nLinkType));
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
    m_readerThread.reset();
}

void CPacketSource::BreakLoop() {
    m_bBreak = true;
    const std::lock_guard lock(m_handleMutex);
    if (m_pHandle != nullptr) {
        pcap_breakloop(m_pHandle);
    }
    if (m_readerThread) {
        sigval mark{};
        mark.sival_ptr = const_cast<int*>(&g_wakeMark);
        pthread_sigqueue(*m_readerThread, CPacketSource::WakeSignal(), mark);
    }
}

void CPacketSource::InterruptBlockingReadsOfThisThread() {
    if (!m_bWakeHandler) {
        m_bWakeHandler = HoldWakeHandler();
    }
    if (!m_bWakeHandler) {
        return;
    }
    // The thread inherits the mask of whoever started it: a program that blocks signals before it starts a
    // capture would leave the wake-up pending, and the read (and so the stop) waiting for ever.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, CPacketSource::WakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    const std::lock_guard lock(m_handleMutex);
    m_readerThread = pthread_self();
}

std::string CPacketSource::AfterRecords(const char* what) const {
    return std::string(what) + " after " + PacketCountText(m_nRecords) + ": ";
}

// NOLINTNEXTLINE(readability-non-const-parameter): the type libpcap calls back
void CPacketSource::OnPacket(std::uint8_t* user, const pcap_pkthdr* header, const std::uint8_t* bytes) {
    const auto& read = *reinterpret_cast<const ReadContext*>(user);
    CPacketSource& self = *read.m_pSource;
    ++self.m_nRecords;
    // A pcap record's seconds are an unsigned 32-bit field, which Debian's libpcap 1.10 hands over as a
    // signed one: times after January 2038 came out before 1970. No capture is older than 1970, so a
    // negative value is the upper half of the field.
    std::int64_t seconds = header->ts.tv_sec;
    if (seconds < 0) {
        seconds += std::int64_t{1} << 32U;
    }
    // A record with nothing captured is no damage (other readers skip it): the link layer counts it as
    // too short.
    AppendFrameSample(self.m_nLinkType, std::span(bytes, header->caplen), header->len, seconds, self.m_nMtu,
                      *read.m_pSamples, *read.m_pCounters);
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
    if (result == PCAP_ERROR_BREAK || m_bBreak) {
        return ReadStatus::Interrupted;
    }
    if (result == PCAP_ERROR) {
        SetError(IsFile() ? FileReadError(handle) : std::string(pcap_geterr(handle)));
        return ReadStatus::Failed;
    }
    if (result == 0 && IsFile()) {
        return ReadStatus::EndOfInput;
    }
    return ReadStatus::Frames;
}

// Why libpcap stopped reading a file, from the state of its stream rather than from the words of its
// message: the system failed the read, the file ended inside a record, or libpcap refused a record it read
// whole (a length beyond its limits), which need not mean that the file is damaged.
std::string CPacketSource::FileReadError(pcap_t* handle) const {
    std::FILE* stream = pcap_file(handle);
    const std::string detail = pcap_geterr(handle);
    if (stream != nullptr && std::ferror(stream) != 0) {
        return AfterRecords("the file cannot be read") + detail;
    }
    if (stream != nullptr && std::feof(stream) != 0) {
        return AfterRecords("the file is damaged") + detail;
    }
    return AfterRecords("libpcap cannot read the file") + detail;
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
    if (pcap_compile(handle, &program, "ip or ip6", 1, PCAP_NETMASK_UNKNOWN) != 0 ||
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
