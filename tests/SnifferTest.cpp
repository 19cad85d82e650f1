// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Sniffer.h"

#include "CaptureFile.h"
#include "SnifferTestUtil.h"
#include "TestUtil.h"
#include "capture/FileSource.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace flowsentry {
namespace {

using namespace std::chrono_literals;
using test::Datagram;
using test::Ip;
using test::Record;
using test::TempFile;

std::vector<std::uint8_t> Ethernet(const std::vector<std::uint8_t>& datagram, std::size_t padTo = 0) {
    std::vector<std::uint8_t> frame = test::Hex("020000000002 020000000001 0800");
    frame.insert(frame.end(), datagram.begin(), datagram.end());
    if (frame.size() < padTo) {
        frame.resize(padTo, 0);
    }
    return frame;
}

std::vector<std::uint8_t> Prefixed(const char* headerHex, const std::vector<std::uint8_t>& datagram) {
    std::vector<std::uint8_t> frame = test::Hex(headerHex);
    frame.insert(frame.end(), datagram.begin(), datagram.end());
    return frame;
}

struct FileRun {
    CaptureEnd m_end = CaptureEnd::None;
    std::string m_strError;
    int m_nCallbacks = 0;
    SnifferStats m_stats;
};

// Reads a file to its end through the sniffer's capture thread.
FileRun ReadThrough(CTrafficTable& table, const std::string& path, std::optional<Ipv4Address> local) {
    CSniffer sniffer;
    sniffer.Initialize(&table);
    std::atomic<int> callbacks{0};
    sniffer.SetEndCallback([&callbacks](CaptureEnd, const std::string&) { ++callbacks; });
    EXPECT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(path), local));
    EXPECT_TRUE(sniffer.WaitUntilEnded(10s));
    EXPECT_FALSE(sniffer.IsRunning());
    sniffer.StopSniffing();
    return FileRun{sniffer.LastEnd(), sniffer.GetErrorText(), callbacks.load(), sniffer.Stats()};
}

TEST(SnifferFile, EveryLinkTypeGivesTheSameEntries) {
    // Two datagrams out, one in, one to another host pair; sizes are what a raw socket would deliver.
    const auto out1 = Datagram("10.0.0.1", "10.0.0.2", 17, 100);
    const auto out2 = Datagram("10.0.0.1", "10.0.0.2", 17, 1500);
    const auto in = Datagram("10.0.0.2", "10.0.0.1", 17, 28);
    const auto other = Datagram("10.9.9.9", "10.0.0.1", 6, 40);
    struct Case {
        const char* name;
        int linkType;
        const char* header;
    };
    const std::vector<Case> cases = {
        {"raw", DLT_RAW, ""},
        {"ipv4", DLT_IPV4, ""},
        {"sll", DLT_LINUX_SLL, "00000001000602000000000100000800"},
        {"sll2", DLT_LINUX_SLL2, "0800000000000002000100060200000000010000"},
        {"null", DLT_NULL, "02000000"},
        {"loop", DLT_LOOP, "00000002"},
        {"ethernet", DLT_EN10MB, "020000000002 020000000001 0800"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(std::string("link-") + c.name);
        std::vector<Record> records;
        for (const auto* d : {&out1, &out2, &in, &other}) {
            // Ethernet pads the 28-byte datagram to 46 bytes; it still counts 28.
            auto frame = Prefixed(c.header, *d);
            if (c.linkType == DLT_EN10MB && frame.size() < 60) {
                frame.resize(60, 0);
            }
            records.push_back(Record{frame, 0, 1700000000});
        }
        test::WritePcap(file.Path(), c.linkType, records);
        CTrafficTable table;
        const FileRun run = ReadThrough(table, file.Path(), Ip("10.0.0.1"));
        EXPECT_EQ(run.m_end, CaptureEnd::EndOfInput);
        EXPECT_EQ(run.m_nCallbacks, 1);
        EXPECT_EQ(run.m_stats.m_counters.m_nCounted, 4U);
        const auto udp = table.Find(Ip("10.0.0.1"), Ip("10.0.0.2"), 17);
        ASSERT_TRUE(udp.has_value());
        EXPECT_EQ(udp->m_dwSrcAddress, Ip("10.0.0.1"));
        EXPECT_EQ(udp->m_nSendData, 1600U);
        EXPECT_EQ(udp->m_nSendPackets, 2U);
        EXPECT_EQ(udp->m_nRcvData, 28U);
        EXPECT_EQ(udp->m_nRcvPackets, 1U);
        EXPECT_EQ(udp->m_tLastUpdate, 1700000000);
        const auto tcp = table.Find(Ip("10.9.9.9"), Ip("10.0.0.1"), 6);
        ASSERT_TRUE(tcp.has_value());
        EXPECT_EQ(tcp->m_dwSrcAddress, Ip("10.0.0.1")); // oriented towards the local address
        EXPECT_EQ(tcp->m_nRcvData, 40U);
        EXPECT_EQ(table.EntryCount(), 2U);
    }
}

TEST(SnifferFile, SnapLengthCutsBytesButNotCounts) {
    TempFile file("snaplen");
    auto frame = Ethernet(Datagram("10.0.0.1", "10.0.0.2", 6, 1500));
    frame.resize(64); // captured with a small snapshot length
    test::WritePcap(file.Path(), DLT_EN10MB, {Record{frame, 1514, 5}});
    CTrafficTable table;
    ReadThrough(table, file.Path(), std::nullopt);
    const auto e = table.Find(Ip("10.0.0.1"), Ip("10.0.0.2"), 6);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->m_nSendData, 1500U);
}

