#pragma once

#include "traffic/TrafficEntry.h"

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace flowsentry {

// One captured frame as the source delivers it.
struct FrameView {
    const std::uint8_t* m_pBytes = nullptr;
    std::uint32_t m_nCaptured = 0; // bytes present at m_pBytes (cut by the snapshot length)
    std::uint32_t m_nWireLength = 0;
    std::int64_t m_tSeconds = 0;
};

enum class ReadStatus {
    Frames,      // zero or more frames were delivered; read again
    EndOfInput,  // a capture file is finished
    Interrupted, // BreakLoop was called
    Failed,      // see ErrorText()
};

// Where frames come from: a live interface or a capture file. The capture thread opens, reads and closes
// the source; any thread may call BreakLoop to wake a read that waits for traffic.
class CPacketSource {
public:
    using FrameHandler = void (*)(void* user, const FrameView& frame);

    CPacketSource() = default;
    CPacketSource(const CPacketSource&) = delete;
    CPacketSource& operator=(const CPacketSource&) = delete;
    virtual ~CPacketSource();

    // Opens the source; on failure returns false and ErrorText() says why in the user's terms.
    virtual bool Open() = 0;
    // Hands up to `maxFrames` frames to `handler`; `delivered` tells how many.
    ReadStatus Read(int maxFrames, FrameHandler handler, void* user, int& delivered);
    // Makes a running or the next Read return Interrupted soon. Safe from any thread.
    void BreakLoop();
    void Close();

    [[nodiscard]] int LinkType() const { return m_nLinkType; }
    // Packets the kernel dropped because the capture did not keep up; empty for files.
    [[nodiscard]] std::optional<std::uint64_t> KernelDrops();
    [[nodiscard]] const std::string& ErrorText() const { return m_strError; }
    // "eth0 (10.0.0.1)" or the file's name, for messages.
    [[nodiscard]] virtual std::string Describe() const = 0;

protected:
    // Takes over an opened handle: checks its link type and lets BreakLoop reach it.
    bool Adopt(pcap_t* handle);
    void SetError(std::string text) { m_strError = std::move(text); }
    [[nodiscard]] virtual bool IsFile() const = 0;
    // For sources whose reads block in stdio (a pipe or a FIFO that stays open without data): the calling
    // thread is the one BreakLoop interrupts with a signal, because pcap_breakloop cannot wake a read.
    void InterruptBlockingReadsOfThisThread();

private:
    static void OnPacket(std::uint8_t* user, const pcap_pkthdr* header, const std::uint8_t* bytes);

    std::mutex m_handleMutex; // guards m_pHandle and the reader thread between the capture thread and BreakLoop
    pcap_t* m_pHandle = nullptr;
    std::optional<pthread_t> m_readerThread;
    std::atomic<bool> m_bBreak{false};
    int m_nLinkType = -1;
    std::uint64_t m_nRecords = 0; // frames read so far, to say where a file is damaged
    bool m_bDamaged = false;
    FrameHandler m_pHandler = nullptr;
    void* m_pUser = nullptr;
    std::string m_strError;
};

// Live capture on the interface that owns a local IPv4 address: promiscuous, kernel filter "ip",
// immediate delivery, a large kernel buffer and a short snapshot (only headers are read).
class CLiveSource final : public CPacketSource {
public:
    explicit CLiveSource(std::string address) : m_strAddress(std::move(address)) {}
    bool Open() override;
    [[nodiscard]] std::string Describe() const override;

    static constexpr int kSnapLength = 128;
    static constexpr int kBufferBytes = 32 * 1024 * 1024; // holds about 0.4 s of 300,000 small packets/s

private:
    [[nodiscard]] bool IsFile() const override { return false; }
    std::string m_strAddress;
    std::string m_strInterface;
};

// A pcap or pcapng file, read with libpcap's offline reader.
class CFileSource final : public CPacketSource {
public:
    explicit CFileSource(std::string path) : m_strPath(std::move(path)) {}
    // An already open stream (a pipe, memory); libpcap takes it over and closes it. `name` is for messages.
    CFileSource(std::string name, std::FILE* stream) : m_strPath(std::move(name)), m_pStream(stream) {}
    ~CFileSource() override;
    bool Open() override;
    [[nodiscard]] std::string Describe() const override { return m_strPath; }

private:
    [[nodiscard]] bool IsFile() const override { return true; }
    std::string m_strPath;
    std::FILE* m_pStream = nullptr; // not yet handed to libpcap
    static constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20U;
    std::unique_ptr<char[]> m_streamBuffer;
};

// The hint shown when the capture lacks privileges.
extern const char* const kPrivilegeHint;

} // namespace flowsentry
