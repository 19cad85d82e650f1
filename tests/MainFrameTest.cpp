// SPDX-License-Identifier: GPL-3.0-or-later
#include "CaptureFile.h"
#include "QtPrinters.h"
#include "TestUtil.h"
#include "about/WebAddresses.h"
#include "app/FlowsentryApp.h"
#include "capture/HelperSource.h"
#include "export/IpfixSink.h"
#include "export/ListToText.h"
#include "view/FilterBar.h"
#include "view/FlowsentryView.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QHelpEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolTip>
#include <QUrlQuery>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <signal.h>
#include <sstream>

namespace flowsentry {
namespace {

QString Text(const char* text) {
    return QString::fromLatin1(text);
}

// Rows 10.3.x.y -> 10.0.0.1 as a capture would leave them, shown in the list.
void AddRows(CFlowsentryView& view, int count) {
    std::vector<CTrafficEntry> samples;
    for (int n = 0; n < count; ++n) {
        const std::string src = "10.3." + std::to_string(n / 256) + "." + std::to_string(n % 256);
        samples.push_back(test::Sample(src, "10.0.0.1", 17, 100, 1'700'000'000));
    }
    view.Table().AddSamples(samples, test::Ip("10.0.0.1"));
    view.Refresh();
}

struct ActionCase {
    Command m_command;
    const char* m_szText;
    const char* m_szStatusTip;
    const char* m_szToolTip;
    QList<QKeySequence> m_keys;
};

TEST(MainFrame, ActionsHaveTheirTextsTipsAndKeys) {
    CMainFrame frame;
    const ActionCase cases[] = {
        {Command::FileNew, "&New", "", "New", {QKeySequence("Ctrl+N")}},
        {Command::FileOpen, "&Open...", "", "Open", {QKeySequence("Ctrl+O")}},
        {Command::FileSave, "&Save", "Save the active document", "Save", {QKeySequence("Ctrl+S")}},
        {Command::FileSaveAs, "Save &As...", "Save the active document with a new name", "Save As", {}},
        {Command::EditCopy,
         "&Copy",
         "Copy the selection and put it on the Clipboard",
         "Copy",
         {QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins")}},
        {Command::StartAnalyzing, "Start Analyzing", "Start Analyzing", "Start Analyzing", {}},
        {Command::StopAnalyzing, "Stop Analyzing", "Stop Analyzing", "Stop Analyzing", {}},
        {Command::HomeButton, "Flowsentry Home", "Flowsentry Home", "Flowsentry Home", {}},
        {Command::MonitorButton,
         "Ratewatch Network Bandwidth Monitor Home Page",
         "Ratewatch Network Bandwidth Monitor Home Page",
         "Ratewatch Network Bandwidth Monitor Home Page",
         {}},
        {Command::AppAbout,
         "&About Flowsentry...",
         "Display program information, version number and copyright",
         "About",
         {}},
        {Command::AppExit, "E&xit", "Quit the application; prompts to save documents", "Exit", {}},
        {Command::ViewToolbar, "&Toolbar", "Show or hide the toolbar", "Toggle ToolBar", {}},
        {Command::ViewStatusBar, "&Status Bar", "Show or hide the status bar", "Toggle StatusBar", {}},
    };
    for (const ActionCase& c : cases) {
        const QAction* action = frame.Action(c.m_command);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), Text(c.m_szText));
        EXPECT_EQ(action->statusTip(), Text(c.m_szStatusTip)) << c.m_szText;
        EXPECT_EQ(action->toolTip(), Text(c.m_szToolTip)) << c.m_szText;
        EXPECT_EQ(action->shortcuts(), c.m_keys) << c.m_szText;
        // Keys must work while the toolbar is hidden: the window itself carries every action.
        EXPECT_TRUE(frame.actions().contains(action)) << c.m_szText;
    }
}

TEST(MainFrame, MenusAndToolbarHoldTheirItemsInOrder) {
    CMainFrame frame;
    const auto menus = frame.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    const QStringList titles = {"&File", "&View", "&Help"};
    const QList<QStringList> items = {
        {"&Open...", "Save &As...", "&Export...", "", "E&xit"},
        {"&Toolbar", "&Status Bar", "", "&Pause Display", "&Filter Rows...", "", "Rates over &2 Seconds",
         "Rates over &10 Seconds", "Rates over &40 Seconds", "Rates in &Bits per Second", "Traffic &Chart",
         "Resolve &Names", "", "&Maximum Rows...", "Send Flows to a C&ollector..."},
        {"&About Flowsentry..."}};
    for (int m = 0; m < 3; ++m) {
        EXPECT_EQ(menus[m]->text(), titles[m]);
        QStringList texts;
        for (const QAction* item : menus[m]->menu()->actions()) {
            texts.append(item->isSeparator() ? QString() : item->text());
        }
        EXPECT_EQ(texts, items[m]);
    }

    const QList<Command> buttons = {Command::FileSave,  Command::Count,          Command::EditCopy,
                                    Command::Count,     Command::StartAnalyzing, Command::StopAnalyzing,
                                    Command::ViewPause, Command::Count,          Command::HomeButton,
                                    Command::Count,     Command::MonitorButton,  Command::Count,
                                    Command::AppAbout};
    const auto toolbarItems = frame.ToolBar()->actions();
    ASSERT_EQ(toolbarItems.size(), buttons.size());
    for (int i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == Command::Count) {
            EXPECT_TRUE(toolbarItems[i]->isSeparator()) << "item " << i;
        } else {
            EXPECT_EQ(toolbarItems[i], frame.Action(buttons[i])) << "item " << i;
            EXPECT_FALSE(toolbarItems[i]->icon().pixmap(16, 16).isNull()) << "item " << i;
        }
    }
}

TEST(MainFrame, ViewMenuHidesAndShowsTheBarsWithCheckMarks) {
    CMainFrame frame;
    frame.show();
    QAction* toolbar = frame.Action(Command::ViewToolbar);
    QAction* statusBar = frame.Action(Command::ViewStatusBar);
    EXPECT_TRUE(toolbar->isChecked());
    EXPECT_TRUE(statusBar->isChecked());
    toolbar->trigger();
    statusBar->trigger();
    EXPECT_FALSE(frame.ToolBar()->isVisible());
    EXPECT_FALSE(frame.statusBar()->isVisible());
    EXPECT_FALSE(toolbar->isChecked());
    EXPECT_FALSE(statusBar->isChecked());
    frame.ToolBar()->show(); // e.g. from the window's context menu
    EXPECT_TRUE(toolbar->isChecked());
}

TEST(MainFrame, KeysReachTheirCommandsWithTheToolbarHiddenAndTheOthersDoNothing) {
    CMainFrame frame;
    CMainFrame::Seams seams;
    seams.m_askSaveName = [](QWidget*) { return QString(); }; // Ctrl+S: the save is cancelled
    frame.SetSeams(seams);
    frame.show();
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    frame.Action(Command::ViewToolbar)->trigger();
    ASSERT_FALSE(frame.ToolBar()->isVisible());

    // std::vector rather than QList: copying an empty QList trips UBSan inside Qt 6.4's own header.
    std::vector<QAction*> fired;
    for (int c = 0; c < static_cast<int>(Command::Count); ++c) {
        QAction* action = frame.Action(static_cast<Command>(c));
        QObject::connect(action, &QAction::triggered, [&fired, action] { fired.push_back(action); });
    }
    struct KeyCase {
        QKeyCombination m_key;
        Command m_expected; // Count: nothing at all
    };
    const KeyCase cases[] = {
        {Qt::CTRL | Qt::Key_S, Command::FileSave},      {Qt::CTRL | Qt::Key_C, Command::EditCopy},
        {Qt::CTRL | Qt::Key_Insert, Command::EditCopy}, {Qt::CTRL | Qt::Key_N, Command::FileNew},
        {Qt::CTRL | Qt::Key_X, Command::Count},         {Qt::CTRL | Qt::Key_V, Command::Count},
        {Qt::CTRL | Qt::Key_Z, Command::Count},         {Qt::ALT | Qt::Key_Backspace, Command::Count},
        {Qt::SHIFT | Qt::Key_Delete, Command::Count},   {Qt::SHIFT | Qt::Key_Insert, Command::Count},
        {QKeyCombination(Qt::Key_F6), Command::Count},  {Qt::SHIFT | Qt::Key_F6, Command::Count},
    };
    for (const KeyCase& c : cases) {
        fired.clear();
        QTest::keyClick(&frame.View(), c.m_key.key(), c.m_key.keyboardModifiers());
        // Copy runs beside the window, and is off until it is done.
        ASSERT_TRUE(QTest::qWaitFor([&frame] { return !frame.Export().IsRunning(); }, 5000));
        std::vector<QAction*> expected;
        if (c.m_expected != Command::Count) {
            expected.push_back(frame.Action(c.m_expected));
        }
        EXPECT_EQ(fired, expected) << QKeySequence(c.m_key).toString().toStdString();
    }
}

TEST(MainFrame, BarChartButtonShowsNoTooltipAndTheHouseDoes) {
    CMainFrame frame;
    frame.show();
    const auto tooltipOf = [&frame](Command command) {
        QWidget* button = frame.ToolBar()->widgetForAction(frame.Action(command));
        QToolTip::hideText(); // fades out on a timer
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000));
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), button->mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(button, &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(tooltipOf(Command::HomeButton), "Flowsentry Home");
    EXPECT_EQ(tooltipOf(Command::MonitorButton), "");
    QToolTip::hideText();
}

// The filter bar, the bounded list and the view settings, as the status bar and the settings file show them.
TEST(MainFrame, FilterMaximumRowsAndViewSettings) {
    CMainFrame frame;
    CMainFrame::Seams seams;
    seams.m_askMaxRows = [](QWidget*, std::size_t current) {
        EXPECT_EQ(current, CTrafficTable::kDefaultMaxEntries);
        return std::optional<std::size_t>(3);
    };
    frame.SetSeams(seams);
    frame.show();
    frame.Action(Command::ViewMaxRows)->trigger();
    CFlowsentryView& view = frame.View();
    for (int n = 0; n < 5; ++n) {
        view.Table().AddSample(test::Sample("10.0.0.1", "10.2.0." + std::to_string(n), n < 4 ? 17 : 6, 100),
                               std::nullopt);
    }
    view.Refresh();
    EXPECT_EQ(frame.TrafficStatusText(),
              "Sent 500 B (0 B/s), received 0 B (0 B/s), 5 rows, list full: 2 datagrams in \"other\" rows");

    frame.Action(Command::ViewFilter)->trigger();
    EXPECT_TRUE(frame.FilterBar().isVisible());
    frame.FilterBar().SetText("UDP 10.2.0.0/30");
    EXPECT_EQ(view.model()->rowCount(), 3);
    EXPECT_TRUE(frame.TrafficStatusText().endsWith("3 of 5 rows, list full: 2 datagrams in \"other\" rows"));
    frame.FilterBar().SetText("10.0.0.0/33");
    EXPECT_EQ(view.model()->rowCount(), 0);
    EXPECT_TRUE(frame.FilterBar().ErrorText().contains("10.0.0.0/33"))
        << frame.FilterBar().ErrorText().toStdString();
    QTest::keyClick(frame.FilterBar().findChild<QLineEdit*>(), Qt::Key_Escape);
    EXPECT_FALSE(frame.FilterBar().isVisible());
    EXPECT_EQ(view.model()->rowCount(), 5);

    frame.Action(Command::ViewRateWindow40)->trigger();
    frame.Action(Command::ViewRatesInBits)->trigger();
    QTest::keyClick(&view, Qt::Key_P);
    EXPECT_TRUE(view.Paused());
    EXPECT_TRUE(frame.Action(Command::ViewPause)->isChecked());
    const auto paused = frame.statusBar()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    EXPECT_TRUE(std::any_of(paused.begin(), paused.end(),
                            [](const QLabel* l) { return l->isVisible() && l->text() == "Paused"; }));
    QTemporaryDir dir;
    QSettings settings(dir.filePath("settings.ini"), QSettings::IniFormat);
    frame.SaveViewSettings(settings);
    CMainFrame again;
    again.LoadViewSettings(settings);
    EXPECT_EQ(again.View().Model().Rows().RateWindow(), 40);
    EXPECT_TRUE(again.Action(Command::ViewRatesInBits)->isChecked());
    EXPECT_TRUE(again.Action(Command::ViewRateWindow40)->isChecked());
    EXPECT_EQ(again.View().Table().MaxEntries(), 3U);
}

// Flow records from the window: every batch the list pulls goes to the export, and what is left when the
// list is emptied (Start, Stop) or the export is switched off; a row's records add up to its counters. The
// records are made on the export's thread: a collector that takes its time never holds up the window.
TEST(MainFrame, FlowsGoToTheCollectorChosenInTheWindowWithoutHoldingItUp) {
    struct Shared {
        std::mutex m_mutex;
        std::condition_variable m_opened;
        bool m_bOpen = true;
        bool m_bWaitedInVain = false; // the gate stayed shut: whoever wrote held up the one to open it
        bool m_bGone = false;
        std::vector<FlowRecord> m_records;
    };
    struct GatedSink final : IFlowSink {
        std::shared_ptr<Shared> m_shared;
        explicit GatedSink(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
        ~GatedSink() override {
            const std::lock_guard lock(m_shared->m_mutex);
            m_shared->m_bGone = true;
        }
        bool Ready() override { return true; }
        void Write(const FlowRecord& record) override {
            std::unique_lock lock(m_shared->m_mutex);
            if (!m_shared->m_opened.wait_for(lock, std::chrono::seconds(5),
                                             [this] { return m_shared->m_bOpen; })) {
                m_shared->m_bWaitedInVain = true;
            }
            m_shared->m_records.push_back(record);
        }
        void Flush() override {}
    };
    const auto shared = std::make_shared<Shared>();
    const auto records = [&shared] {
        const std::lock_guard lock(shared->m_mutex);
        return shared->m_records;
    };
    std::optional<IpfixTarget> asked;
    CMainFrame frame;
    CMainFrame::Seams seams;
    seams.m_askCollector = [&asked](QWidget*, const std::optional<IpfixTarget>&) {
        return std::optional<std::optional<IpfixTarget>>(asked);
    };
    seams.m_makeFlowSink = [&shared](const IpfixTarget&, std::function<void(const std::string&)>) {
        return std::make_unique<GatedSink>(shared);
    };
    frame.SetSeams(seams);
    frame.show();
    asked = ParseIpfixTarget("tcp:127.0.0.1:4739");
    frame.Action(Command::ViewCollector)->trigger();
    ASSERT_TRUE(frame.Collector().has_value());

    CFlowsentryView& view = frame.View();
    const auto local = test::Ip("10.0.0.1");
    // Packets of now: no row times out on its own, so what is sent is what the list's end or the switch
    // hands over.
    const std::int64_t now = std::time(nullptr);
    {
        const std::lock_guard lock(shared->m_mutex);
        shared->m_bOpen = false;
    }
    view.Table().AddSample(test::Sample("10.0.0.1", "10.0.0.2", 17, 100, now), local);
    view.Refresh();
    view.Table().AddSample(test::Sample("10.0.0.2", "10.0.0.1", 17, 40, now + 1), local);
    view.Table().AddSample(test::Sample("10.0.0.1", "10.0.0.3", 6, 60, now + 1), local);
    view.ClearTraffic(); // as Start and Stop do: the last changes never reach the list, but reach the export
    {
        const std::lock_guard lock(shared->m_mutex);
        shared->m_bOpen = true;
    }
    shared->m_opened.notify_all();
    ASSERT_TRUE(QTest::qWaitFor([&] { return records().size() >= 3; }, 10'000));
    std::uint64_t out = 0;
    std::uint64_t in = 0;
    for (const FlowRecord& r : records()) {
        (r.m_dwSrcAddress == local ? out : in) += r.m_nOctets;
    }
    EXPECT_EQ(out, 160U);
    EXPECT_EQ(in, 40U);
    EXPECT_EQ(records().size(), 3U) << "10.0.0.2 both ways, 10.0.0.3 one way";
    EXPECT_FALSE(shared->m_bWaitedInVain) << "the window waited for the collector";
    const auto labels = frame.statusBar()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::any_of(labels.begin(), labels.end(), [](const QLabel* l) {
                return l->isVisible() && l->text() == "IPFIX: 3 records" &&
                       l->toolTip().endsWith("tcp:127.0.0.1:4739");
            });
        },
        10'000));

    // Switched off: what was pulled meanwhile is sent first, then the sink goes, and nothing more comes.
    view.Table().AddSample(test::Sample("10.0.0.1", "10.0.0.2", 17, 7, now + 2), local);
    view.Refresh();
    asked.reset();
    frame.Action(Command::ViewCollector)->trigger();
    EXPECT_FALSE(frame.Collector().has_value());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::lock_guard lock(shared->m_mutex);
            return shared->m_bGone;
        },
        10'000));
    ASSERT_EQ(records().size(), 4U);
    EXPECT_EQ(records().back().m_nOctets, 7U);
    view.Table().AddSample(test::Sample("10.0.0.1", "10.0.0.2", 17, 7, now + 3), local);
    view.ClearTraffic();
    EXPECT_EQ(records().size(), 4U);
}

TEST(MainFrame, StatusBarShowsReadyAndTheLockPanes) {
    CMainFrame frame;
    frame.show();
    QStringList texts;
    for (const QLabel* label : frame.statusBar()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->isVisible()) {
            texts.append(label->text());
        }
    }
    EXPECT_EQ(texts, (QStringList{"Ready", "Sent 0 B (0 B/s), received 0 B (0 B/s), 0 rows", "Not capturing",
                                  "CAP", "NUM", "SCRL"}));
}

// The capture pane says when the captured interface is down, and goes back to its usual text when it is up.
TEST(MainFrame, CapturePaneFollowsTheLinkDownAndUp) {
    CMainFrame frame;
    frame.show();
    const QList<QLabel*> labels = frame.statusBar()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    const auto found = std::find_if(labels.begin(), labels.end(),
                                    [](const QLabel* label) { return label->text() == "Not capturing"; });
    ASSERT_NE(found, labels.end());
    const QLabel* pane = *found;
    CSniffer& sniffer = frame.View().Sniffer();
    sniffer.m_strInterfaceAddress = "10.0.0.1";
    auto source = std::make_unique<CHelperSource>("link-steps", FLOWSENTRY_FAKE_HELPER);
    const CHelperSource* helper = source.get();
    ASSERT_TRUE(sniffer.StartSniffing(std::move(source), test::Ip("10.0.0.1")));
    const auto paneSays = [pane](const char* text) {
        return QTest::qWaitFor([&] { return pane->text() == QString::fromLatin1(text); }, 10000);
    };

    EXPECT_TRUE(paneSays("Capturing on 10.0.0.1: the interface is down, dropped by the kernel: 0"))
        << pane->text().toStdString();
    ASSERT_GT(helper->HelperPid(), 0);
    ASSERT_EQ(kill(helper->HelperPid(), SIGUSR1), 0);
    EXPECT_TRUE(paneSays("Capturing on 10.0.0.1, dropped by the kernel: 0")) << pane->text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sniffer.Stats().m_counters.m_nCounted == 1000; }, 10000));
    ASSERT_EQ(kill(helper->HelperPid(), SIGUSR1), 0);
    EXPECT_TRUE(
        paneSays("Capturing on 10.0.0.1: the interface has no link (no carrier), dropped by the kernel: 0"))
        << pane->text().toStdString();
    EXPECT_TRUE(sniffer.IsRunning());
    frame.OnStopAnalyzing();
    EXPECT_EQ(pane->text(), "Not capturing");
}