TEST(SnifferFile, FramesThatAreNotCountedAreCountedAsSuch) {
    TempFile file("odd-frames");
    auto arp = test::Hex("020000000002 020000000001 0806");
    arp.resize(42, 0);
    auto v6 = Ethernet(Datagram("10.0.0.1", "10.0.0.2", 6, 40));
    v6[14] = 0x60; // Ethernet says IPv4, the datagram says version 6
    const auto cut = test::Hex("020000000002 0200");
    auto header19 = Ethernet(Datagram("10.0.0.1", "10.0.0.2", 6, 20));
    header19.resize(14 + 19);
    // Nothing captured at all: skipped as too short, as other readers skip it, and the rest is read.
    const Record empty{};
    test::WritePcap(file.Path(), DLT_EN10MB,
                    {Record{arp}, Record{v6}, Record{cut}, Record{header19, 14 + 19}, empty,
                     Record{Ethernet(Datagram("10.0.0.1", "10.0.0.2", 6, 40)), 0}});
    CTrafficTable table;
    const FileRun run = ReadThrough(table, file.Path(), std::nullopt);
    EXPECT_EQ(run.m_end, CaptureEnd::EndOfInput) << run.m_strError;
    CaptureCounters expected;
    expected.m_nFrames = 6;
    expected.m_nCounted = 1;
    expected.m_nNotIp = 2;
    expected.m_nTooShort = 3;
    EXPECT_EQ(run.m_stats.m_counters, expected);
    EXPECT_EQ(table.EntryCount(), 1U);
}

