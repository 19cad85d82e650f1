// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files opened in the window (File > Open, the command line, a drop, the recent files), checked
// against what flowsentry-cli --read makes of the same files.
#include "CaptureFile.h"
#include "QtTestUtil.h"
#include "TestUtil.h"
#include "app/FlowsentryApp.h"
#include "export/ListToText.h"
#include "platform/Interfaces.h"
#include "view/FlowsentryView.h"

#include <QAction>
#include <QFile>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace flowsentry {
namespace {

struct CliResult {
    std::string m_strOut;
    std::string m_strErr;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CliResult RunCli(const QString& file, const QString& local = QString(), const char* format = "text") {
    const test::TempFile err("cli-stderr");
    std::string command =
        std::string(FLOWSENTRY_CLI) + " --format " + format + " --read '" + file.toStdString() + "'";
    if (!local.isEmpty()) {
        command += " --local " + local.toStdString();
    }
    command += " 2>'" + err.Path() + "'";
    CliResult result;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[65536];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
            result.m_strOut.append(buffer, n);
        }
        ::pclose(pipe);
    }
    result.m_strErr = ReadAll(err.Path());
    return result;
}

void Generate(const QString& path, const char* options) {
    const std::string command =
        std::string(FLOWSENTRY_GEN) + " --out '" + path.toStdString() + "' " + options;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class OpenFileTest : public testing::Test {
protected:
    std::unique_ptr<QSettings> Settings() const {
        return std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
    }
    QString Path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    // Waits until the read has ended and the list shows all of it.
    static void WaitForRead(CMainFrame& frame) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !frame.View().Sniffer().IsRunning(); }, 20'000));
        frame.View().Refresh();
    }
    static std::string ListText(CMainFrame& frame) { return ListToText(frame.View().Model().Rows()); }
    static QString CapturePane(CMainFrame& frame) { return frame.CaptureStatusText(); }
    static QPushButton* ReadCancelButton(CMainFrame& frame) {
        for (auto* button : frame.statusBar()->findChildren<QPushButton*>()) {
            if (button->isVisible() && button->text() == "Cancel") {
                return button;
            }
        }
        return nullptr;
    }

    QTemporaryDir m_dir;
};

// File > Open with and without a local address, the command line and a drop all read the file as
// flowsentry-cli --read does: the list's text is the CLI's text, byte for byte.
TEST_F(OpenFileTest, OpenCommandLineAndDropShowTheRowsTheCliCounts) {
    const QString file = Path("mixed.pcapng");
    Generate(file, "--pcapng --packets 3000 --flows 120 --family mixed --local 10.1.0.1");
    const CliResult plain = RunCli(file);
    ASSERT_FALSE(plain.m_strOut.empty()) << plain.m_strErr;
    // A local address that is the far end of the first row, so that its orientation differs.
    const std::string firstRow = plain.m_strOut.substr(0, plain.m_strOut.find('\r'));
    const std::size_t tab = firstRow.find('\t');
    const QString remote =
        QString::fromStdString(firstRow.substr(tab + 1, firstRow.find('\t', tab + 1) - tab - 1));
    const CliResult oriented = RunCli(file, remote);
    ASSERT_NE(oriented.m_strOut, plain.m_strOut) << "the local address must change the rows";

    CFlowsentryApp app(Settings());
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = app.MainFrame();
    // Rows of an earlier capture go first.
    frame.View().Table().AddSample(test::Sample("192.0.2.1", "192.0.2.2", 6, 10), std::nullopt);
    frame.View().Refresh();

    struct Case {
        std::optional<IpAddress> m_local;
        const CliResult* m_expected;
    };
    for (const Case& c : {Case{std::nullopt, &plain}, Case{AddressFromText(remote.toStdString()), &oriented},
                          Case{std::nullopt, &plain}}) {
        CMainFrame::Seams seams;
        seams.m_askOpenFile = [&](QWidget*) {
            return std::optional<OpenChoice>(OpenChoice{file, c.m_local});
        };
        frame.SetSeams(seams);
        app.OnFileOpen();
        WaitForRead(frame);
        EXPECT_EQ(ListText(frame), c.m_expected->m_strOut);
    }
    EXPECT_EQ(frame.windowTitle(), "mixed.pcapng - Flowsentry");
    EXPECT_EQ(app.RecentFiles().Files(), QStringList{file});
    EXPECT_EQ(CapturePane(frame),
              QStringLiteral("Read mixed.pcapng: %1 datagrams").arg(QLocale().toString(3000)));
    // Its clock is its packets': rows that were busy at its end are not greyed as idle.
    EXPECT_FALSE(frame.View().model()->index(0, 0).data(Qt::ForegroundRole).isValid());
    // A file's rows carry no rates: the columns are hidden, the status bar gives none, and Export writes
    // the file as flowsentry-cli --format csv does.
    EXPECT_TRUE(frame.View().isColumnHidden(ColSendRate));
    EXPECT_FALSE(frame.TrafficStatusText().contains("/s"));
    const QString exported = Path("exported.csv");
    CMainFrame::Seams exportSeams;
    exportSeams.m_askExport = [&](QWidget*, bool) {
        return std::optional<ExportChoice>(ExportChoice{exported, RowFormat::Csv, false});
    };
    frame.SetSeams(exportSeams);
    frame.Action(Command::FileExport)->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&frame] { return !frame.Export().IsRunning(); }, 20'000));
    EXPECT_EQ(ReadAll(exported.toStdString()), RunCli(file, QString(), "csv").m_strOut);

    // Stop empties the list as after a capture, and the rates come back.
    frame.OnStopAnalyzing();
    EXPECT_EQ(frame.View().model()->rowCount(), 0);
    EXPECT_FALSE(frame.View().isColumnHidden(ColSendRate));
    EXPECT_EQ(CapturePane(frame), "Not capturing");

    // Dropped on the window.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(file)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&frame, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&frame, &drop);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !frame.View().FileName().isEmpty(); }));
    WaitForRead(frame);
    EXPECT_EQ(ListText(frame), plain.m_strOut);

    // flowsentry FILE.
    CFlowsentryApp started(Settings());
    ASSERT_TRUE(started.InitInstance({file}));
    WaitForRead(started.MainFrame());
    EXPECT_EQ(ListText(started.MainFrame()), plain.m_strOut);
}

