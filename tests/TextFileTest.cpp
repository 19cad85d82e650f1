// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/TextFile.h"

#include "TestUtil.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace flowsentry {
namespace {

namespace fs = std::filesystem;

TEST(TextFile, ExtensionRule) {
    const std::pair<const char*, const char*> cases[] = {
        {"traffic", "traffic.txt"},
        {"traffic.log", "traffic.log"},
        {"TRAFFIC.TXT", "TRAFFIC.TXT"},
        {"traffic.", "traffic..txt"},
        {"/home/me/traffic", "/home/me/traffic.txt"},
        {"/home/me.d/traffic", "/home/me.d/traffic.txt"}, // a dot in a folder name does not count
        {"/home/me.d/traffic.csv", "/home/me.d/traffic.csv"},
        {".hidden", ".hidden"},
        {"a.b.c", "a.b.c"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(WithTextExtension(in), out) << in;
    }
}

class TextFileWrite : public ::testing::Test {
protected:
    const test::ScopedTempDir m_temp{"flowsentry-textfile"};
    const fs::path& m_dir = m_temp.Path();
};

TEST_F(TextFileWrite, WritesExactBytesAndReplacesWholeFiles) {
    const std::string path = (m_dir / "traffic.txt").string();
    EXPECT_EQ(WriteFileReplacing(path, ""), "");
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0U);
    EXPECT_EQ(WriteFileReplacing(path, "a\tb\t\r"), "");
    EXPECT_EQ(test::ReadFile(path), "a\tb\t\r");
    EXPECT_EQ(WriteFileReplacing(path, "c\t\r"), "");
    EXPECT_EQ(test::ReadFile(path), "c\t\r");
    // Nothing but the target is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

TEST_F(TextFileWrite, ALinkIsFollowedAndPermissionsAreKept) {
    const fs::path real = m_dir / "real.txt";
    const fs::path link = m_dir / "link.txt";
    ASSERT_EQ(WriteFileReplacing(real.string(), "old\r"), "");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, link);
    EXPECT_EQ(WriteFileReplacing(link.string(), "new\r"), "");
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(test::ReadFile(real), "new\r");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A new file gets the permissions the umask allows, and the umask itself is left as it was.
    const mode_t before = ::umask(027);
    ASSERT_EQ(WriteFileReplacing((m_dir / "new.txt").string(), "x"), "");
    EXPECT_EQ(::umask(before), 027U);
    EXPECT_EQ(fs::status(m_dir / "new.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(TextFileWrite, FailuresAreReportedAndLeaveTheOldFile) {
    const std::string path = (m_dir / "traffic.txt").string();
    ASSERT_EQ(WriteFileReplacing(path, "old\r"), "");

    // A folder where the file should go.
    fs::create_directory(m_dir / "folder.txt");
    const std::string onFolder = WriteFileReplacing((m_dir / "folder.txt").string(), "x");
    EXPECT_NE(onFolder.find("Is a directory"), std::string::npos) << onFolder;

    // A folder that does not exist.
    const std::string missing = WriteFileReplacing((m_dir / "nope" / "t.txt").string(), "x");
    EXPECT_NE(missing.find("No such file or directory"), std::string::npos) << missing;

    if (::geteuid() != 0) { // root writes into read-only folders anyway
        // A writable file in a read-only folder is written in place.
        fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(WriteFileReplacing(path, "new\r"), "");
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        EXPECT_EQ(test::ReadFile(path), "new\r");
        ASSERT_EQ(WriteFileReplacing(path, "old\r"), "");
    }

    // A write that fails part way, as on a full disk: a file size limit makes write() fail with EFBIG
    // (as root too), after the temporary file has been created.
    std::string tooLarge;
    {
        const test::ScopedFileSizeLimit limit(8);
        tooLarge = WriteFileReplacing(path, std::string(100, 'x'));
    }
    EXPECT_NE(tooLarge.find("File too large"), std::string::npos) << tooLarge;
    EXPECT_NE(tooLarge.find("Could not write " + path), std::string::npos) << tooLarge;

    EXPECT_EQ(test::ReadFile(path), "old\r");
    // The target and the folder made above; no temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

TEST(TextFile, ReplacesOnlyWhatAReplacementCanReproduce) {
    // A file of the user's, one name, no extended attributes, writable folder: the one case for replacement.
    const SaveTarget plain{true, true, true, 1, true, false};
    EXPECT_EQ(ChooseSaveWay(plain), SaveWay::Replace);
    // Not there yet: made whole by replacement, even where the folder refuses (that failure is reported).
    EXPECT_EQ(ChooseSaveWay(SaveTarget{}), SaveWay::Replace);

    struct Case {
        const char* what;
        SaveTarget target;
    };
    const Case inPlace[] = {
        {"not a regular file", {true, false, true, 1, true, false}},
        {"another user's file", {true, true, false, 1, true, false}},
        {"a second hard link", {true, true, true, 2, true, false}},
        {"a folder the user cannot write", {true, true, true, 1, false, false}},
        {"extended attributes or an ACL", {true, true, true, 1, true, true}},
    };
    for (const auto& [what, target] : inPlace) {
        EXPECT_EQ(ChooseSaveWay(target), SaveWay::InPlace) << what;
    }
    // The folder sync after a replacement cannot be observed from here; it is part of the replacement path.
}

TEST_F(TextFileWrite, AHardLinkStaysAHardLink) {
    const fs::path first = m_dir / "first.txt";
    const fs::path second = m_dir / "second.txt";
    ASSERT_EQ(WriteFileReplacing(first.string(), "old\r"), "");
    fs::create_hard_link(first, second);
    EXPECT_EQ(WriteFileReplacing(first.string(), "new\r"), "");
    EXPECT_EQ(fs::hard_link_count(first), 2U);
    EXPECT_TRUE(fs::equivalent(first, second));
    EXPECT_EQ(test::ReadFile(first), "new\r");
    EXPECT_EQ(test::ReadFile(second), "new\r");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);

    // Written in place, a failure part way is still reported, with the step and the chosen path.
    std::string tooLarge;
    {
        const test::ScopedFileSizeLimit limit(8);
        tooLarge = WriteFileReplacing(second.string(), std::string(100, 'x'));
    }
    EXPECT_NE(tooLarge.find("Could not write " + second.string() + ": File too large"), std::string::npos)
        << tooLarge;
    EXPECT_EQ(fs::hard_link_count(first), 2U);
}

TEST_F(TextFileWrite, AnotherUsersFileKeepsItsOwnerAndGroup) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    constexpr uid_t kNobody = 65534;
    const fs::path shared = m_dir / "shared.txt";
    ASSERT_EQ(WriteFileReplacing(shared.string(), "old\r"), "");
    ASSERT_EQ(::chown(shared.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0664), 0);
    EXPECT_EQ(WriteFileReplacing(shared.string(), "new\r"), "");
    struct stat after {};
    ASSERT_EQ(::stat(shared.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_gid, kNobody);
    EXPECT_EQ(after.st_mode & 07777, 0664U);
    EXPECT_EQ(test::ReadFile(shared), "new\r");

    // The user's own file with another group is still replaced, and keeps that group.
    const fs::path own = m_dir / "own.txt";
    ASSERT_EQ(WriteFileReplacing(own.string(), "old\r"), "");
    ASSERT_EQ(::chown(own.c_str(), 0, kNobody), 0);
    struct stat before {};
    ASSERT_EQ(::stat(own.c_str(), &before), 0);
    EXPECT_EQ(WriteFileReplacing(own.string(), "new\r"), "");
    ASSERT_EQ(::stat(own.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced";
    EXPECT_EQ(after.st_gid, kNobody);
}

TEST_F(TextFileWrite, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
    const fs::path path = m_dir / "traffic.txt";
    ASSERT_EQ(WriteFileReplacing(path.string(), "old\r"), "");
    ::chmod(path.c_str(), 0666);
    ::chmod(m_dir.c_str(), 0555);
    std::string error = "not run";
    if (::geteuid() != 0) {
        error = WriteFileReplacing(path.string(), "new\r");
    } else {
        // Root writes into any folder, so an unprivileged child saves instead. The file is given to it, so
        // that the folder is the one reason left against replacement.
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped && WriteFileReplacing(path.string(), "new\r").empty() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        error = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "the child could not save";
    }
    ::chmod(m_dir.c_str(), 0755);
    EXPECT_EQ(error, "");
    EXPECT_EQ(test::ReadFile(path), "new\r");
}

TEST_F(TextFileWrite, ModeAndExtendedAttributesSurvive) {
    const fs::path path = m_dir / "traffic.txt";
    ASSERT_EQ(WriteFileReplacing(path.string(), "old\r"), "");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const char value[] = "kept";
    if (::setxattr(path.c_str(), "user.flowsentry", value, sizeof value - 1, 0) != 0) {
        GTEST_SKIP() << "no user extended attributes here: " << std::strerror(errno);
    }
    EXPECT_EQ(WriteFileReplacing(path.string(), "new\r"), "");
    EXPECT_EQ(test::ReadFile(path), "new\r");
    char read[16] = {};
    EXPECT_EQ(::getxattr(path.c_str(), "user.flowsentry", read, sizeof read), 4);
    EXPECT_STREQ(read, "kept");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

} // namespace
} // namespace flowsentry