// Files that are damaged in different ways: the reader says where and why, once, and keeps what it counted.
TEST(SnifferFile, DamagedFilesFailWithTheirReason) {
    TempFile good("good");
    std::vector<Record> records;
    for (int i = 0; i < 3; ++i) {
        records.push_back(Record{Ethernet(Datagram("10.0.0.1", "10.0.0.2", 17, 100))});
    }
    test::WritePcap(good.Path(), DLT_EN10MB, records);
    const std::vector<std::uint8_t> bytes = good.ReadBytes();
    constexpr std::size_t kFileHeader = 24;
    constexpr std::size_t kRecord = 16 + 114;
    auto withLength = [&](std::uint32_t caplen, std::uint32_t len) {
        auto b = bytes;
        const std::size_t at = kFileHeader + kRecord; // the second record
        for (int i = 0; i < 4; ++i) {
            b[at + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(caplen >> (8 * i));
            b[at + 12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(len >> (8 * i));
        }
        return b;
    };
    auto linkType = [&](std::uint8_t type) {
        auto b = bytes;
        b[20] = type;
        return b;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> content;
        const char* reason;      // part of the message
        std::size_t countedRows; // entries counted before the damage
        std::uint64_t packets;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "", 0, 0},
        {"not a capture", std::vector<std::uint8_t>(100, 'x'), "not a pcap or pcapng capture file", 0, 0},
        {"header cut", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 10), "", 0, 0},
        {"record cut", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + kFileHeader + kRecord + 40),
         "the file is damaged after 1 packet: ", 1, 1},
        // Damage, or a record longer than libpcap takes: it cannot tell, so neither can the message.
        {"huge record", withLength(0xFFFFFFF0U, 0xFFFFFFF0U),
         "libpcap cannot read the file after 1 packet: ", 1, 1},
        // The empty record is skipped; the bytes after it are no record header libpcap takes.
        {"zero-length record", withLength(0, 0), "libpcap cannot read the file after 2 packets: ", 1, 1},
        {"unknown link type", linkType(105), "link type DLT_IEEE802_11 is not supported", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file("damaged");
        file.WriteBytes(c.content);
        CTrafficTable table;
        const FileRun run = ReadThrough(table, file.Path(), std::nullopt);
        EXPECT_EQ(run.m_end, CaptureEnd::Failed);
        EXPECT_EQ(run.m_nCallbacks, 1);
        EXPECT_NE(run.m_strError.find(file.Path() + ": "), std::string::npos) << run.m_strError;
        EXPECT_NE(run.m_strError.find(c.reason), std::string::npos) << run.m_strError;
        EXPECT_EQ(table.EntryCount(), c.countedRows);
        EXPECT_EQ(run.m_stats.m_counters.m_nCounted, c.packets);
    }
}

TEST(SnifferFile, MissingFileNamesTheFile) {
    CTrafficTable table;
    const FileRun run = ReadThrough(table, "/nonexistent/capture.pcap", std::nullopt);
    EXPECT_EQ(run.m_end, CaptureEnd::Failed);
    EXPECT_EQ(run.m_strError, "/nonexistent/capture.pcap: No such file or directory");
}

// A file long enough that the capture thread is still reading when it is stopped.
class LongFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_file = std::make_unique<TempFile>("long");
        std::vector<Record> records;
        for (int i = 0; i < 400000; ++i) {
            const std::string remote =
                "10.1." + std::to_string(i % 250) + "." + std::to_string(i / 250 % 250);
            records.push_back(Record{Ethernet(Datagram("10.0.0.1", remote, 17, 60))});
        }
        test::WritePcap(s_file->Path(), DLT_EN10MB, records);
    }
    static void TearDownTestSuite() { s_file.reset(); }
    static std::unique_ptr<TempFile> s_file;
};
std::unique_ptr<TempFile> LongFile::s_file;

TEST_F(LongFile, NothingReachesTheTableAfterStop) {
    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    std::atomic<int> callbacks{0};
    sniffer.SetEndCallback([&callbacks](CaptureEnd, const std::string&) { ++callbacks; });
    ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(s_file->Path()), std::nullopt));
    while (table.EntryCount() == 0) {
        std::this_thread::yield();
    }
    sniffer.StopSniffing();
    const auto packetsInTable = [&table] {
        std::uint64_t packets = 0;
        for (const CTrafficEntry& entry : table.Snapshot()) {
            packets += entry.m_nSendPackets + entry.m_nRcvPackets;
        }
        return packets;
    };
    const std::uint64_t packets = packetsInTable();
    EXPECT_LT(packets, 400000U) << "the file was read to its end before the stop; make it longer";
    EXPECT_FALSE(sniffer.IsRunning());
    EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Stopped);
    EXPECT_EQ(callbacks.load(), 0); // a stop asked for is no news to the caller
    // Every packet read before the stop is in the table, and none comes after it.
    EXPECT_EQ(sniffer.Stats().m_counters.m_nCounted, packets);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(packetsInTable(), packets);
}

