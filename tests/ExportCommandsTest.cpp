// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ExportCommands.h"

#include "QtTestUtil.h"
#include "TestUtil.h"
#include "export/ListToText.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace flowsentry {
namespace {

namespace fs = std::filesystem;

class ExportCommands : public ::testing::Test {
protected:
    void SetUp() override {
        CTrafficTable table;
        table.AddSample(test::Sample("10.250.0.2", "10.250.0.1", 17, 128, 1'700'000'000),
                        test::Ip("10.250.0.1"));
        table.AddSample(test::Sample("10.250.0.1", "10.250.0.9", 1, 84, 1'700'000'001),
                        test::Ip("10.250.0.1"));
        m_rows.Apply(table.PullChanges());
    }
    SaveNameAsker Answer(const fs::path& p) {
        return [p, this](QWidget*) {
            ++m_nAsked;
            return QString::fromStdString(p.string());
        };
    }

    const test::ScopedUtc m_utc;
    const test::ScopedTempDir m_temp{"flowsentry-export"};
    const fs::path& m_dir = m_temp.Path();
    CRowStore m_rows;
    int m_nAsked = 0;
};

TEST_F(ExportCommands, SaveWritesTheTextAndAddsTheExtension) {
    EXPECT_TRUE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "traffic")));
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.txt"), ListToText(m_rows));
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.txt"),
              "10.250.0.1\t10.250.0.9\t84\t0\t84\t1\t0\t1\t22:13:21 11/14/2023\tICMP\t\r"
              "10.250.0.1\t10.250.0.2\t0\t128\t128\t0\t1\t1\t22:13:20 11/14/2023\tUDP\t\r");
    // Asked again on every save; nothing is remembered.
    EXPECT_TRUE(SaveListAsText(nullptr, CRowStore(), Answer(m_dir / "empty.log")));
    EXPECT_EQ(m_nAsked, 2);
    EXPECT_TRUE(fs::exists(m_dir / "empty.log"));
    EXPECT_EQ(fs::file_size(m_dir / "empty.log"), 0U);
    // Cancelled: nothing written, nothing said.
    EXPECT_FALSE(SaveListAsText(nullptr, m_rows, [](QWidget*) { return QString(); }));
}

TEST_F(ExportCommands, AFailedSaveIsReportedAndKeepsTheOldFile) {
    const fs::path target = m_dir / "traffic.txt";
    ASSERT_TRUE(SaveListAsText(nullptr, m_rows, Answer(target)));
    const std::string good = test::ReadFile(target);

    // A folder of that name.
    fs::create_directory(m_dir / "folder.txt");
    {
        const test::MessageBoxCloser seen;
        EXPECT_FALSE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "folder.txt")));
        EXPECT_EQ(seen.m_nCount, 1);
        EXPECT_EQ(seen.m_strTitle, "Flowsentry");
        EXPECT_EQ(seen.m_icon, QMessageBox::Warning);
        EXPECT_TRUE(seen.m_strText.contains("Is a directory")) << seen.m_strText.toStdString();
    }

    // The disk fills up part way through the write.
    {
        const test::MessageBoxCloser full;
        bool saved = true;
        {
            const test::ScopedFileSizeLimit limit(16);
            saved = SaveListAsText(nullptr, m_rows, Answer(target));
        }
        EXPECT_FALSE(saved);
        EXPECT_EQ(full.m_nCount, 1);
        EXPECT_TRUE(full.m_strText.contains("File too large")) << full.m_strText.toStdString();
    }
    EXPECT_EQ(test::ReadFile(target), good);
}

TEST_F(ExportCommands, AddingTheExtensionNeverReplacesAFileUnasked) {
    const fs::path existing = m_dir / "traffic.txt";
    { std::ofstream(existing, std::ios::binary) << "old\r"; }
    QStringList asked;
    bool answer = false;
    const ReplaceConfirmer confirm = [&](QWidget*, const QString& path) {
        asked << path;
        return answer;
    };

    // "traffic" becomes the existing "traffic.txt", which the dialog did not ask about: asked here, and a no
    // leaves it alone.
    EXPECT_FALSE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "traffic"), confirm));
    EXPECT_EQ(asked, QStringList{QString::fromStdString(existing.string())});
    EXPECT_EQ(test::ReadFile(existing), "old\r");
    answer = true;
    EXPECT_TRUE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "traffic"), confirm));
    EXPECT_EQ(asked.size(), 2);
    EXPECT_EQ(test::ReadFile(existing), ListToText(m_rows));

    // The exact name was the dialog's to ask about; a new name needs no question.
    EXPECT_TRUE(SaveListAsText(nullptr, m_rows, Answer(existing), confirm));
    EXPECT_TRUE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "fresh"), confirm));
    EXPECT_EQ(asked.size(), 2);
    EXPECT_TRUE(fs::exists(m_dir / "fresh.txt"));

    // The question itself: the program's title, a question, and only Yes replaces.
    { std::ofstream(existing, std::ios::binary) << "old\r"; }
    {
        const test::MessageBoxCloser box; // closes without a Yes
        EXPECT_FALSE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "traffic")));
        EXPECT_EQ(box.m_nCount, 1);
        EXPECT_EQ(box.m_strTitle, "Flowsentry");
        EXPECT_EQ(box.m_icon, QMessageBox::Question);
        EXPECT_TRUE(box.m_strText.startsWith("traffic.txt already exists.")) << box.m_strText.toStdString();
    }
    EXPECT_EQ(test::ReadFile(existing), "old\r");
}

TEST_F(ExportCommands, ClipboardHoldsTheSameBytesAsTheFile) {
    QClipboard* clipboard = QApplication::clipboard();
    CopyListToClipboard(m_rows, *clipboard);
    ASSERT_TRUE(SaveListAsText(nullptr, m_rows, Answer(m_dir / "t.txt")));
    const QString text = clipboard->text();
    EXPECT_EQ(text.toStdString(), test::ReadFile(m_dir / "t.txt"));
    EXPECT_FALSE(text.contains(QChar(0)));
    CopyListToClipboard(CRowStore(), *clipboard);
    EXPECT_TRUE(clipboard->text().isEmpty());
}

} // namespace
} // namespace flowsentry
