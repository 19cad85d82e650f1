// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProcessStatus.h"

#include <fstream>
#include <sstream>

namespace flowsentry {

std::string ProcessStatusText(std::string_view pid) {
    std::ifstream in("/proc/" + std::string(pid) + "/status");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> StatusField(std::string_view statusText, std::string_view name) {
    constexpr std::string_view kBlanks = " \t\r";
    while (!statusText.empty()) {
        const std::size_t end = statusText.find('\n');
        std::string_view line = statusText.substr(0, end);
        statusText.remove_prefix(end == std::string_view::npos ? statusText.size() : end + 1);
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':') {
            line.remove_prefix(name.size() + 1);
            const std::size_t first = line.find_first_not_of(kBlanks);
            if (first == std::string_view::npos) {
                return std::string();
            }
            return std::string(line.substr(first, line.find_last_not_of(kBlanks) - first + 1));
        }
    }
    return std::nullopt;
}

std::optional<std::string> ProcessStatusField(std::string_view name) {
    return StatusField(ProcessStatusText(), name);
}

} // namespace flowsentry
