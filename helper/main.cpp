// SPDX-License-Identifier: GPL-3.0-or-later
// flowsentry-capture: the only Flowsentry program that holds a capability (cap_net_raw). It opens the live
// capture on the interface that owns one local address, gives up every capability, and writes the decoded
// samples to its standard output as the stream of capture/SampleStream.h, for the window or flowsentry-cli
// that started it. It reads no file, loads nothing on request, and ends when its parent goes.
#include "capture/LinkWatch.h"
#include "capture/PacketSource.h"
#include "capture/SampleStream.h"
#include "traffic/TrafficEntry.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace flowsentry::helper {
namespace {

using Clock = std::chrono::steady_clock;

// Statistics go out with the samples at most this often, and once more this long after the last ones, so
// that the parent's figures are never older than this.
constexpr auto kStatsInterval = std::chrono::milliseconds(100);
// Samples read from the ring before they are written out: one write per block or so.
constexpr std::size_t kSamplesPerWrite = 16384;

// Writes everything; false when the parent has gone (the pipe is closed).
bool WriteAll(CSampleStreamWriter& writer) {
    std::span<const std::uint8_t> bytes = writer.Bytes();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    writer.Consumed(done);
    return true;
}

bool DropCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    return syscall(SYS_capset, &header, data.data()) == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

int Fail(CSampleStreamWriter& writer, StreamErrorKind kind, const std::string& text) {
    writer.AddError(kind, text);
    (void)WriteAll(writer);
    return 1;
}

HelperStats Stats(const CaptureCounters& counters, CLiveSource& source) {
    return {counters.m_nFrames, counters.m_nNotIp, counters.m_nTooShort, source.KernelDrops().value_or(0)};
}

int Run(const std::string& address, int stopFd) {
    CSampleStreamWriter writer;
    CLiveSource source(address);
    if (!source.Open()) {
        const StreamErrorKind kind = source.PermissionDenied() ? StreamErrorKind::Permission
                                     : source.NotOurAddress()  ? StreamErrorKind::NotOurAddress
                                                               : StreamErrorKind::Other;
        return Fail(writer, kind, source.ErrorText());
    }
    // The open socket keeps working without the capability; nothing after this point needs one.
    if (!DropCapabilities()) {
        return Fail(writer, StreamErrorKind::Other,
                    std::string("the capture helper could not give up its capabilities: ") +
                        std::strerror(errno));
    }
    writer.AddReady(source.InterfaceName(), source.LinkType());
    if (!WriteAll(writer)) {
        return 0;
    }

    // A link that goes down and up again leaves the capture open: frames flow on the same socket once it is
    // up, and the parent hears of each change. Without the watch (it needs nothing that can be missing), a
    // link going down ends the capture as any socket error does.
    CLinkWatch link;
    (void)link.Open(source.SelectableFd());
    LinkState reported = LinkState::Up; // what the parent assumes at Ready

    SampleBuffer samples;
    samples.reserve(kSamplesPerWrite);
    CaptureCounters counters;
    auto lastStats = Clock::now();
    bool statsOwed = false;
    while (true) {
        // The output pipe is watched for its reader going away (POLLERR), which needs no events asked for.
        std::array<pollfd, 4> fds = {pollfd{source.SelectableFd(), POLLIN, 0}, pollfd{stopFd, POLLIN, 0},
                                     pollfd{STDOUT_FILENO, 0, 0}, pollfd{link.Fd(), POLLIN, 0}};
        int timeout = -1;
        if (statsOwed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                lastStats + kStatsInterval - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0)) + 1;
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            return Fail(writer, StreamErrorKind::Other,
                        std::string("the capture helper cannot wait for traffic: ") + std::strerror(errno));
        }
        if ((fds[2].revents & (POLLERR | POLLHUP)) != 0) {
            return 0; // the parent has gone; nobody is left to tell
        }
        if ((fds[1].revents & POLLIN) != 0) {
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            // A link going down wakes the socket once with ENETDOWN: taken before libpcap would take it and
            // leave no trace of what woke us.
            const bool errorWake = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            const int socketError = errorWake ? source.TakeSocketError() : 0;
            ReadStatus status = ReadStatus::Frames;
            std::size_t before = 0;
            do {
                before = samples.size();
                status = source.ReadSamples(static_cast<int>(kSamplesPerWrite - samples.size()), samples,
                                            counters);
            } while (status == ReadStatus::Frames && samples.size() > before &&
                     samples.size() < kSamplesPerWrite);
            // Any other error of the socket ends the capture: a poll that keeps reporting it would spin.
            std::string failure = status == ReadStatus::Failed ? source.ErrorText() : std::string();
            if (failure.empty() && errorWake && !(socketError == ENETDOWN && link.Fd() >= 0)) {
                failure = CLiveSource::SocketErrorText(socketError);
            }
            writer.AddSamples(samples);
            samples.clear();
            if (!failure.empty()) {
                writer.AddStats(Stats(counters, source));
                return Fail(writer, StreamErrorKind::Other, failure);
            }
            statsOwed = true;
        }
        if ((fds[3].revents & POLLIN) != 0) {
            link.Read();
            if (link.Gone()) {
                writer.AddStats(Stats(counters, source));
                return Fail(writer, StreamErrorKind::Other, "the interface disappeared");
            }
            if (link.State() != reported) {
                reported = link.State();
                writer.AddLink(reported);
            }
        }
        if (statsOwed && Clock::now() - lastStats >= kStatsInterval) {
            writer.AddStats(Stats(counters, source));
            lastStats = Clock::now();
            statsOwed = false;
        }
        if (!writer.Bytes().empty() && !WriteAll(writer)) {
            return 0;
        }
    }
    writer.AddStats(Stats(counters, source));
    (void)WriteAll(writer);
    return 0;
}

} // namespace
} // namespace flowsentry::helper

int main(int argc, char** argv) {
    // Nothing from the environment may steer a program that holds a capability; it needs none of it.
    clearenv();
    // The parent decides when capture ends: a Ctrl+C in its terminal or a hang-up reaches it, not us, and
    // a closed pipe is noticed as an error.
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Never outlive the parent. Set here: the kernel clears it when a program with capabilities starts.
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);

    if (argc != 3 || std::string_view(argv[1]) != "--address") {
        std::fputs(
            "Usage: flowsentry-capture --address ADDR\n"
            "Captures on the interface that owns the local address ADDR (IPv4 or IPv6) and writes what it "
            "sees to\n"
            "its standard output for Flowsentry, which starts it; it is not meant to be run by hand.\n",
            stderr);
        return 2;
    }
    if (isatty(STDOUT_FILENO) != 0) {
        std::fputs("flowsentry-capture: its output is binary and meant for Flowsentry, not a terminal\n",
                   stderr);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int stopFd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::perror("flowsentry-capture: signalfd");
        return 1;
    }
    // The parent may have died before PR_SET_PDEATHSIG took effect: then the pipe is already closed, and
    // the first poll sees it.
    return flowsentry::helper::Run(argv[2], stopFd);
}