TEST_F(LongFile, StartWhileRunningRestartsWithOneThread) {
    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(s_file->Path()), std::nullopt));
    ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(s_file->Path()), std::nullopt));
    ASSERT_TRUE(sniffer.WaitUntilEnded(30s));
    // Had the first thread kept going, the second would see its packets counted on top.
    EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::EndOfInput);
    EXPECT_EQ(sniffer.Stats().m_counters.m_nCounted, 400000U);
    EXPECT_EQ(table.EntryCount(), 62500U); // 250 x 250 remote addresses
}

TEST_F(LongFile, DestroyingARunningSnifferStopsIt) {
    CTrafficTable table;
    {
        CSniffer sniffer;
        sniffer.Initialize(&table);
        ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(s_file->Path()), std::nullopt));
    }
    const std::size_t entries = table.EntryCount();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(table.EntryCount(), entries);
}

TEST(Sniffer, StopWithoutStartReturnsAndStartWithoutTableFails) {
    CSniffer sniffer;
    sniffer.StopSniffing();
    EXPECT_FALSE(sniffer.IsRunning());
    EXPECT_FALSE(sniffer.StartSniffing(std::make_unique<CFileSource>("x"), std::nullopt));
    EXPECT_EQ(sniffer.GetErrorCode(), kErrorThread);
}

TEST(Sniffer, LiveStartOnAForeignAddressFailsOnce) {
    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    const test::FailureLog log(sniffer);
    // 192.0.2.0/24 is reserved for documentation and is nobody's address.
    sniffer.m_strInterfaceAddress = "192.0.2.77";
    ASSERT_TRUE(sniffer.StartSniffing());
    ASSERT_TRUE(sniffer.WaitUntilEnded(5s));
    EXPECT_FALSE(sniffer.IsRunning());
    sniffer.StopSniffing();
    const std::vector<std::string> failures = log.Texts();
    ASSERT_EQ(failures.size(), 1U);
    EXPECT_EQ(failures[0], "192.0.2.77: not an address of this machine");
    EXPECT_EQ(sniffer.GetErrorText(), failures[0]);
    EXPECT_EQ(sniffer.GetErrorCode(), kErrorOpen);
}

// A pipe that stays open without data (a writer that went quiet) must not keep a stop waiting, whether the
// reader waits for the file header or for the next record, in either format, and also when the program
// blocked every signal before it started the capture (the capture thread inherits the mask).
TEST(SnifferFile, StopEndsAReadThatWaitsOnAQuietPipe) {
    TempFile pcapHeader("fifo-pcap-header");
    test::WritePcap(pcapHeader.Path(), DLT_EN10MB, {});
    const std::vector<std::uint8_t> pcapngSection =
        test::Hex("0A0D0D0A 1C000000 4D3C2B1A 0100 0000 FFFFFFFFFFFFFFFF 1C000000");
    std::vector<std::uint8_t> pcapngPacket = pcapngSection;
    for (const auto& block :
         {test::Hex("01000000 14000000 0100 0000 00000000 14000000"),
          test::Hex("06000000 20000000 00000000 00000000 00000000 00000000 00000000 20000000")}) {
        pcapngPacket.insert(pcapngPacket.end(), block.begin(), block.end());
    }
    struct Case {
        const char* name;
        std::vector<std::uint8_t> sent; // before the writer goes quiet
    };
    const std::vector<Case> cases = {
        {"waiting for the first bytes", {}},
        {"pcap, waiting for a record", pcapHeader.ReadBytes()},
        {"pcapng, waiting for an interface", pcapngSection},
        {"pcapng, waiting for the next packet", pcapngPacket},
    };
    for (const bool signalsBlocked : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (signalsBlocked ? ", signals blocked" : ""));
            TempFile fifo("fifo");
            ASSERT_EQ(::mkfifo(fifo.Path().c_str(), 0600), 0);
            // Read and write: the open does not wait for a reader, and the pipe never reports its end.
            const int writer = ::open(fifo.Path().c_str(), O_RDWR);
            ASSERT_GE(writer, 0);
            ASSERT_EQ(::write(writer, c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
            CTrafficTable table;
            CSniffer sniffer;
            sniffer.Initialize(&table);
            const test::FailureLog log(sniffer);
            sigset_t all;
            sigset_t before;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, signalsBlocked ? &all : nullptr, &before);
            const bool started =
                sniffer.StartSniffing(std::make_unique<CFileSource>(fifo.Path()), std::nullopt);
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            ASSERT_TRUE(started);
            std::this_thread::sleep_for(100ms); // let the capture thread block in its read
            const auto start = std::chrono::steady_clock::now();
            sniffer.StopSniffing();
            EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // a hang guard: it takes milliseconds
            EXPECT_FALSE(sniffer.IsRunning());
            EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Stopped) << sniffer.GetErrorText();
            EXPECT_TRUE(log.Texts().empty()) << log.Texts().front();
            ::close(writer);
        }
    }
}

