// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/SampleSource.h"

#include <vector>

namespace flowsentry {

// Follows the link of the interface a capture is bound to, through the kernel's routing messages (a netlink
// socket subscribed to link changes): no timer, no wake-up while nothing changes, no privilege needed.
// A packet socket stays bound across down and up, and frames flow on it again once the link is up; only
// the kernel's messages say when that is, and whether the interface went away for good.
class CLinkWatch {
public:
    CLinkWatch() = default;
    CLinkWatch(const CLinkWatch&) = delete;
    CLinkWatch& operator=(const CLinkWatch&) = delete;
    ~CLinkWatch();

    // Watches the interface `packetSocket` is bound to, and asks for its present state (the answer arrives
    // on Fd() like any change). False when it cannot; errno says why.
    bool Open(int packetSocket);
    // Readable when the kernel has news; -1 when not open (poll ignores it then).
    [[nodiscard]] int Fd() const { return m_nFd; }
    // Takes every message waiting on Fd().
    void Read();
    [[nodiscard]] LinkState State() const { return m_state; }
    // The interface was deleted or moved to another network namespace: nothing will ever arrive again.
    [[nodiscard]] bool Gone() const { return m_bGone; }

private:
    bool RequestState();
    void Take(const unsigned char* bytes, std::size_t length);

    int m_nFd = -1;
    int m_nIndex = 0;
    unsigned m_nSequence = 0;
    LinkState m_state = LinkState::Up;
    bool m_bGone = false;
    std::vector<unsigned char> m_buffer;
};

} // namespace flowsentry