TEST(MainFrame, EachWebButtonOpensThePageItsLabelNames) {
    CMainFrame frame;
    QList<QUrl> opened;
    frame.SetUrlOpener([&opened](const QUrl& url) { opened.append(url); });

    frame.Action(Command::HomeButton)->trigger();    // the house, "Flowsentry Home"
    frame.Action(Command::MonitorButton)->trigger(); // the bar chart, the Ratewatch page
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened[0], QUrl(Text(about::kHomePageUrl)));
    EXPECT_EQ(opened[1], QUrl(Text(about::kRatewatchPageUrl)));
    EXPECT_FALSE(opened[0].path().contains("ratewatch"));
    EXPECT_TRUE(opened[1].path().contains("ratewatch"));

    const QUrlQuery home(opened[0]);
    EXPECT_EQ(home.queryItemValue("utm_source"), Text(about::kLinkCode));
    EXPECT_EQ(home.queryItemValue("utm_medium"), Text(about::kLinkCode));
    EXPECT_EQ(home.queryItemValue("utm_campaign"), Text(about::kAppCode));
    const QUrlQuery ratewatch(opened[1]);
    EXPECT_EQ(ratewatch.queryItemValue("utm_source"), Text(about::kAppCode));
    EXPECT_EQ(ratewatch.queryItemValue("utm_medium"), Text(about::kLinkCode));
    EXPECT_EQ(ratewatch.queryItemValue("utm_campaign"), Text(about::kAppCode));
    EXPECT_NE(Text(about::kAppCode), Text(about::kLinkCode));
}