// Cancel during a read keeps the rows read so far, and the window goes on; a damaged file shows the rows
// before the damage and one message in the CLI's words; a file that is no capture changes nothing.
TEST_F(OpenFileTest, CancelDamageAndNoCapture) {
    const QString small = Path("small.pcap");
    // More than one read of the capture thread (4096 frames), in small packets.
    Generate(small, "--packets 5000 --flows 300 --local 10.1.0.1 --min-size 60 --max-size 80");
    const CliResult whole = RunCli(small);
    ASSERT_FALSE(whole.m_strOut.empty()) << whole.m_strErr;

    CFlowsentryApp app(Settings());
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = app.MainFrame();

    // A FIFO whose writer stays: the read cannot end by itself, so the cancel comes during it.
    const QString fifo = Path("fifo.pcap");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const int writer = ::open(fifo.toLocal8Bit().constData(), O_RDWR);
    ASSERT_GE(writer, 0);
    const std::string bytes = ReadAll(small.toStdString());
    ASSERT_TRUE(app.OpenDocumentFile(fifo) == std::nullopt);
    // More than the pipe holds: this returns once the reader has taken nearly all of it.
    std::thread writing([&] { (void)::write(writer, bytes.data(), bytes.size()); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame.View().model()->rowCount() > 0; }));
    writing.join();
    EXPECT_EQ(CapturePane(frame), "Reading fifo.pcap...");
    QPushButton* cancel = ReadCancelButton(frame);
    ASSERT_NE(cancel, nullptr);
    cancel->click();
    ::close(writer);
    EXPECT_FALSE(frame.View().Sniffer().IsRunning());
    EXPECT_EQ(ListText(frame), whole.m_strOut);
    EXPECT_EQ(CapturePane(frame),
              QStringLiteral("Read fifo.pcap: cancelled after %1 datagrams").arg(QLocale().toString(5000)));
    EXPECT_EQ(ReadCancelButton(frame), nullptr);
    ASSERT_TRUE(app.OpenDocumentFile(small) == std::nullopt);
    WaitForRead(frame);
    EXPECT_EQ(ListText(frame), whole.m_strOut);

    // Cut inside its last record.
    const QString damaged = Path("damaged.pcap");
    {
        std::ofstream out(damaged.toStdString(), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() - 20));
    }
    const CliResult cut = RunCli(damaged);
    ASSERT_TRUE(cut.m_strErr.starts_with("flowsentry-cli: ")) << cut.m_strErr;
    ASSERT_NE(cut.m_strOut, whole.m_strOut);
    {
        const test::MessageBoxCloser boxes;
        ASSERT_TRUE(app.OpenDocumentFile(damaged) == std::nullopt);
        WaitForRead(frame);
        EXPECT_TRUE(QTest::qWaitFor([&] { return boxes.m_nCount > 0; }));
        QTest::qWait(300);
        EXPECT_EQ(boxes.m_nCount, 1);
        EXPECT_EQ(boxes.m_strText.toStdString() + "\n", cut.m_strErr.substr(std::strlen("flowsentry-cli: ")));
        EXPECT_EQ(boxes.m_icon, QMessageBox::Warning);
    }
    EXPECT_EQ(ListText(frame), cut.m_strOut);
    EXPECT_TRUE(CapturePane(frame).startsWith("Read damaged.pcap: "));

    // Not a capture: one message, the CLI's words, and the list, title and recent files as they were.
    const QString text = Path("notes.txt");
    {
        std::ofstream out(text.toStdString());
        out << "not a capture file\n";
    }
    const CliResult refused = RunCli(text);
    const QString title = frame.windowTitle();
    const QStringList recent = app.RecentFiles().Files();
    {
        const test::MessageBoxCloser boxes;
        app.OnFileDropped(text);
        EXPECT_EQ(boxes.m_nCount, 1);
        EXPECT_EQ(boxes.m_strText.toStdString() + "\n",
                  refused.m_strErr.substr(std::strlen("flowsentry-cli: ")));
    }
    EXPECT_EQ(ListText(frame), cut.m_strOut);
    EXPECT_EQ(frame.windowTitle(), title);
    EXPECT_EQ(app.RecentFiles().Files(), recent);
}

