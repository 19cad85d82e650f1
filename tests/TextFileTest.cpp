#include "TestUtil.h"
#include "export/TextFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/stat.h>
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
        fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
        const std::string denied = WriteFileReplacing(path, "new\r");
        EXPECT_NE(denied.find("Permission denied"), std::string::npos) << denied;
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        EXPECT_EQ(test::ReadFile(path), "old\r");
    }

    // A write that fails part way, as on a full disk: a file size limit makes write() fail with EFBIG
    // (as root too), after the temporary file has been created.
    std::string tooLarge;
    {
        const test::ScopedFileSizeLimit limit(8);
        tooLarge = WriteFileReplacing(path, std::string(100, 'x'));
    }
    EXPECT_NE(tooLarge.find("File too large"), std::string::npos) << tooLarge;

    EXPECT_EQ(test::ReadFile(path), "old\r");
    // The target and the folder made above; no temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

} // namespace
} // namespace flowsentry
