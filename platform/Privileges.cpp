// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Privileges.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace flowsentry {

namespace {

constexpr std::uint64_t Bit(unsigned cap) {
    return std::uint64_t{1} << cap;
}

// A path as one shell word, so that the command can be pasted even when the path has spaces.
std::string ShellQuoted(std::string_view path) {
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
        std::string_view::npos) {
        return std::string(path);
    }
    std::string quoted = "'";
    for (const char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::uint32_t Le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8U |
           static_cast<std::uint32_t>(at[2]) << 16U | static_cast<std::uint32_t>(at[3]) << 24U;
}

} // namespace

std::optional<FileCapabilities> ParseFileCapabilities(std::span<const std::uint8_t> attribute) {
    // linux/capability.h: a little-endian magic with the revision in the top byte and the effective flag in
    // bit 0, then (permitted, inheritable) pairs of 32 bits: one pair in revision 1, two in 2 and 3 (which
    // adds the owner's root id of a user namespace).
    constexpr std::uint32_t kRevisionMask = 0xFF000000U;
    constexpr std::uint32_t kFlagEffective = 0x000001U;
    if (attribute.size() < 4) {
        return std::nullopt;
    }
    const std::uint32_t magic = Le32(attribute.data());
    std::size_t pairs = 0;
    std::size_t size = 0;
    switch (magic & kRevisionMask) {
    case 0x01000000U:
        pairs = 1;
        size = 12;
        break;
    case 0x02000000U:
        pairs = 2;
        size = 20;
        break;
    case 0x03000000U:
        pairs = 2;
        size = 24;
        break;
    default:
        return std::nullopt;
    }
    if (attribute.size() != size || (magic & ~kRevisionMask & ~kFlagEffective) != 0) {
        return std::nullopt;
    }
    FileCapabilities caps;
    caps.m_bEffective = (magic & kFlagEffective) != 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        caps.m_nPermitted |= std::uint64_t{Le32(attribute.data() + 4 + 8 * i)} << (32 * i);
        caps.m_nInheritable |= std::uint64_t{Le32(attribute.data() + 8 + 8 * i)} << (32 * i);
    }
    return caps;
}

std::string CaptureHelperPath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path dir = ec ? std::filesystem::path("/usr/bin") : exe.parent_path();
    const std::filesystem::path installed = dir / "../libexec/flowsentry/flowsentry-capture";
    const std::filesystem::path built = dir / "../helper/flowsentry-capture";
    for (const auto& candidate : {installed, built}) {
        if (std::filesystem::exists(candidate, ec)) {
            return candidate.lexically_normal().string();
        }
    }
    return installed.lexically_normal().string();
}

HelperFacts GatherHelperFacts(const std::string& helperPath) {
    HelperFacts facts;
    facts.m_nEffectiveUid = static_cast<unsigned>(geteuid());
    facts.m_strHelper = helperPath;
    std::array<char, 16384> buffer{};
    passwd user{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &user, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        facts.m_strUser = user.pw_name;
    } else {
        facts.m_strUser = std::to_string(geteuid());
    }
    facts.m_bExists = access(helperPath.c_str(), F_OK) == 0;
    facts.m_bExecutable = faccessat(AT_FDCWD, helperPath.c_str(), X_OK, AT_EACCESS) == 0;
    struct statvfs fs {};
    facts.m_bNoSuidMount = statvfs(helperPath.c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0;
    std::array<std::uint8_t, 64> attribute{};
    const ssize_t n = getxattr(helperPath.c_str(), "security.capability", attribute.data(), attribute.size());
    if (n > 0) {
        facts.m_capabilities =
            ParseFileCapabilities(std::span(attribute.data(), static_cast<std::size_t>(n)));
    }
    group entry{};
    group* groupFound = nullptr;
    std::vector<char> groupBuffer(1 << 16);
    if (getgrnam_r(kCaptureGroup, &entry, groupBuffer.data(), groupBuffer.size(), &groupFound) == 0 &&
        groupFound != nullptr) {
        facts.m_bGroupExists = true;
        for (char** member = entry.gr_mem; *member != nullptr; ++member) {
            facts.m_bUserInGroupList = facts.m_bUserInGroupList || facts.m_strUser == *member;
        }
        if (found != nullptr && user.pw_gid == entry.gr_gid) {
            facts.m_bUserInGroupList = true;
        }
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
        const int count = getgroups(static_cast<int>(groups.size()), groups.data());
        facts.m_bProcessInGroup = getegid() == entry.gr_gid;
        for (int i = 0; i < count; ++i) {
            facts.m_bProcessInGroup =
                facts.m_bProcessInGroup || groups[static_cast<std::size_t>(i)] == entry.gr_gid;
        }
    }
    return facts;
}

CapturePrivileges AssessCapturePrivileges(const HelperFacts& facts) {
    const std::string helper = ShellQuoted(facts.m_strHelper);
    const std::string group = kCaptureGroup;
    if (!facts.m_bExists) {
        return {false, "Capturing needs the capture helper, and it is not installed: " + facts.m_strHelper +
                           " does not exist.\n\nReinstall Flowsentry (or, in a build tree, build the target "
                           "flowsentry-capture)."};
    }
    if (facts.m_nEffectiveUid == 0) {
        return {true, {}};
    }
    if (!facts.m_bExecutable) {
        if (facts.m_bUserInGroupList && !facts.m_bProcessInGroup) {
            return {false, "The user " + facts.m_strUser + " is in the group '" + group +
                               "', but this login began before that was so.\n\nLog out and in again (or run "
                               "'newgrp " +
                               group + "' in a terminal), then capture."};
        }
        if (!facts.m_bUserInGroupList) {
            return {false, "Capturing traffic is allowed to members of the group '" + group +
                               "' and to root, and "
                               "the user " +
                               facts.m_strUser +
                               " is not a member.\n\nTo join the group, run:\n"
                               "    sudo usermod -aG " +
                               group + " " + facts.m_strUser +
                               "\nthen log out and in again. Or run Flowsentry as root."};
        }
        return {false, "The capture helper " + facts.m_strHelper + " cannot be run by the user " +
                           facts.m_strUser + ", although the user is in the group '" + group +
                           "'.\n\nReinstall Flowsentry to give the helper its owner and mode back "
                           "(root:" +
                           group + ", 0750)."};
    }
    if (facts.m_bNoSuidMount) {
        return {false,
                "The capture helper " + facts.m_strHelper +
                    " lies on a file system mounted with 'nosuid', where file capabilities have no "
                    "effect, so it cannot capture.\n\nInstall Flowsentry on another file system, or run it "
                    "as root."};
    }
    const bool bRaw = facts.m_capabilities && facts.m_capabilities->m_bEffective &&
                      (facts.m_capabilities->m_nPermitted & Bit(kCapNetRaw)) != 0;
    if (!bRaw) {
        return {false,
                "The capture helper " + facts.m_strHelper +
                    " lacks the capability CAP_NET_RAW that capturing needs (rebuilding or copying the "
                    "helper removes it).\n\nGive it back with:\n    sudo setcap cap_net_raw=ep " +
                    helper + "\nor reinstall Flowsentry. Or run Flowsentry as root."};
    }
    return {true, {}};
}

CapturePrivileges CheckCapturePrivilegesOf(const std::string& helperPath) {
    return AssessCapturePrivileges(GatherHelperFacts(helperPath));
}

CapturePrivileges CheckCapturePrivileges() {
    return CheckCapturePrivilegesOf(CaptureHelperPath());
}

} // namespace flowsentry