// The recent files are File menu items before Exit; one is read again when chosen, and one that no longer
// exists is offered for removal.
TEST_F(OpenFileTest, RecentFilesInTheMenuReopenOrLeave) {
    const QString a = Path("a.pcap");
    const QString b = Path("b.pcap");
    Generate(a, "--packets 10 --flows 2 --local 10.1.0.1");
    Generate(b, "--packets 20 --flows 5 --local 10.1.0.1");
    CFlowsentryApp app(Settings());
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = app.MainFrame();
    ASSERT_TRUE(app.OpenDocumentFile(a) == std::nullopt);
    ASSERT_TRUE(app.OpenDocumentFile(b) == std::nullopt);
    WaitForRead(frame);

    const auto items = [&frame] {
        QStringList texts;
        for (const QAction* item : frame.menuBar()->actions().front()->menu()->actions()) {
            texts.append(item->isSeparator() ? QString() : item->text());
        }
        return texts;
    };
    EXPECT_EQ(items(),
              (QStringList{"&Open...", "Save &As...", "&Export...", "", "&1 " + b, "&2 " + a, "", "E&xit"}));

    frame.menuBar()->actions().front()->menu()->actions()[5]->trigger();
    WaitForRead(frame);
    EXPECT_EQ(frame.windowTitle(), "a.pcap - Flowsentry");
    EXPECT_EQ(ListText(frame), RunCli(a).m_strOut);
    EXPECT_EQ(app.RecentFiles().Files(), (QStringList{a, b}));

    ASSERT_TRUE(QFile::remove(b));
    QStringList asked;
    bool remove = false;
    CMainFrame::Seams seams;
    seams.m_askRemoveRecentFile = [&](QWidget*, const QString& path) {
        asked.append(path);
        return remove;
    };
    frame.SetSeams(seams);
    frame.menuBar()->actions().front()->menu()->actions()[5]->trigger(); // "&2 b"
    EXPECT_EQ(asked, QStringList{b});
    EXPECT_EQ(app.RecentFiles().Files(), (QStringList{a, b}));
    remove = true;
    frame.menuBar()->actions().front()->menu()->actions()[5]->trigger();
    EXPECT_EQ(app.RecentFiles().Files(), QStringList{a});
    EXPECT_EQ(items(), (QStringList{"&Open...", "Save &As...", "&Export...", "", "&1 " + a, "", "E&xit"}));
    EXPECT_EQ(frame.windowTitle(), "a.pcap - Flowsentry");
}

} // namespace
} // namespace flowsentry
