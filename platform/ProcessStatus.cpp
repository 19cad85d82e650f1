// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProcessStatus.h"

#include <fstream>

namespace flowsentry {

std::optional<std::string> ProcessStatusField(std::string_view name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':') {
            const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return std::nullopt;
}

} // namespace flowsentry
