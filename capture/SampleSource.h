// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/Datagram.h"
#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flowsentry {

enum class ReadStatus {
    Frames,      // zero or more samples were delivered; read again
    EndOfInput,  // the input is finished (a capture file's end)
    Interrupted, // BreakLoop was called
    Failed,      // see ErrorText()
};

// Whether frames can reach a live capture's interface. Either kind of down means nothing arrives; the
// capture stays open and counts again when the link is up. The helper's stream carries these values.
enum class LinkState : std::uint32_t {
    Up = 0,
    Down = 1,      // taken down by an administrator (IFF_UP off)
    NoCarrier = 2, // up, but without a link: cable out, the other end of a veth down (IFF_RUNNING off)
};

// What a change to `state` means to the user: "the interface is down", "... is up again".
[[nodiscard]] const char* LinkChangeText(LinkState state);

// Where the sniffer's samples come from: a capture file read in this process, or the capture helper that
// reads a live interface. The capture thread opens, reads and closes the source; any thread may call
// BreakLoop to end a read that waits.
class CSampleSource {
public:
    CSampleSource() = default;
    CSampleSource(const CSampleSource&) = delete;
    CSampleSource& operator=(const CSampleSource&) = delete;
    virtual ~CSampleSource();

    // Opens the source; on failure returns false and ErrorText() says why in the user's terms.
    virtual bool Open() = 0;
    // Appends the samples of up to `maxFrames` frames to `samples` and keeps `counters` (totals of the run)
    // up to date.
    virtual ReadStatus ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) = 0;
    // Makes a running or the next read return Interrupted soon. Safe from any thread.
    virtual void BreakLoop() = 0;
    virtual void Close() = 0;
    // Packets the kernel dropped because the capture did not keep up; empty for files.
    [[nodiscard]] virtual std::optional<std::uint64_t> KernelDrops() = 0;
    // "eth0 (10.0.0.1)" or the file's name, for messages.
    [[nodiscard]] virtual std::string Describe() const = 0;
    [[nodiscard]] const std::string& ErrorText() const { return m_strError; }
    // What every front end says when the source cannot be opened or read: its name, then why.
    [[nodiscard]] std::string FailureText() const { return Describe() + ": " + m_strError; }
    // How far into its input the source has read, in bytes, for a progress bar; 0 where that cannot be told
    // (a pipe, a live capture). Called by the reading thread only.
    [[nodiscard]] virtual std::uint64_t BytesRead() const { return 0; }
    // Whether reading costs enough (decoding frames) to run beside the fold on a thread of its own.
    [[nodiscard]] virtual bool DecodesWhileReading() const { return true; }
    // Whether a read may wait for input that comes in bursts (a pipe), so that what it has read should go
    // to the fold at once.
    [[nodiscard]] virtual bool ReadsMayWait() const { return true; }
    // The state of the captured interface's link as last reported; a read returns soon after it changes.
    // Always Up for sources without a link (files).
    [[nodiscard]] virtual LinkState Link() const { return LinkState::Up; }

protected:
    void SetError(std::string text) { m_strError = std::move(text); }

private:
    std::string m_strError;
};

} // namespace flowsentry
