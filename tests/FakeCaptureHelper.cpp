// SPDX-License-Identifier: GPL-3.0-or-later
// Stands in for flowsentry-capture in tests of how the parent copes with a helper that misbehaves. The
// behaviour is chosen by the address the parent passes ("--address MODE").
#include "capture/SampleStream.h"

#include <cstring>
#include <signal.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using flowsentry::CSampleStreamWriter;

void Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            _exit(0);
        }
        done += static_cast<std::size_t>(n);
    }
}

void Flush(CSampleStreamWriter& writer) {
    Write(writer.Bytes());
    writer.Consumed(writer.Bytes().size());
}

// 1,000 datagrams of 100 bytes from 10.0.0.2 to 10.0.0.1 (UDP).
void SendSamples(CSampleStreamWriter& writer) {
    const flowsentry::PacketSample sample{0x0A000002, 0x0A000001, 100, 17, flowsentry::IpFamily::Ipv4,
                                          1,          1700000000};
    for (int i = 0; i < 1000; ++i) {
        writer.AddSample(sample);
    }
    writer.AddStats({1000, 0, 0, 0});
}

// Waits for the test's SIGUSR1 (blocked since the start, so that none is lost).
void AwaitSignal() {
    sigset_t go;
    sigemptyset(&go);
    sigaddset(&go, SIGUSR1);
    int signal = 0;
    sigwait(&go, &signal);
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc == 3 ? argv[2] : "";
    sigset_t go;
    sigemptyset(&go);
    sigaddset(&go, SIGUSR1);
    sigprocmask(SIG_BLOCK, &go, nullptr);
    CSampleStreamWriter writer;
    if (mode == "garbage") {
        const char text[] = "this is not what the helper writes\n";
        Write({reinterpret_cast<const std::uint8_t*>(text), sizeof text - 1});
        pause();
    } else if (mode == "version") {
        std::vector<std::uint8_t> header(writer.Bytes().begin(), writer.Bytes().end());
        header[8] = 99;
        Write(header);
        pause();
    } else if (mode == "permission") {
        writer.AddError(
            flowsentry::StreamErrorKind::Permission,
            "You don't have permission to capture on that device (socket: Operation not permitted)");
        Flush(writer);
        return 1;
    } else if (mode == "silent") {
        return 3;
    } else if (mode == "crash") {
        writer.AddReady("fake0", 1);
        SendSamples(writer);
        Flush(writer);
        usleep(100 * 1000);
        raise(SIGKILL);
    } else if (mode == "cut") {
        writer.AddReady("fake0", 1);
        SendSamples(writer);
        writer.AddStats({1000, 0, 0, 0});
        const auto bytes = writer.Bytes();
        Write(bytes.first(bytes.size() - 5));
        return 0;
    } else if (mode == "bad-record") {
        writer.AddReady("fake0", 1);
        SendSamples(writer);
        Flush(writer);
        const std::uint32_t record[2] = {77, 0};
        Write({reinterpret_cast<const std::uint8_t*>(record), sizeof record});
        pause();
    } else if (mode == "link") {
        // Three changes of the link in a row, with traffic before and after.
        writer.AddReady("fake0", 1);
        SendSamples(writer);
        writer.AddLink(flowsentry::LinkState::Down);
        writer.AddLink(flowsentry::LinkState::NoCarrier);
        writer.AddLink(flowsentry::LinkState::Up);
        SendSamples(writer);
        Flush(writer);
        pause();
    } else if (mode == "link-steps") {
        // Down at once; each SIGUSR1 takes the next step: up with traffic, then without a carrier.
        writer.AddReady("fake0", 1);
        writer.AddLink(flowsentry::LinkState::Down);
        Flush(writer);
        AwaitSignal();
        writer.AddLink(flowsentry::LinkState::Up);
        SendSamples(writer);
        Flush(writer);
        AwaitSignal();
        writer.AddLink(flowsentry::LinkState::NoCarrier);
        Flush(writer);
        pause();
    } else if (mode == "stubborn") {
        // Ignores the request to stop; only SIGKILL ends it.
        signal(SIGTERM, SIG_IGN);
        writer.AddReady("fake0", 1);
        SendSamples(writer);
        Flush(writer);
        while (true) {
            pause();
        }
    }
    return 2;
}
