// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace flowsentry {

// One field of /proc/self/status ("VmRSS", "Umask"), the text after its colon without the leading blanks;
// nothing when the field is missing.
std::optional<std::string> ProcessStatusField(std::string_view name);

} // namespace flowsentry
