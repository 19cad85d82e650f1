// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ExportCommands.h"

#include "QtTestUtil.h"
#include "TestUtil.h"
#include "export/ListToText.h"
#include "view/FlowsentryView.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMessageBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <ctime>
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
        m_view.Table().AddSample(test::Sample("10.250.0.2", "10.250.0.1", 17, 128, 1'700'000'000),
                                 test::Ip("10.250.0.1"));
        m_view.Table().AddSample(test::Sample("10.250.0.1", "10.250.0.9", 1, 84, 1'700'000'001),
                                 test::Ip("10.250.0.1"));
        m_view.Refresh();
    }
    SaveNameAsker Answer(const fs::path& p) {
        return [p, this](QWidget*) {
            ++m_nAsked;
            return QString::fromStdString(p.string());
        };
    }
    // Rows 10.2.x.y -> 10.250.0.1, one per n, each stamped with its own second.
    void AddPeers(int first, int count, std::uint64_t bytes = 60) {
        std::vector<CTrafficEntry> samples;
        for (int n = first; n < first + count; ++n) {
            const std::string src = "10.2." + std::to_string(n / 256) + "." + std::to_string(n % 256);
            samples.push_back(test::Sample(src, "10.250.0.1", 6, bytes, 1'700'000'000 + n));
        }
        m_view.Table().AddSamples(samples, test::Ip("10.250.0.1"));
    }
    bool WaitForTheJob() {
        EXPECT_TRUE(QTest::qWaitFor([this] { return !m_export.IsRunning(); }, 20'000));
        return m_finished.count() > 0 && m_finished.takeLast().at(0).toBool();
    }
    // Save and Save As, as the window runs them.
    bool Save(const SaveNameAsker& askName, const ReplaceConfirmer& confirm = ConfirmReplace) {
        const auto path = ChooseSavePath(nullptr, askName, confirm);
        return path && m_export.StartSave(*path) && WaitForTheJob();
    }
    bool Copy() { return m_export.StartCopy(*QApplication::clipboard()) && WaitForTheJob(); }
    // Export as the window runs it, with the dialog answering `path` and the file type `type`.
    bool Export(const fs::path& path, RowFormat type) {
        const ExportAsker ask = [&](QWidget*, bool) {
            return ExportChoice{QString::fromStdString(path), type};
        };
        const auto target = ChooseExportTarget(nullptr, false, ask);
        return target && m_export.StartExport(*target) && WaitForTheJob();
    }
    [[nodiscard]] std::string ListText() const { return ListToText(m_view.Model().Rows()); }

    const test::ScopedUtc m_utc;
    const test::ScopedTempDir m_temp{"flowsentry-export"};
    const fs::path& m_dir = m_temp.Path();
    CFlowsentryView m_view;
    CListExport m_export{m_view, nullptr};
    QSignalSpy m_finished{&m_export, &CListExport::Finished};
    int m_nAsked = 0;
};

TEST_F(ExportCommands, SaveWritesTheTextAndAddsTheExtension) {
    EXPECT_TRUE(Save(Answer(m_dir / "traffic")));
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.txt"), ListText());
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.txt"),
              "10.250.0.1\t10.250.0.9\t84\t0\t84\t1\t0\t1\t22:13:21 11/14/2023\tICMP\t\r"
              "10.250.0.1\t10.250.0.2\t0\t128\t128\t0\t1\t1\t22:13:20 11/14/2023\tUDP\t\r");
    // Asked again on every save; nothing is remembered.
    m_view.ClearTraffic();
    EXPECT_TRUE(Save(Answer(m_dir / "empty.log")));
    EXPECT_EQ(m_nAsked, 2);
    EXPECT_TRUE(fs::exists(m_dir / "empty.log"));
    EXPECT_EQ(fs::file_size(m_dir / "empty.log"), 0U);
    // Cancelled: nothing written, nothing said.
    EXPECT_FALSE(Save([](QWidget*) { return QString(); }));
}

TEST_F(ExportCommands, AFailedSaveIsReportedAndKeepsTheOldFile) {
    const fs::path target = m_dir / "traffic.txt";
    ASSERT_TRUE(Save(Answer(target)));
    const std::string good = test::ReadFile(target);

    // A folder of that name.
    fs::create_directory(m_dir / "folder.txt");
    {
        const test::MessageBoxCloser seen;
        EXPECT_FALSE(Save(Answer(m_dir / "folder.txt")));
        EXPECT_EQ(seen.m_nCount, 1);
        EXPECT_EQ(seen.m_strTitle, "Flowsentry");
        EXPECT_EQ(seen.m_icon, QMessageBox::Warning);
        EXPECT_TRUE(seen.m_strText.startsWith("The table could not be saved."))
            << seen.m_strText.toStdString();
        EXPECT_TRUE(seen.m_strText.contains("Is a directory")) << seen.m_strText.toStdString();
    }

    // The disk fills up part way through the write.
    {
        const test::MessageBoxCloser full;
        bool saved = true;
        {
            const test::ScopedFileSizeLimit limit(16);
            saved = Save(Answer(target));
        }
        EXPECT_FALSE(saved);
        EXPECT_EQ(full.m_nCount, 1);
        EXPECT_TRUE(full.m_strText.contains("File too large")) << full.m_strText.toStdString();
    }
    EXPECT_EQ(test::ReadFile(target), good);
}

// Export writes CSV or JSON with the list's rates, in the format the name's extension or else the type
// chosen says, through Save's job: a failed write is reported and leaves the old file as it was.
TEST_F(ExportCommands, ExportWritesTheChosenFormatAndKeepsTheOldFileOnFailure) {
    // A row with a rate: the list's clock is the wall clock, so its packet is a second old.
    const std::int64_t second = std::time(nullptr) - 1;
    m_view.Table().AddSample(test::Sample("10.250.0.1", "10.250.0.7", 6, 200, second),
                             test::Ip("10.250.0.1"));
    m_view.Refresh();
    const std::string time = IsoTimeText(second);
    ASSERT_TRUE(Export(m_dir / "traffic", RowFormat::Json));
    const std::string json = test::ReadFile(m_dir / "traffic.json");
    EXPECT_EQ(
        json,
        "[\n"
        "  {\"Src Address\": \"10.250.0.1\", \"Dest Address\": \"10.250.0.7\", \"Send Data\": 200, "
        "\"Rcv Data\": 0, \"Total Data\": 200, \"Send Packets\": 1, \"Rcv Packets\": 0, "
        "\"Total Packets\": 1, \"Date / Time\": \"" +
            time +
            "\", \"Proto\": \"TCP\", \"Send Rate\": 100, \"Rcv Rate\": 0, \"Peak Rate\": 100},\n"
            "  {\"Src Address\": \"10.250.0.1\", \"Dest Address\": \"10.250.0.9\", \"Send Data\": 84, "
            "\"Rcv Data\": 0, \"Total Data\": 84, \"Send Packets\": 1, \"Rcv Packets\": 0, "
            "\"Total Packets\": 1, \"Date / Time\": \"2023-11-14T22:13:21+00:00\", \"Proto\": \"ICMP\", "
            "\"Send Rate\": 0, \"Rcv Rate\": 0, \"Peak Rate\": 0},\n"
            "  {\"Src Address\": \"10.250.0.1\", \"Dest Address\": \"10.250.0.2\", \"Send Data\": 0, "
            "\"Rcv Data\": 128, \"Total Data\": 128, \"Send Packets\": 0, \"Rcv Packets\": 1, "
            "\"Total Packets\": 1, \"Date / Time\": \"2023-11-14T22:13:20+00:00\", \"Proto\": \"UDP\", "
            "\"Send Rate\": 0, \"Rcv Rate\": 0, \"Peak Rate\": 0}\n"
            "]\n");
    // The name's extension picks the format over the type chosen.
    ASSERT_TRUE(Export(m_dir / "traffic.CSV", RowFormat::Json));
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.CSV"),
              "Src Address,Dest Address,Send Data,Rcv Data,Total Data,Send Packets,Rcv Packets,Total Packets,"
              "Date / Time,Proto,Send Rate,Rcv Rate,Peak Rate\n"
              "10.250.0.1,10.250.0.7,200,0,200,1,0,1," +
                  time +
                  ",TCP,100,0,100\n"
                  "10.250.0.1,10.250.0.9,84,0,84,1,0,1,2023-11-14T22:13:21+00:00,ICMP,0,0,0\n"
                  "10.250.0.1,10.250.0.2,0,128,128,0,1,1,2023-11-14T22:13:20+00:00,UDP,0,0,0\n");
    EXPECT_FALSE(fs::exists(m_dir / "traffic.CSV.json"));

    // Written a piece at a time: enough rows for several pieces, the disk full after some of them.
    AddPeers(0, 20'000);
    m_view.Refresh();
    ASSERT_TRUE(Export(m_dir / "many.csv", RowFormat::Csv));
    const std::string many = test::ReadFile(m_dir / "many.csv");
    EXPECT_EQ(std::count(many.begin(), many.end(), '\n'), 20'004);
    EXPECT_EQ(many.substr(many.rfind('\n', many.size() - 2) + 1),
              "10.250.0.1,10.250.0.2,0,128,128,0,1,1,2023-11-14T22:13:20+00:00,UDP,0,0,0\n");
    const test::MessageBoxCloser full;
    bool exported = true;
    {
        const test::ScopedFileSizeLimit limit(std::size_t{1} << 20);
        exported = Export(m_dir / "traffic.json", RowFormat::Csv);
    }
    EXPECT_FALSE(exported);
    EXPECT_EQ(full.m_nCount, 1);
    EXPECT_TRUE(full.m_strText.startsWith("The table could not be exported."))
        << full.m_strText.toStdString();
    EXPECT_TRUE(full.m_strText.contains("File too large")) << full.m_strText.toStdString();
    EXPECT_EQ(test::ReadFile(m_dir / "traffic.json"), json);
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind";
    }
}

// With Resolve Names on, the export carries the names known, taken with the rows: quoted where they need it,
// empty where an address has none, and the addresses stay numbers.
TEST_F(ExportCommands, ExportCarriesTheNamesTheListKnows) {
    class Resolver final : public IResolver {
    public:
        explicit Resolver(CNameService::Handler handler) : m_handler(std::move(handler)) {}
        void Ask(const IpAddress& address) override {
            const std::string text = IpToText(address);
            m_handler({address, text == "10.250.0.9"   ? "nine, \"the\" host"
                                : text == "10.250.0.1" ? "us"
                                                       : ""});
        }

    private:
        CNameService::Handler m_handler;
    };
    m_view.SetResolverFactory(
        [](CNameService::Handler handler) { return std::make_unique<Resolver>(std::move(handler)); });
    m_view.SetResolveNames(true);
    m_view.Refresh();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_view.Names()->Cache().Idle(); }, 5'000));
    ASSERT_TRUE(Export(m_dir / "named.csv", RowFormat::Csv));
    EXPECT_EQ(
        test::ReadFile(m_dir / "named.csv"),
        "Src Address,Dest Address,Send Data,Rcv Data,Total Data,Send Packets,Rcv Packets,Total Packets,"
        "Date / Time,Proto,Send Rate,Rcv Rate,Peak Rate,Source Name,Destination Name\n"
        "10.250.0.1,10.250.0.9,84,0,84,1,0,1,2023-11-14T22:13:21+00:00,ICMP,0,0,0,us,\"nine, \"\"the\"\" "
        "host\"\n"
        "10.250.0.1,10.250.0.2,0,128,128,0,1,1,2023-11-14T22:13:20+00:00,UDP,0,0,0,us,\n");
}

// The dialog itself: its two file types, and the choice of rows, offered only while a filter is on.
TEST_F(ExportCommands, TheExportDialogAsksForTheTypeAndTheRows) {
    QStringList types;
    QList<bool> shownEnabled;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        types = dialog->nameFilters();
        QRadioButton* shown = nullptr;
        for (QRadioButton* button : dialog->findChildren<QRadioButton*>()) {
            if (button->text().remove('&') == "Only the rows the filter shows") {
                shown = button;
            }
        }
        ASSERT_NE(shown, nullptr);
        shownEnabled << shown->isEnabled();
        shown->setChecked(shown->isEnabled());
        dialog->selectNameFilter(types.value(1));
        dialog->selectFile(QString::fromStdString((m_dir / "picked").string()));
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept is protected
    });
    answer.start(5);
    const auto plain = AskExportFile(nullptr, false);
    const auto filtered = AskExportFile(nullptr, true);
    answer.stop();
    EXPECT_EQ(types, QStringList({"CSV Files (*.csv)", "JSON Files (*.json)"}));
    EXPECT_EQ(shownEnabled, QList<bool>({false, true}));
    ASSERT_TRUE(plain && filtered);
    EXPECT_EQ(plain->m_type, RowFormat::Json);
    EXPECT_FALSE(plain->m_bShownRows);
    EXPECT_TRUE(filtered->m_bShownRows);
    EXPECT_EQ(filtered->m_strPath.toStdString(), (m_dir / "picked").string());
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
    EXPECT_FALSE(Save(Answer(m_dir / "traffic"), confirm));
    EXPECT_EQ(asked, QStringList{QString::fromStdString(existing.string())});
    EXPECT_EQ(test::ReadFile(existing), "old\r");
    answer = true;
    EXPECT_TRUE(Save(Answer(m_dir / "traffic"), confirm));
    EXPECT_EQ(asked.size(), 2);
    EXPECT_EQ(test::ReadFile(existing), ListText());

    // The exact name was the dialog's to ask about; a new name needs no question.
    EXPECT_TRUE(Save(Answer(existing), confirm));
    EXPECT_TRUE(Save(Answer(m_dir / "fresh"), confirm));
    EXPECT_EQ(asked.size(), 2);
    EXPECT_TRUE(fs::exists(m_dir / "fresh.txt"));

    // The question itself: the program's title, a question, and only Yes replaces.
    { std::ofstream(existing, std::ios::binary) << "old\r"; }
    {
        const test::MessageBoxCloser box; // closes without a Yes
        EXPECT_FALSE(Save(Answer(m_dir / "traffic")));
        EXPECT_EQ(box.m_nCount, 1);
        EXPECT_EQ(box.m_strTitle, "Flowsentry");
        EXPECT_EQ(box.m_icon, QMessageBox::Question);
        EXPECT_TRUE(box.m_strText.startsWith("traffic.txt already exists.")) << box.m_strText.toStdString();
    }
    EXPECT_EQ(test::ReadFile(existing), "old\r");
}

