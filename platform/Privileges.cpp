#include "platform/Privileges.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <unistd.h>

namespace flowsentry {

namespace {

constexpr std::uint64_t Bit(unsigned cap) { return std::uint64_t{1} << cap; }

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

}  // namespace

std::optional<std::uint64_t> ParseCapEff(std::string_view statusText) {
    constexpr std::string_view kKey = "CapEff:";
    std::size_t pos = 0;
    while (pos < statusText.size()) {
        std::size_t end = statusText.find('\n', pos);
        if (end == std::string_view::npos) {
            end = statusText.size();
        }
        std::string_view line = statusText.substr(pos, end - pos);
        pos = end + 1;
        if (!line.starts_with(kKey)) {
            continue;
        }
        line.remove_prefix(kKey.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        std::uint64_t value = 0;
        const char* first = line.data();
        const char* last = line.data() + line.size();
        const auto [ptr, ec] = std::from_chars(first, last, value, 16);
        if (line.empty() || ec != std::errc() || ptr != last) {
            return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

CapturePrivileges AssessCapturePrivileges(unsigned effectiveUid, std::string_view statusText,
                                          std::string_view exePath) {
    if (effectiveUid == 0) {
        return {true, {}};
    }
    const std::optional<std::uint64_t> capEff = ParseCapEff(statusText);
    const bool bRaw = capEff && (*capEff & Bit(kCapNetRaw)) != 0;
    const bool bAdmin = capEff && (*capEff & Bit(kCapNetAdmin)) != 0;
    if (bRaw && bAdmin) {
        return {true, {}};
    }

    std::string missing;
    if (!bRaw) {
        missing = "CAP_NET_RAW";
    }
    if (!bAdmin) {
        missing += missing.empty() ? "CAP_NET_ADMIN" : " and CAP_NET_ADMIN";
    }
    std::string text = "Capturing traffic needs root or the capabilities CAP_NET_RAW and CAP_NET_ADMIN, and this "
                       "program lacks " +
                       missing + ".\n\nTo capture as an ordinary user, give the program both capabilities once:\n";
    text += "    sudo setcap cap_net_raw,cap_net_admin=eip " +
            (exePath.empty() ? std::string("<path of the program>") : ShellQuoted(exePath)) + "\n";
    text += "Installing the Flowsentry package does this for you (rebuilding or copying the program removes "
            "them again). Or run the program as root.";
    return {false, std::move(text)};
}

CapturePrivileges CheckCapturePrivileges() {
    std::ifstream status("/proc/self/status");
    const std::string statusText{std::istreambuf_iterator<char>(status), std::istreambuf_iterator<char>()};
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return AssessCapturePrivileges(static_cast<unsigned>(geteuid()), statusText, ec ? std::string() : exe.string());
}

}  // namespace flowsentry
