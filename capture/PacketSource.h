// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/SampleSource.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// libpcap stays out of the headers that other parts include: its handle and record header by name only.
struct pcap;
typedef struct pcap pcap_t; // NOLINT(modernize-use-using): the same declaration as libpcap's
struct pcap_pkthdr;

namespace flowsentry {

// A source that reads frames through libpcap and decodes them in this process: a live interface (in the
// capture helper) or a capture file.
class CPacketSource : public CSampleSource {
public:
    ~CPacketSource() override;

    ReadStatus ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) override;
    void BreakLoop() override;
    void Close() override;
    [[nodiscard]] std::optional<std::uint64_t> KernelDrops() override;

    [[nodiscard]] int LinkType() const { return m_nLinkType; }
    // The capturing interface's MTU, by which coalesced super-packets are counted as their segments; 0
    // for a file, whose datagrams count as they stand.
    [[nodiscard]] std::uint32_t Mtu() const { return m_nMtu; }

    // The real-time signal that wakes a read blocked on a pipe (SIGRTMIN + 3). A program that uses it as
    // well keeps its handler: while a source needs ours, every arrival that is not a source's own wake-up
    // is passed on to it, and it is put back when the last such source goes.
    static int WakeSignal();

protected:
    // Takes over an opened handle: checks its link type and lets BreakLoop reach it.
    bool Adopt(pcap_t* handle);
    static std::string UnsupportedLinkTypeText(int linkType);
    [[nodiscard]] virtual bool IsFile() const = 0;
    // For sources whose reads block (a pipe or a FIFO that stays open without data): the calling thread is
    // the one BreakLoop interrupts with a signal, because pcap_breakloop cannot wake a read. A read that the
    // signal interrupts fails with EINTR; BreakRequested() then tells a stop from other interruptions.
    void InterruptBlockingReadsOfThisThread();
    [[nodiscard]] const std::atomic<bool>& BreakRequested() const { return m_bBreak; }
    [[nodiscard]] pcap_t* Handle() const { return m_pHandle; }
    void SetMtu(std::uint32_t mtu) { m_nMtu = mtu; }
    // "the file is damaged after 3 packets: " and the like, for the reasons a file read ends early.
    [[nodiscard]] std::string AfterRecords(const char* what) const;
    void CountRecord() { ++m_nRecords; }

private:
    // What libpcap hands to OnPacket during one read.
    struct ReadContext {
        CPacketSource* m_pSource;
        SampleBuffer* m_pSamples;     // where the read puts its samples
        CaptureCounters* m_pCounters; // and counts its frames
    };

    static void OnPacket(std::uint8_t* user, const pcap_pkthdr* header, const std::uint8_t* bytes);
    [[nodiscard]] std::string FileReadError(pcap_t* handle) const;

    std::mutex
        m_handleMutex; // guards m_pHandle and the reader thread between the capture thread and BreakLoop
    pcap_t* m_pHandle = nullptr;
    std::optional<std::thread::native_handle_type>
        m_readerThread;          // until Close: a thread id is reused once its thread is joined
    bool m_bWakeHandler = false; // this source holds the wake signal's handler
    std::atomic<bool> m_bBreak{false};
    int m_nLinkType = -1;
    std::uint32_t m_nMtu = 0;
    std::uint64_t m_nRecords = 0; // frames read so far, to say where a file is damaged
};

// Live capture on the interface that owns a local address: promiscuous, kernel filter "ip or ip6", the
// kernel's block ring (no immediate mode: frames arrive a block at a time, at most a read time-out late),
// a large kernel buffer and a short snapshot (only headers are read). Non-blocking: the caller waits on
// SelectableFd() and reads when it is ready. Opening needs CAP_NET_RAW; only the capture helper does it.
class CLiveSource final : public CPacketSource {
public:
    explicit CLiveSource(std::string address) : m_strAddress(std::move(address)) {}
    bool Open() override;
    [[nodiscard]] std::string Describe() const override;

    [[nodiscard]] const std::string& InterfaceName() const { return m_strInterface; }
    [[nodiscard]] int SelectableFd() const;
    // Takes the capture socket's pending error (0 when none is pending).
    [[nodiscard]] int TakeSocketError() const;
    // That error in the user's terms ("the interface went down").
    [[nodiscard]] static std::string SocketErrorText(int error);
    // Why Open failed, for the parent's advice.
    [[nodiscard]] bool PermissionDenied() const { return m_bPermissionDenied; }
    [[nodiscard]] bool NotOurAddress() const { return m_bNotOurAddress; }

    static constexpr int kSnapLength = 128;
    static constexpr int kBufferBytes = 32 * 1024 * 1024; // holds about 0.4 s of 600,000 small frames/s
    // A quiet link still shows its frames within this time: the kernel hands over a block that is not
    // full when it is this old.
    static constexpr int kReadTimeoutMs = 100;

private:
    [[nodiscard]] bool IsFile() const override { return false; }
    std::string m_strAddress;
    std::string m_strInterface;
    bool m_bPermissionDenied = false;
    bool m_bNotOurAddress = false;
};

} // namespace flowsentry
