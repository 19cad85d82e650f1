// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/TextFile.h"

#include "platform/ProcessStatus.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace flowsentry {

namespace {

// The file name's extension without its dot; empty when it has none (no dot, or a dot at its very end).
std::string_view Extension(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::string WithTextExtension(std::string_view path) {
    std::string result(path);
    if (Extension(path).empty()) {
        result += ".txt";
    }
    return result;
}

ExportName ChooseExportName(std::string_view path, RowFormat chosen) {
    const std::string_view extension = Extension(path);
    if (SameLetters(extension, "csv")) {
        return {std::string(path), RowFormat::Csv};
    }
    if (SameLetters(extension, "json")) {
        return {std::string(path), RowFormat::Json};
    }
    std::string result(path);
    if (extension.empty()) {
        result += chosen == RowFormat::Csv ? ".csv" : ".json";
    }
    return {std::move(result), chosen};
}

SaveWay ChooseSaveWay(const SaveTarget& target) {
    if (!target.m_bExists) {
        return SaveWay::Replace;
    }
    const bool replaceable = target.m_bRegular && target.m_bOwnedByUser && target.m_nLinks == 1 &&
                             target.m_bFolderWritable && !target.m_bHasAttributes;
    return replaceable ? SaveWay::Replace : SaveWay::InPlace;
}

namespace {

std::string Failure(const char* step, const std::string& path, int error) {
    return std::string(step) + " " + path + ": " + SystemErrorText(error);
}

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

int CloseKeepingFirstError(int fd, int error) {
    if (::close(fd) != 0 && error == 0) {
        return errno;
    }
    return error;
}

// The steps after opening, shared by both ways of saving: writes, syncs when asked, and closes `fd`. A
// `step` that already failed is kept (with its errno); returns the step that failed, or null.
// The pieces of `source` until it has none left. A source that runs out of memory fails the write.
bool WriteAll(int fd, const PieceSource& source) {
    std::string_view piece;
    try {
        for (;;) {
            if (!source(piece)) {
                return true;
            }
            if (!WriteAll(fd, piece)) {
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

const char* WriteSyncAndClose(int fd, const PieceSource& bytes, bool sync, const char* step, int& error) {
    if (step == nullptr && !WriteAll(fd, bytes)) {
        step = "Could not write";
    } else if (step == nullptr && sync && ::fsync(fd) != 0) {
        step = "Could not write to disk";
    }
    error = step != nullptr ? errno : 0;
    const int closeError = CloseKeepingFirstError(fd, 0);
    if (step == nullptr && closeError != 0) {
        step = "Could not write";
        error = closeError;
    }
    return step;
}

// The bytes go to a temporary file beside the target, which is synced and renamed over it; then the folder
// is synced so that the rename itself survives a crash. Returns nullopt when the temporary file cannot take
// the target's group, so that the caller writes in place instead of changing it.
std::optional<std::string> Replace(const std::string& chosenPath, const std::string& path,
                                   const std::string& folder, const struct stat* existing,
                                   const PieceSource& bytes) {
    std::string temp = folder + "/.flowsentry-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return Failure("Could not create a temporary file beside", chosenPath, errno);
    }
    if (existing != nullptr) {
        struct stat made {};
        if (::fstat(fd, &made) != 0 || (made.st_gid != existing->st_gid &&
                                        ::fchown(fd, static_cast<uid_t>(-1), existing->st_gid) != 0)) {
            ::close(fd);
            ::unlink(temp.c_str());
            return std::nullopt;
        }
    }
    // A replaced file keeps its permissions; a new one gets the usual ones for the user's umask.
    const mode_t mode = existing != nullptr ? (existing->st_mode & 07777) : (0666 & ~CurrentUmask());
    int error = 0;
    const char* step = ::fchmod(fd, mode) != 0 ? "Could not set the permissions of" : nullptr;
    step = WriteSyncAndClose(fd, bytes, true, step, error);
    if (step == nullptr && ::rename(temp.c_str(), path.c_str()) != 0) {
        step = "Could not replace";
        error = errno;
    }
    if (step != nullptr) {
        ::unlink(temp.c_str());
        return Failure(step, chosenPath, error);
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return Failure("Could not sync the folder of", chosenPath, errno);
    }
    // Some file systems cannot sync a folder at all (EINVAL); there is nothing more to do there.
    error = ::fsync(dir) != 0 && errno != EINVAL ? errno : 0;
    error = CloseKeepingFirstError(dir, error);
    if (error != 0) {
        return Failure("Could not sync the folder of", chosenPath, error);
    }
    return std::string();
}

// No O_CREAT: the file is the one that was looked at, or the open fails. A FIFO without a reader would block
// the window, so anything but a regular file is opened without waiting.
std::string WriteInPlace(const std::string& chosenPath, const std::string& path, bool regular,
                         const PieceSource& bytes) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC | (regular ? 0 : O_NONBLOCK));
    if (fd < 0) {
        return Failure("Could not open", chosenPath, errno);
    }
    int error = 0;
    const char* step = !regular && ::fcntl(fd, F_SETFL, 0) != 0 ? "Could not open" : nullptr;
    step = WriteSyncAndClose(fd, bytes, regular, step, error);
    return step != nullptr ? Failure(step, chosenPath, error) : std::string();
}

} // namespace

std::string WriteFileReplacing(const std::string& chosenPath, std::string_view bytes) {
    bool given = false;
    return WriteFileReplacing(chosenPath, [&given, bytes](std::string_view& piece) {
        piece = bytes;
        return !std::exchange(given, true);
    });
}

std::string WriteFileReplacing(const std::string& chosenPath, const PieceSource& bytes) {
    // Saving over a symbolic link writes the file it points to, as any editor would, rather than
    // replacing the link with a file of its own.
    std::string path = chosenPath;
    if (char* resolved = ::realpath(chosenPath.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);

    SaveTarget facts;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            return Failure("Could not write", chosenPath, EISDIR);
        }
        facts.m_bExists = true;
        facts.m_bRegular = S_ISREG(existing.st_mode);
        facts.m_bOwnedByUser = existing.st_uid == ::geteuid();
        facts.m_nLinks = existing.st_nlink;
        // Any failure to list them counts as having some: writing in place keeps whatever there is.
        const ssize_t names = ::listxattr(path.c_str(), nullptr, 0);
        facts.m_bHasAttributes = names > 0 || (names < 0 && errno != ENOTSUP);
    } else if (errno != ENOENT) {
        return Failure("Could not open", chosenPath, errno);
    }
    facts.m_bFolderWritable = ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;

    if (ChooseSaveWay(facts) == SaveWay::Replace) {
        if (auto result = Replace(chosenPath, path, folder, facts.m_bExists ? &existing : nullptr, bytes)) {
            return *result;
        }
    }
    return WriteInPlace(chosenPath, path, facts.m_bRegular, bytes);
}

} // namespace flowsentry
