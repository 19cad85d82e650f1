#include "export/TextFile.h"

#include "platform/SystemError.h"

#include <cerrno>
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

} // namespace

std::string WriteFileReplacing(const std::string& path, std::string_view bytes) {
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) {
        return SystemError(path, EISDIR);
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : folder) + ".flowsentry-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return SystemError(path, errno);
    }
    // A replaced file keeps its permissions; a new one gets the usual ones for the user's umask.
    mode_t mode = 0666;
    if (exists) {
        mode = target.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
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
        return SystemError(path, error);
    }
    return {};
}

} // namespace flowsentry
