#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace flowsentry {

// Capability bits of the kernel's capability sets (linux/capability.h).
inline constexpr unsigned kCapNetAdmin = 12;
inline constexpr unsigned kCapNetRaw = 13;

// The effective capability set from the text of /proc/<pid>/status (its "CapEff:" line, hexadecimal);
// nothing when the line is missing or not a valid number.
std::optional<std::uint64_t> ParseCapEff(std::string_view statusText);

struct CapturePrivileges {
    bool bCanCapture = false;
    // Empty when bCanCapture; otherwise one message for the user: what is missing and how to fix it.
    std::string strExplanation;
};

// Decides from given facts, so that tests need no particular process: a process captures when its
// effective uid is 0 or its effective set holds both CAP_NET_RAW and CAP_NET_ADMIN.
CapturePrivileges AssessCapturePrivileges(unsigned effectiveUid, std::string_view statusText,
                                          std::string_view exePath);

// The same for this process (geteuid, /proc/self/status, /proc/self/exe).
CapturePrivileges CheckCapturePrivileges();

}  // namespace flowsentry
