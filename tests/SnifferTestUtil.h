// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/Sniffer.h"

#include <mutex>
#include <string>
#include <vector>

namespace flowsentry::test {

// Keeps the failure texts a sniffer reports through its end callback, which runs on the capture thread.
// Declare it after the sniffer and stop the sniffer before it goes.
class FailureLog {
public:
    explicit FailureLog(CSniffer& sniffer) {
        sniffer.SetEndCallback([this](CaptureEnd end, const std::string& text) {
            const std::lock_guard lock(m_mutex);
            if (end == CaptureEnd::Failed) {
                m_texts.push_back(text);
            }
        });
    }

    [[nodiscard]] std::vector<std::string> Texts() const {
        const std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

} // namespace flowsentry::test