// While a capture reads a pipe, the process's own handler of the wake signal still gets every arrival
// that is not a capture's wake-up, and it is back in place once the capture is gone.
TEST(SnifferFile, TheProcessKeepsItsHandlerOfTheWakeSignal) {
    static std::atomic<int> s_nOwnSignals{0};
    struct sigaction own {};
    own.sa_handler = [](int) { ++s_nOwnSignals; };
    sigemptyset(&own.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(CPacketSource::WakeSignal(), &own, &before), 0);
    TempFile fifo("fifo-handler");
    ASSERT_EQ(::mkfifo(fifo.Path().c_str(), 0600), 0);
    const int writer = ::open(fifo.Path().c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    {
        CTrafficTable table;
        CSniffer sniffer;
        sniffer.Initialize(&table);
        ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(fifo.Path()), std::nullopt));
        std::this_thread::sleep_for(100ms); // the source has installed its handler and waits in its read
        ASSERT_EQ(::kill(::getpid(), CPacketSource::WakeSignal()), 0);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (s_nOwnSignals == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(s_nOwnSignals.load(), 1);
        EXPECT_TRUE(sniffer.IsRunning()); // someone else's signal is no stop
        sniffer.StopSniffing();
        EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Stopped);
    }
    EXPECT_EQ(s_nOwnSignals.load(), 1); // the stop's own wake-ups are not passed on
    struct sigaction now {};
    ASSERT_EQ(sigaction(CPacketSource::WakeSignal(), &before, &now), 0);
    EXPECT_EQ(now.sa_handler, own.sa_handler);
    ::close(writer);
}

// A read that no wake-up reaches, as one from a hung file system: it returns only when the test lets it.
class CStuckSource final : public CSampleSource {
public:
    struct State {
        std::mutex m_mutex;
        std::condition_variable m_changed;
        bool m_bReading = false;
        bool m_bReleased = false;
        bool m_bDestroyed = false;
    };
    explicit CStuckSource(std::shared_ptr<State> state) : m_pState(std::move(state)) {}
    ~CStuckSource() override {
        const std::lock_guard lock(m_pState->m_mutex);
        m_pState->m_bDestroyed = true;
        m_pState->m_changed.notify_all();
    }
    bool Open() override { return true; }
    ReadStatus ReadSamples(int, SampleBuffer& samples, CaptureCounters& counters) override {
        std::unique_lock lock(m_pState->m_mutex);
        m_pState->m_bReading = true;
        m_pState->m_changed.notify_all();
        m_pState->m_changed.wait(lock, [this] { return m_pState->m_bReleased; });
        // What the read finally brings must not reach a table that may be gone.
        samples.push_back(PacketSample{0x0A000001, 0x0A000002, 60, 17, IpFamily::Ipv4, 1});
        ++counters.m_nFrames;
        return ReadStatus::Frames;
    }
    void BreakLoop() override {}
    void Close() override {}
    [[nodiscard]] std::optional<std::uint64_t> KernelDrops() override { return std::nullopt; }
    [[nodiscard]] std::string Describe() const override { return "stuck source"; }

private:
    std::shared_ptr<State> m_pState;
};

