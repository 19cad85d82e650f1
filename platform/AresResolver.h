// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/NameCache.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace flowsentry {

// Reverse look-ups through c-ares on one thread of their own. c-ares rather than getnameinfo on a pool:
// one thread carries any number of look-ups (no thread per stuck query), it has its own short time-outs
// and tries, and a look-up that hangs is simply dropped when the resolver goes (ares_destroy), where a
// thread blocked in getnameinfo could only be waited for. Its own thread rather than the window's event
// loop, so that the CLI, which has no event loop, uses the same code.
//
// Answers come through the handler on the resolver's thread; the handler hands them on (a queued signal
// in the window, a locked list in the CLI) and must not block. Look-ups that never got their answer get
// none when the resolver is destroyed.
class CAresResolver final : public IResolver {
public:
    using Handler = std::function<void(NameAnswer)>;
    struct Settings {
        int m_nTimeoutMs = 2000; // per try; c-ares doubles it for each further server round
        int m_nTries = 2;
        // The DNS servers ("127.0.0.1:5353,[::1]:53"); empty: the system's (resolv.conf). Tests name a
        // server of their own on loopback.
        std::string m_strServers;
    };

    explicit CAresResolver(Handler handler) : CAresResolver(std::move(handler), Settings{}) {}
    CAresResolver(Handler handler, Settings settings);
    ~CAresResolver() override;
    CAresResolver(const CAresResolver&) = delete;
    CAresResolver& operator=(const CAresResolver&) = delete;

    void Ask(const IpAddress& address) override;
    // Empty, or why c-ares could not start (every address then stays numeric).
    [[nodiscard]] const std::string& Error() const { return m_strError; }

private:
    void Run(void* channel);

    Handler m_handler;
    std::string m_strError;
    int m_nWakeFd = -1; // an eventfd: Ask and the destructor wake the thread's poll
    std::mutex m_mutex;
    std::vector<IpAddress> m_asked; // under m_mutex: asked, not yet given to c-ares
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

} // namespace flowsentry
