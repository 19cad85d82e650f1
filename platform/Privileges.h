// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace flowsentry {

// Capability bits of the kernel's capability sets (linux/capability.h).
inline constexpr unsigned kCapNetRaw = 13;

// The group whose members may run the capture helper.
inline constexpr const char* kCaptureGroup = "flowsentry";

// A file's capabilities as the kernel keeps them in its "security.capability" attribute.
struct FileCapabilities {
    std::uint64_t m_nPermitted = 0;
    std::uint64_t m_nInheritable = 0;
    bool m_bEffective = false; // the permitted set becomes effective when the file runs
};
// Nothing when the attribute is not one the kernel would accept.
std::optional<FileCapabilities> ParseFileCapabilities(std::span<const std::uint8_t> attribute);

// Where the capture helper is: beside an installed program (PREFIX/libexec/flowsentry/), else in a build
// tree (BUILD/helper/). When it is in neither place, the installed place, for messages.
std::string CaptureHelperPath();

// What decides whether this process can capture through the helper. Gathered by GatherHelperFacts;
// tests make their own.
struct HelperFacts {
    unsigned m_nEffectiveUid = 0;
    std::string m_strUser;   // the user's login name
    std::string m_strHelper; // the helper's path
    bool m_bExists = false;
    bool m_bExecutable = false;  // this process may run it
    bool m_bNoSuidMount = false; // its file system ignores file capabilities
    std::optional<FileCapabilities> m_capabilities;
    bool m_bGroupExists = false;
    bool m_bUserInGroupList = false; // the group database lists the user
    bool m_bProcessInGroup = false;  // this login already carries the group
};
HelperFacts GatherHelperFacts(const std::string& helperPath);

struct CapturePrivileges {
    bool bCanCapture = false;
    // Empty when bCanCapture; otherwise one message for the user: what is missing and how to fix it.
    std::string strExplanation;
};

// Decides from given facts: root captures whenever the helper exists; anyone else needs to be allowed to
// run the helper, and the helper needs CAP_NET_RAW as a permitted and effective file capability on a file
// system that honours it.
CapturePrivileges AssessCapturePrivileges(const HelperFacts& facts);

// The same for this process and the helper at CaptureHelperPath(), or at `helperPath`.
CapturePrivileges CheckCapturePrivileges();
CapturePrivileges CheckCapturePrivilegesOf(const std::string& helperPath);

} // namespace flowsentry
