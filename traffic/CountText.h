// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace flowsentry {

// A count with its noun in the right number, for messages: "1 packet", "0 packets", "2 packets".
inline std::string CountText(std::uint64_t count, std::string_view one, std::string_view many) {
    std::string text = std::to_string(count);
    text += ' ';
    text += count == 1 ? one : many;
    return text;
}

inline std::string PacketCountText(std::uint64_t count) {
    return CountText(count, "packet", "packets");
}

} // namespace flowsentry