TEST_F(ExportCommands, ClipboardHoldsTheSameBytesAsTheFile) {
    QClipboard* clipboard = QApplication::clipboard();
    ASSERT_TRUE(Copy());
    ASSERT_TRUE(Save(Answer(m_dir / "t.txt")));
    const QString text = clipboard->text();
    EXPECT_EQ(text.toStdString(), test::ReadFile(m_dir / "t.txt"));
    EXPECT_FALSE(text.contains(QChar(0)));
    m_view.ClearTraffic();
    ASSERT_TRUE(Copy());
    EXPECT_TRUE(clipboard->text().isEmpty());
}

// The rows are copied a few at a time while the capture goes on: the text is the list at the command,
// byte for byte, and what changed meanwhile reaches the list once the copy is taken. Enough rows for the
// text to be rendered in several pieces.
TEST_F(ExportCommands, TheTextIsTheListAtTheCommandWhileTheRowsChange) {
    AddPeers(0, 9'000);
    m_view.Refresh();
    m_export.SetSliceRows(4'000);
    for (const bool save : {false, true}) {
        SCOPED_TRACE(save ? "Save" : "Copy");
        const std::string atCommand = ListText();
        const std::size_t rowsAtCommand = m_view.Model().Rows().RowCount();
        const fs::path path = m_dir / "changing.txt";
        ASSERT_TRUE(save ? m_export.StartSave(path.string())
                         : m_export.StartCopy(*QApplication::clipboard()));
        // One job at a time.
        EXPECT_FALSE(m_export.StartCopy(*QApplication::clipboard()));
        EXPECT_FALSE(m_export.StartSave((m_dir / "second.txt").string()));

        // Rows the copy has not reached yet change, and new ones come, as a capture would make them.
        AddPeers(0, 9'000, 1'000);
        AddPeers(save ? 30'000 : 20'000, 5);
        m_view.Refresh();
        EXPECT_EQ(ListText(), atCommand);

        EXPECT_TRUE(WaitForTheJob());
        EXPECT_EQ(save ? test::ReadFile(path) : QApplication::clipboard()->text().toStdString(), atCommand);
        EXPECT_FALSE(fs::exists(m_dir / "second.txt"));
        EXPECT_EQ(m_view.Model().Rows().RowCount(), rowsAtCommand + 5);
        EXPECT_NE(ListText(), atCommand);
    }
}

TEST_F(ExportCommands, CancelLeavesTheFileAndTheClipboardAsTheyWere) {
    AddPeers(0, 50'000);
    m_view.Refresh();
    const fs::path target = m_dir / "traffic.txt";
    { std::ofstream(target, std::ios::binary) << "old\r"; }
    QApplication::clipboard()->setText(QStringLiteral("before"));

    // While the rows are being copied; the list is let go at once.
    m_export.SetSliceRows(10'000);
    for (const bool save : {false, true}) {
        ASSERT_TRUE(save ? m_export.StartSave(target.string())
                         : m_export.StartCopy(*QApplication::clipboard()));
        ASSERT_EQ(m_export.CurrentProgress().m_phase, CListExport::Phase::Snapshot);
        m_export.Cancel();
        EXPECT_FALSE(m_export.IsRunning());
        EXPECT_FALSE(WaitForTheJob());
        EXPECT_FALSE(m_view.RowsHeld());
    }
    EXPECT_EQ(test::ReadFile(target), "old\r");
    EXPECT_EQ(QApplication::clipboard()->text(), "before");

    // While the text is being rendered (or just after): the clipboard keeps what it had. A save already
    // writing is finished instead, so the file is either untouched or whole, never part written.
    m_export.SetSliceRows(static_cast<std::size_t>(-1));
    ASSERT_TRUE(m_export.StartCopy(*QApplication::clipboard()));
    m_export.Cancel();
    EXPECT_FALSE(WaitForTheJob());
    EXPECT_EQ(QApplication::clipboard()->text(), "before");

    ASSERT_TRUE(m_export.StartSave(target.string()));
    m_export.Cancel();
    const bool written = WaitForTheJob();
    EXPECT_EQ(test::ReadFile(target), written ? ListText() : "old\r");
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        EXPECT_EQ(entry.path().filename(), "traffic.txt") << "left behind";
    }
}

} // namespace
} // namespace flowsentry