// Save and Copy run beside the window: their commands are off meanwhile and the status bar shows how far
// they are; Stop Analyzing empties the list once the rows are copied; closing the window cancels the job.
TEST(MainFrame, SaveAndCopyRunBesideTheWindowUntilItCloses) {
    CMainFrame frame;
    frame.show();
    CFlowsentryView& view = frame.View();
    AddRows(view, 20'000);
    frame.Export().SetSliceRows(5'000);
    QClipboard* clipboard = QApplication::clipboard();
    auto* progress = frame.statusBar()->findChild<QProgressBar*>();
    auto* cancel = frame.statusBar()->findChild<QPushButton*>();
    ASSERT_TRUE(progress != nullptr && cancel != nullptr);
    EXPECT_FALSE(progress->isVisible());
    const QList<QAction*> commands = {frame.Action(Command::FileSave), frame.Action(Command::FileSaveAs),
                                      frame.Action(Command::EditCopy)};

    const std::string atCommand = ListToText(view.Model().Rows());
    frame.Action(Command::EditCopy)->trigger();
    ASSERT_TRUE(frame.Export().IsRunning());
    for (const QAction* command : commands) {
        EXPECT_FALSE(command->isEnabled()) << command->text().toStdString();
    }
    EXPECT_TRUE(progress->isVisible());
    EXPECT_TRUE(progress->text().startsWith("Copying 20")) << progress->text().toStdString();
    EXPECT_TRUE(cancel->isVisible() && cancel->isEnabled());
    frame.OnStopAnalyzing();
    EXPECT_EQ(view.model()->rowCount(), 20'000);

    ASSERT_TRUE(QTest::qWaitFor([&frame] { return !frame.Export().IsRunning(); }, 20'000));
    EXPECT_EQ(clipboard->text().toStdString(), atCommand);
    EXPECT_EQ(view.model()->rowCount(), 0);
    EXPECT_FALSE(progress->isVisible());
    for (const QAction* command : commands) {
        EXPECT_TRUE(command->isEnabled()) << command->text().toStdString();
    }

    // The Cancel button, and closing the window: the clipboard keeps what it had, the list moves on.
    AddRows(view, 20'000);
    clipboard->setText(QStringLiteral("before"));
    frame.Action(Command::EditCopy)->trigger();
    ASSERT_TRUE(frame.Export().IsRunning());
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_FALSE(frame.Export().IsRunning());
    frame.Action(Command::EditCopy)->trigger();
    ASSERT_TRUE(frame.Export().IsRunning());
    frame.close();
    EXPECT_FALSE(frame.Export().IsRunning());
    EXPECT_FALSE(view.RowsHeld());
    EXPECT_EQ(clipboard->text(), "before");
    EXPECT_TRUE(commands[0]->isEnabled());
}

// File > Export... asks through its seam, which learns whether a filter is on, and writes in the background
// as Save does: every row newest first, or only the rows the filter shows in the order shown.
TEST(MainFrame, ExportWritesEveryRowOrOnlyThoseTheFilterShows) {
    const test::ScopedUtc utc;
    const test::ScopedTempDir temp("flowsentry-frame-export");
    CMainFrame frame;
    std::vector<bool> asked; // whether a filter was on, at each question
    ExportChoice answer;
    CMainFrame::Seams seams;
    seams.m_askExport = [&](QWidget*, bool filtered) {
        asked.push_back(filtered);
        return std::optional<ExportChoice>(answer);
    };
    frame.SetSeams(seams);
    frame.show();
    CFlowsentryView& view = frame.View();
    for (int n = 0; n < 5; ++n) {
        view.Table().AddSample(test::Sample("10.0.0.1", "10.2.0." + std::to_string(n), n < 4 ? 17 : 6,
                                            100U * static_cast<unsigned>(n + 1), 1'700'000'000 + n),
                               test::Ip("10.0.0.1"));
    }
    view.Refresh();
    auto exportAs = [&](const char* name, RowFormat type, bool shown) {
        answer = ExportChoice{QString::fromStdString((temp.Path() / name).string()), type, shown};
        frame.Action(Command::FileExport)->trigger();
        EXPECT_TRUE(QTest::qWaitFor([&frame] { return !frame.Export().IsRunning(); }, 20'000));
        return test::ReadFile(temp.Path() / name);
    };
    auto destinations = [](const std::string& json) {
        QStringList list;
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json));
        for (const QJsonValue row : document.array()) {
            list << row.toObject().value(QStringLiteral("Dest Address")).toString();
        }
        return list;
    };

    // Without a filter every row goes, whatever the dialog said about shown rows.
    EXPECT_EQ(destinations(exportAs("all.json", RowFormat::Json, true)),
              QStringList({"10.2.0.4", "10.2.0.3", "10.2.0.2", "10.2.0.1", "10.2.0.0"}));
    frame.FilterBar().SetText("UDP 10.2.0.0/30");
    view.SortBy(ColTotalData, false);
    EXPECT_EQ(destinations(exportAs("shown.json", RowFormat::Json, true)),
              QStringList({"10.2.0.0", "10.2.0.1", "10.2.0.2", "10.2.0.3"}));
    EXPECT_EQ(destinations(exportAs("every.json", RowFormat::Json, false)).size(), 5);
    EXPECT_EQ(asked, std::vector<bool>({false, true, true}));
}

// Destroyed while the rows are being copied or the text rendered or written: the job's thread ends with it,
// and a save leaves either no file or a whole one.
TEST(MainFrame, AWindowDestroyedDuringASaveOrCopyGoesCleanly) {
    const test::ScopedTempDir temp("flowsentry-frame");
    const std::string path = (temp.Path() / "list.txt").string();
    for (const int slice : {1'000, -1}) {
        for (const Command command : {Command::EditCopy, Command::FileSave}) {
            std::string expected;
            {
                auto frame = std::make_unique<CMainFrame>();
                CMainFrame::Seams seams;
                seams.m_askSaveName = [&path](QWidget*) { return QString::fromStdString(path); };
                frame->SetSeams(seams);
                AddRows(frame->View(), 50'000);
                expected = ListToText(frame->View().Model().Rows());
                frame->Export().SetSliceRows(static_cast<std::size_t>(slice));
                frame->Action(command)->trigger();
                EXPECT_TRUE(frame->Export().IsRunning());
            }
            if (std::filesystem::exists(path)) {
                EXPECT_EQ(test::ReadFile(path), expected);
                std::filesystem::remove(path);
            }
            EXPECT_TRUE(std::filesystem::is_empty(temp.Path()));
        }
    }
}

class FlowsentryAppTest : public testing::Test {
protected:
    std::unique_ptr<QSettings> Settings() const {
        return std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
    }

    // A capture file without packets.
    QString MakeFile(const QString& name) const {
        const QString path = m_dir.filePath(name);
        test::WritePcap(path.toStdString(), DLT_EN10MB, {});
        return path;
    }

    QTemporaryDir m_dir;
};

TEST_F(FlowsentryAppTest, TitleFollowsNewAndOpenWhileRowsAndColumnsStay) {
    CFlowsentryApp app(Settings());
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = app.MainFrame();
    EXPECT_EQ(frame.windowTitle(), "Flowsentry");
    EXPECT_TRUE(frame.isVisible());

    // Rows as a running capture leaves them.
    CFlowsentryView& view = frame.View();
    view.Table().AddSample(test::Sample("10.0.0.1", "10.0.0.2", 6, 10), std::nullopt);
    view.Refresh();

    app.OnFileNew();
    EXPECT_EQ(frame.windowTitle(), "Untitled - Flowsentry");
    EXPECT_EQ(view.model()->rowCount(), 1);
    // Open reads the file into the list, in place of what it showed.
    ASSERT_TRUE(app.OpenDocumentFile(MakeFile("trace.pcap")) == std::nullopt);
    EXPECT_EQ(frame.windowTitle(), "trace.pcap - Flowsentry");
    EXPECT_EQ(view.model()->rowCount(), 0);
    EXPECT_EQ(view.model()->columnCount(), ListColumnCount);
    EXPECT_EQ(view.Table().EntryCount(), 0U);

    // A file that cannot be opened changes nothing and says why.
    const auto failure = app.OpenDocumentFile(m_dir.filePath("missing.txt"));
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->contains("missing.txt"));
    EXPECT_EQ(frame.windowTitle(), "trace.pcap - Flowsentry");
}

TEST_F(FlowsentryAppTest, StartedWithAFileTheTitleIsStillFlowsentry) {
    CFlowsentryApp app(Settings());
    ASSERT_TRUE(app.InitInstance({MakeFile("start.txt")}));
    EXPECT_EQ(app.MainFrame().windowTitle(), "Flowsentry");
    EXPECT_EQ(app.RecentFiles().Files(), QStringList{m_dir.filePath("start.txt")});
}

TEST_F(FlowsentryAppTest, RecentFileListKeepsFourNewestFirstAcrossRuns) {
    {
        CFlowsentryApp app(Settings());
        for (const char* name : {"a", "b", "c", "d", "e", "c"}) {
            ASSERT_TRUE(app.OpenDocumentFile(MakeFile(name)) == std::nullopt);
        }
        app.ExitInstance();
    }
    QSettings stored(m_dir.filePath("settings.ini"), QSettings::IniFormat);
    stored.beginGroup("Recent File List");
    EXPECT_EQ(stored.childKeys(), (QStringList{"File1", "File2", "File3", "File4"}));
    EXPECT_EQ(stored.value("File1").toString(), m_dir.filePath("c"));
    EXPECT_EQ(stored.value("File4").toString(), m_dir.filePath("b"));
    stored.endGroup();

    CFlowsentryApp next(Settings());
    EXPECT_EQ(next.RecentFiles().Files(), (QStringList{m_dir.filePath("c"), m_dir.filePath("e"),
                                                       m_dir.filePath("d"), m_dir.filePath("b")}));
}

// View > Resolve Names end to end, with c-ares on its thread: on 127.0.0.1 alone, which /etc/hosts names,
// so that no DNS server is asked. The name shows (once the display is no longer paused), the filter bar
// finds the rows by it, and off brings the numbers back and the filter's old answer; the setting is kept.
TEST(MainFrame, ResolveNamesShowsNamesAndTheFilterFindsThem) {
    const std::string name = test::HostsName("127.0.0.1");
    if (name.empty()) {
        GTEST_SKIP() << "/etc/hosts names no 127.0.0.1 ahead of DNS, and a test must not need a DNS server";
    }
    CMainFrame frame;
    const CTrafficModel& model = frame.View().Model();
    frame.FilterBar().SetText(QString::fromStdString(name));
    for (const std::uint8_t proto : {std::uint8_t{6}, std::uint8_t{17}}) {
        frame.View().Table().AddSample(test::Sample("127.0.0.1", "127.0.0.1", proto, 100, 3600),
                                       std::nullopt);
    }
    frame.View().Refresh();
    ASSERT_EQ(model.Rows().RowCount(), 2U);
    EXPECT_EQ(model.rowCount(), 0);

    QAction* names = frame.Action(Command::ViewResolveNames);
    ASSERT_FALSE(names->isChecked());
    // Paused, the rows stay as they are when the names come, and follow them on resuming.
    frame.View().SetPaused(true);
    names->trigger();
    bool arrived = false;
    QObject::connect(frame.View().Names(), &CNameService::NamesChanged, [&arrived] { arrived = true; });
    ASSERT_TRUE(QTest::qWaitFor([&arrived] { return arrived; }, 5000));
    EXPECT_EQ(model.rowCount(), 0);
    frame.View().SetPaused(false);
    ASSERT_EQ(model.rowCount(), 2);
    const QModelIndex cell = model.index(0, ColDestAddress);
    EXPECT_EQ(model.data(cell).toString().toStdString(), name);
    EXPECT_EQ(model.data(cell, Qt::ToolTipRole).toString(), Text("127.0.0.1"));
    QTemporaryDir dir;
    QSettings settings(dir.filePath(Text("flowsentry.ini")), QSettings::IniFormat);
    frame.SaveViewSettings(settings);
    EXPECT_TRUE(settings.value(Text("View/ResolveNames")).toBool());

    names->trigger();
    EXPECT_EQ(model.rowCount(), 0);
    frame.FilterBar().SetText(QString());
    EXPECT_EQ(model.data(model.index(0, ColDestAddress)).toString(), Text("127.0.0.1"));
    CMainFrame second;
    second.LoadViewSettings(settings);
    EXPECT_TRUE(second.Action(Command::ViewResolveNames)->isChecked());
}

} // namespace
} // namespace flowsentry