TEST(Sniffer, AStopThatIsNotAnsweredLetsTheThreadGo) {
    const auto state = std::make_shared<CStuckSource::State>();
    {
        auto table = std::make_unique<CTrafficTable>();
        auto sniffer = std::make_unique<CSniffer>();
        sniffer->Initialize(table.get());
        std::vector<std::string> failures; // the callback runs on this thread here
        sniffer->SetEndCallback([&failures](CaptureEnd end, const std::string& text) {
            failures.push_back(end == CaptureEnd::Failed ? text : "not a failure");
        });
        ASSERT_TRUE(sniffer->StartSniffing(std::make_unique<CStuckSource>(state), std::nullopt));
        {
            std::unique_lock lock(state->m_mutex);
            ASSERT_TRUE(state->m_changed.wait_for(lock, 10s, [&state] { return state->m_bReading; }));
        }
        const auto start = std::chrono::steady_clock::now();
        sniffer->StopSniffing();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, CSniffer::kStopTimeout);
        EXPECT_LT(took, CSniffer::kStopTimeout + 2s);
        EXPECT_FALSE(sniffer->IsRunning());
        EXPECT_EQ(sniffer->LastEnd(), CaptureEnd::Failed);
        EXPECT_EQ(sniffer->GetErrorCode(), kErrorStop);
        const std::string text =
            "stuck source: the capture did not stop: a read did not return within 2 seconds of "
            "the stop";
        EXPECT_EQ(sniffer->GetErrorText(), text);
        EXPECT_EQ(failures, std::vector<std::string>{text});
        // The window would go on; here the sniffer and its table go, before the read returns.
        sniffer.reset();
        table.reset();
    }
    std::unique_lock lock(state->m_mutex);
    state->m_bReleased = true;
    state->m_changed.notify_all();
    // The thread ends by itself and frees what it held; AddressSanitizer reports any touch of the rest.
    EXPECT_TRUE(state->m_changed.wait_for(lock, 10s, [&state] { return state->m_bDestroyed; }));
}

// The folding thread is woken for several full buffers at once when reading a file, but input from a pipe
// may pause at any time: what was read before the pause must reach the table without waiting for more.
TEST(SnifferFile, WhatAPipeDeliveredBeforeAPauseIsCounted) {
    TempFile fifo("fifo-burst");
    ASSERT_EQ(::mkfifo(fifo.Path().c_str(), 0600), 0);
    const int writer = ::open(fifo.Path().c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    // Two batches of the reading thread and a little more; the rest of the third batch never comes.
    constexpr std::uint64_t kBatch = 4096; // frames per read of the capture thread
    constexpr std::uint64_t kFrames = 2 * kBatch + 10;
    TempFile burst("fifo-burst-bytes");
    std::vector<Record> records;
    records.reserve(kFrames);
    for (std::uint64_t i = 0; i < kFrames; ++i) {
        records.push_back(
            Record{Ethernet(Datagram("10.0.0.1", "10.0.1." + std::to_string(i % 200), 17, 60))});
    }
    test::WritePcap(burst.Path(), DLT_EN10MB, records);
    const std::string bytes = test::ReadFile(burst.Path());

    CTrafficTable table;
    CSniffer sniffer;
    sniffer.Initialize(&table);
    const test::FailureLog log(sniffer);
    ASSERT_TRUE(sniffer.StartSniffing(std::make_unique<CFileSource>(fifo.Path()), std::nullopt));
    // More than the pipe holds: this returns once the capture thread has read most of it.
    ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // The two full batches are folded although the third waits for input; the wait is a hang guard only.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sniffer.Stats().m_counters.m_nCounted < 2 * kBatch &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(sniffer.Stats().m_counters.m_nCounted, 2 * kBatch);
    EXPECT_TRUE(sniffer.IsRunning());
    sniffer.StopSniffing();
    EXPECT_EQ(sniffer.LastEnd(), CaptureEnd::Stopped);
    EXPECT_TRUE(log.Texts().empty());
    ::close(writer);
}

} // namespace
} // namespace flowsentry
