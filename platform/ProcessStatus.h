// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace flowsentry {

// The text of /proc/<pid>/status ("self" for this process); empty when it cannot be read.
std::string ProcessStatusText(std::string_view pid = "self");

// One field of such a text ("VmRSS", "Umask", "CapEff"): what follows its colon, without the blanks around
// it; nothing when the field is missing.
std::optional<std::string> StatusField(std::string_view statusText, std::string_view name);

// One field of /proc/self/status.
std::optional<std::string> ProcessStatusField(std::string_view name);

} // namespace flowsentry
