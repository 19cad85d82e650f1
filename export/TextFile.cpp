#include "export/TextFile.h"

#include "platform/ProcessStatus.h"
#include "platform/SystemError.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flowsentry {

std::string WithTextExtension(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    std::string result(path);
    if (dot == std::string_view::npos || dot + 1 == name.size()) {
        result += ".txt";
    }
    return result;
}

namespace {

std::string SystemError(const std::string& what, int error) { return what + ": " + SystemErrorText(error); }

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The process's file-creation mask, read without changing it: umask() would change it for every thread
// for a moment.
mode_t CurrentUmask() {
    const auto field = ProcessStatusField("Umask");
    return field ? static_cast<mode_t>(std::stoul(*field, nullptr, 8)) : mode_t{022};
}

} // namespace

std::string WriteFileReplacing(const std::string& chosenPath, std::string_view bytes) {
    // Saving over a symbolic link writes the file it points to, as any editor would, rather than
    // replacing the link with a file of its own.
    std::string path = chosenPath;
    if (char* resolved = ::realpath(chosenPath.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) {
        return SystemError(chosenPath, EISDIR);
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : folder) + ".flowsentry-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return SystemError(chosenPath, errno);
    }
    // A replaced file keeps its permissions; a new one gets the usual ones for the user's umask.
    const mode_t mode = exists ? (target.st_mode & 07777) : (0666 & ~CurrentUmask());
    int error = 0;
    if (::fchmod(fd, mode) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        return SystemError(chosenPath, error);
    }
    return {};
}
} // namespace flowsentry
