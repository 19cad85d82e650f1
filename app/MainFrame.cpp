// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainFrame.h"

#include "about/AboutDlg.h"
#include "about/WebAddresses.h"
#include "app/LockKeys.h"
#include "traffic/CellWriter.h"
#include "view/FilterBar.h"
#include "view/FlowsentryView.h"
#include "view/MessageBox.h"
#include "view/TrafficChart.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QIcon>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <utility>

static void InitAppResources() {
    Q_INIT_RESOURCE(app);
}

namespace flowsentry {
namespace {

// Often enough for the bar to move smoothly, seldom enough to cost nothing.
constexpr std::chrono::milliseconds kExportPollInterval{100};

struct ActionDef {
    Command m_command;
    const char* m_szText;
    // What the status bar shows while the pointer is on the item, and the toolbar's tooltip.
    const char* m_szStatusTip;
    const char* m_szToolTip;
    const char* m_szIcon;
    std::initializer_list<QKeySequence> m_keys;
};

QString Latin1(const char* text) {
    return text == nullptr ? QString() : QString::fromLatin1(text);
}

} // namespace

CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent), m_urlOpener([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    InitAppResources();
    setWindowTitle(QStringLiteral("Flowsentry"));
    setWindowIcon(QIcon(CAboutDlg::IconPath()));
    setAcceptDrops(true); // a capture file dropped on the window is opened

    auto* pane = new QWidget(this);
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* splitter = new QSplitter(Qt::Vertical, pane);
    m_pView = new CFlowsentryView(splitter);
    m_pChart = new CTrafficChart(m_pView->Model(), splitter);
    splitter->addWidget(m_pView);
    splitter->addWidget(m_pChart);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);
    m_pFilterBar = new CFilterBar(*m_pView, pane);
    layout->addWidget(m_pFilterBar);
    layout->addWidget(splitter, 1);
    setCentralWidget(pane);
    m_pView->setFocus();
    m_pExport = std::make_unique<CListExport>(*m_pView, this);
    connect(m_pExport.get(), &CListExport::Finished, this, &CMainFrame::OnExportFinished);

    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
}

// The export goes first, while the view whose rows it may hold is still whole.
CMainFrame::~CMainFrame() {
    m_pExport.reset();
    m_pView->SetBatchObserver({}); // the flow export goes before the list
    // Each waits for its thread, which may still be sending the last records.
    m_pFlowExport.reset();
    m_closedFlowExports.clear();
}

QAction* CMainFrame::Action(Command command) const {
    return m_actions.at(static_cast<std::size_t>(command));
}

void CMainFrame::CreateActions() {
    // Save, Save As, Copy, Start, Stop and About are served by the commands built on the view and the about
    // box; here they get their texts, keys and pictures.
    const ActionDef defs[] = {
        {Command::FileNew, "&New", nullptr, nullptr, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {Command::FileOpen, "&Open...", nullptr, nullptr, nullptr, {QKeySequence(Qt::CTRL | Qt::Key_O)}},
        {Command::FileSave,
         "&Save",
         "Save the active document",
         "Save",
         ":/app/icons/save.svg",
         {QKeySequence(Qt::CTRL | Qt::Key_S)}},
        {Command::FileSaveAs,
         "Save &As...",
         "Save the active document with a new name",
         "Save As",
         nullptr,
         {}},
        {Command::FileExport,
         "&Export...",
         "Write the rows as CSV or JSON, with every column, for other programs",
         "Export",
         nullptr,
         {}},
        {Command::EditCopy,
         "&Copy",
         "Copy the selection and put it on the Clipboard",
         "Copy",
         ":/app/icons/copy.svg",
         {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {Command::StartAnalyzing,
         "Start Analyzing",
         "Start Analyzing",
         "Start Analyzing",
         ":/app/icons/start.svg",
         {}},
        {Command::StopAnalyzing,
         "Stop Analyzing",
         "Stop Analyzing",
         "Stop Analyzing",
         ":/app/icons/stop.svg",
         {}},
        {Command::HomeButton,
         "Flowsentry Home",
         "Flowsentry Home",
         "Flowsentry Home",
         ":/app/icons/home.svg",
         {}},
        // This button shows its text in the status bar only; it has no tooltip (see eventFilter).
        {Command::MonitorButton,
         "Ratewatch Network Bandwidth Monitor Home Page",
         "Ratewatch Network Bandwidth Monitor Home Page",
         nullptr,
         ":/app/icons/chart.svg",
         {}},
        {Command::AppAbout,
         "&About Flowsentry...",
         "Display program information, version number and copyright",
         "About",
         ":/app/icons/about.svg",
         {}},
        {Command::AppExit, "E&xit", "Quit the application; prompts to save documents", "Exit", nullptr, {}},
        {Command::ViewToolbar, "&Toolbar", "Show or hide the toolbar", "Toggle ToolBar", nullptr, {}},
        {Command::ViewStatusBar,
         "&Status Bar",
         "Show or hide the status bar",
         "Toggle StatusBar",
         nullptr,
         {}},
        {Command::ViewPause,
         "&Pause Display",
         "Stop the rows moving and changing while counting goes on",
         "Pause Display",
         ":/app/icons/pause.svg",
         {QKeySequence(Qt::Key_P)}},
        {Command::ViewFilter,
         "&Filter Rows...",
         "Show only the rows of some addresses, networks or protocols",
         "Filter Rows",
         nullptr,
         {QKeySequence(Qt::CTRL | Qt::Key_F)}},
        {Command::ViewRateWindow2,
         "Rates over &2 Seconds",
         "Average the rates over the last 2 seconds",
         nullptr,
         nullptr,
         {}},
        {Command::ViewRateWindow10,
         "Rates over &10 Seconds",
         "Average the rates over the last 10 seconds",
         nullptr,
         nullptr,
         {}},
        {Command::ViewRateWindow40,
         "Rates over &40 Seconds",
         "Average the rates over the last 40 seconds",
         nullptr,
         nullptr,
         {}},
        {Command::ViewRatesInBits,
         "Rates in &Bits per Second",
         "Show the rates in bits per second",
         nullptr,
         nullptr,
         {}},
        {Command::ViewChart,
         "Traffic &Chart",
         "Show or hide the chart of the rates over the last five minutes",
         nullptr,
         nullptr,
         {}},
        {Command::ViewResolveNames,
         "Resolve &Names",
         "Show host names instead of addresses once they are known (the address stays in the tooltip)",
         nullptr,
         nullptr,
         {}},
        {Command::ViewCollector,
         "Send Flows to a C&ollector...",
         "Send the rows as IPFIX flow records to a collector such as nfcapd",
         nullptr,
         nullptr,
         {}},
        {Command::ViewMaxRows,
         "&Maximum Rows...",
         "Set how many rows the list keeps before new traffic counts in \"other\" rows",
         nullptr,
         nullptr,
         {}},
    };
    for (const ActionDef& def : defs) {
        auto* action = new QAction(Latin1(def.m_szText), this);
        action->setStatusTip(Latin1(def.m_szStatusTip));
        if (def.m_szToolTip != nullptr) {
            action->setToolTip(Latin1(def.m_szToolTip));
        }
        if (def.m_szIcon != nullptr) {
            action->setIcon(QIcon(Latin1(def.m_szIcon)));
        }
        action->setShortcuts(QList<QKeySequence>(def.m_keys));
        // Keys work while the toolbar or the menu bar is hidden, as long as the window is active.
        addAction(action);
        m_actions.at(static_cast<std::size_t>(def.m_command)) = action;
    }

    connect(Action(Command::AppExit), &QAction::triggered, this, &QWidget::close);
    connect(Action(Command::HomeButton), &QAction::triggered, this, &CMainFrame::OpenHomePage);
    connect(Action(Command::MonitorButton), &QAction::triggered, this, &CMainFrame::OpenRatewatchPage);
    connect(Action(Command::FileSave), &QAction::triggered, this, &CMainFrame::OnFileSaveAs);
    connect(Action(Command::FileSaveAs), &QAction::triggered, this, &CMainFrame::OnFileSaveAs);
    connect(Action(Command::FileExport), &QAction::triggered, this, &CMainFrame::OnFileExport);
    connect(Action(Command::EditCopy), &QAction::triggered, this, &CMainFrame::OnEditCopy);
    connect(Action(Command::StartAnalyzing), &QAction::triggered, this, &CMainFrame::OnStartAnalyzing);
    connect(Action(Command::StopAnalyzing), &QAction::triggered, this, &CMainFrame::OnStopAnalyzing);

    // P pauses only while the list has the focus: in the filter bar it is a letter.
    QAction* pause = Action(Command::ViewPause);
    removeAction(pause);
    m_pView->addAction(pause);
    pause->setShortcutContext(Qt::WidgetShortcut);
    pause->setCheckable(true);
    connect(pause, &QAction::triggered, m_pView, &CFlowsentryView::SetPaused);
    connect(m_pView, &CFlowsentryView::PausedChanged, pause, &QAction::setChecked);
    connect(m_pView, &CFlowsentryView::PausedChanged, this, [this] { UpdateCaptureStatus(); });
    connect(Action(Command::ViewFilter), &QAction::triggered, m_pFilterBar, &CFilterBar::Open);
    connect(m_pFilterBar, &CFilterBar::FilterChanged, this, &CMainFrame::UpdateCaptureStatus);

    auto* windows = new QActionGroup(this);
    for (const auto& [command, seconds] :
         {std::pair{Command::ViewRateWindow2, 2}, std::pair{Command::ViewRateWindow10, 10},
          std::pair{Command::ViewRateWindow40, 40}}) {
        QAction* action = Action(command);
        action->setCheckable(true);
        action->setChecked(seconds == m_pView->Model().Rows().RateWindow());
        windows->addAction(action);
        connect(action, &QAction::triggered, this, [this, seconds = seconds] { SetRateWindow(seconds); });
    }
    connect(Action(Command::ViewMaxRows), &QAction::triggered, this, &CMainFrame::OnViewMaxRows);
    connect(Action(Command::ViewCollector), &QAction::triggered, this, &CMainFrame::OnViewCollector);
    // The export sees every batch the list pulls, and the rest before the list is emptied.
    // Its records are made and sent on the export's thread, so neither a million rows nor a slow collector
    // holds up the list.
    m_pView->SetBatchObserver(
        [this](const std::shared_ptr<const TrafficBatch>& batch, std::int64_t now, bool last) {
            if (m_pFlowExport) {
                m_pFlowExport->Post(batch, now, last);
            }
        });
    QAction* chart = Action(Command::ViewChart);
    chart->setCheckable(true);
    chart->setChecked(true);
    connect(chart, &QAction::toggled, this, [this](bool on) {
        m_pChart->setVisible(on);
        UpdateChart();
    });
    connect(m_pView, &CFlowsentryView::Refreshed, this, &CMainFrame::UpdateChart);
    connect(&m_pView->Model(), &QAbstractItemModel::modelReset, m_pChart, &CTrafficChart::Clear);
    QAction* bits = Action(Command::ViewRatesInBits);
    bits->setCheckable(true);
    connect(bits, &QAction::toggled, this, [this](bool on) { m_pView->Model().SetRatesInBits(on); });
    QAction* names = Action(Command::ViewResolveNames);
    names->setCheckable(true);
    connect(names, &QAction::toggled, this, [this](bool on) {
        m_pView->SetResolveNames(on);
        m_pFilterBar->Reapply(); // words that matched names only stop matching, and known names match
    });
}

void CMainFrame::UpdateChart() {
    // A file's rows have no rates to plot (CFlowsentryView::SetFileName).
    if (!m_pChart->isVisible() || !m_pView->FileName().isEmpty()) {
        return;
    }
    std::vector<std::size_t> selected;
    for (const QModelIndex& index : m_pView->selectionModel()->selectedRows()) {
        selected.push_back(m_pView->Model().SerialAt(index.row()));
    }
    m_pChart->Update(selected);
}

void CMainFrame::SetRateWindow(int seconds) {
    m_pView->Model().SetRateWindow(seconds);
    Action(Command::ViewRateWindow2)->setChecked(seconds == 2);
    Action(Command::ViewRateWindow10)->setChecked(seconds == 10);
    Action(Command::ViewRateWindow40)->setChecked(seconds == 40);
    UpdateCaptureStatus();
}

std::optional<std::size_t> CMainFrame::AskMaxRows(QWidget* parent, std::size_t current) {
    bool ok = false;
    const int rows = QInputDialog::getInt(
        parent, QStringLiteral("Maximum Rows"),
        QStringLiteral("Rows the list keeps; past them, traffic between new addresses\nis counted in one "
                       "\"other\" row per protocol, so the totals stay exact:"),
        static_cast<int>(std::min<std::size_t>(current, std::numeric_limits<int>::max())), 1,
        std::numeric_limits<int>::max(), 1000, &ok);
    return ok ? std::optional<std::size_t>(static_cast<std::size_t>(rows)) : std::nullopt;
}

void CMainFrame::OnViewMaxRows() {
    if (const auto rows = m_seams.m_askMaxRows(this, m_pView->Table().MaxEntries())) {
        m_pView->Table().SetMaxEntries(*rows);
    }
}

std::optional<std::optional<IpfixTarget>>
CMainFrame::AskCollector(QWidget* parent, const std::optional<IpfixTarget>& current) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Send Flows to a Collector"));
    auto* form = new QFormLayout(&dialog);
    auto* send = new QCheckBox(QStringLiteral("&Send flow records (IPFIX)"), &dialog);
    auto* host = new QLineEdit(&dialog);
    auto* port = new QSpinBox(&dialog);
    auto* transport = new QComboBox(&dialog);
    send->setChecked(current.has_value());
    host->setText(QString::fromStdString(current ? current->m_strHost : std::string("127.0.0.1")));
    port->setRange(1, 65535);
    port->setValue(current ? QString::fromStdString(current->m_strPort).toInt() : 4739);
    transport->addItems({QStringLiteral("UDP"), QStringLiteral("TCP")});
    transport->setCurrentIndex(current && current->m_bTcp ? 1 : 0);
    form->addRow(send);
    form->addRow(QStringLiteral("&Host:"), host);
    form->addRow(QStringLiteral("&Port:"), port);
    form->addRow(QStringLiteral("&Transport:"), transport);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    if (!send->isChecked()) {
        return std::optional<IpfixTarget>();
    }
    IpfixTarget target;
    target.m_bTcp = transport->currentIndex() == 1;
    target.m_strHost = host->text().trimmed().toStdString();
    target.m_strPort = std::to_string(port->value());
    return std::optional<IpfixTarget>(target);
}

std::unique_ptr<IFlowSink> CMainFrame::MakeIpfixSink(const IpfixTarget& target,
                                                     std::function<void(const std::string&)> report) {
    IpfixSettings settings;
    settings.m_target = target;
    return std::make_unique<CIpfixSink>(settings, std::move(report));
}

void CMainFrame::OnViewCollector() {
    if (const auto choice = m_seams.m_askCollector(this, m_collector)) {
        SetCollector(*choice);
    }
}

void CMainFrame::SetCollector(const std::optional<IpfixTarget>& target) {
    if (m_pFlowExport) {
        // What the list has pulled is sent before the export stops or moves, on its own thread.
        m_pFlowExport->Close();
        m_closedFlowExports.push_back(std::move(m_pFlowExport));
    }
    m_collector = target;
    if (target) {
        // Both are called on the export's thread. The news goes through a mutex of ours and a call by name:
        // Qt's handover of a functor is invisible to ThreadSanitizer.
        // A collector that cannot be reached is said once, in the status bar's words; counting goes on.
        auto sink = m_seams.m_makeFlowSink(*target, [this](const std::string& problem) {
            {
                const std::lock_guard lock(m_flowNewsMutex);
                m_flowProblems.push_back(QString::fromStdString(problem));
            }
            QMetaObject::invokeMethod(this, "TakeFlowExportNews", Qt::QueuedConnection);
        });
        m_pFlowExport = std::make_unique<CFlowExportThread>(std::move(sink), FlowTimeouts{}, [this] {
            QMetaObject::invokeMethod(this, "TakeFlowExportNews", Qt::QueuedConnection);
        });
    }
    UpdateCaptureStatus();
}

void CMainFrame::TakeFlowExportNews() {
    std::vector<QString> problems;
    {
        const std::lock_guard lock(m_flowNewsMutex);
        problems.swap(m_flowProblems);
    }
    for (const QString& problem : problems) {
        statusBar()->showMessage(problem, 10'000);
    }
    UpdateFlowPane();
}

void CMainFrame::LoadViewSettings(const QSettings& settings) {
    const int seconds = settings.value(QStringLiteral("View/RateWindow"), 2).toInt();
    SetRateWindow(seconds == 10 || seconds == 40 ? seconds : 2);
    Action(Command::ViewRatesInBits)
        ->setChecked(settings.value(QStringLiteral("View/RatesInBits"), false).toBool());
    Action(Command::ViewChart)
        ->setChecked(settings.value(QStringLiteral("View/TrafficChart"), true).toBool());
    Action(Command::ViewResolveNames)
        ->setChecked(settings.value(QStringLiteral("View/ResolveNames"), false).toBool());
    const qulonglong rows =
        settings.value(QStringLiteral("View/MaxRows"), qulonglong{CTrafficTable::kDefaultMaxEntries})
            .toULongLong();
    m_pView->Table().SetMaxEntries(rows > 0 ? static_cast<std::size_t>(rows)
                                            : CTrafficTable::kDefaultMaxEntries);
}

void CMainFrame::SaveViewSettings(QSettings& settings) const {
    settings.setValue(QStringLiteral("View/RateWindow"), m_pView->Model().Rows().RateWindow());
    settings.setValue(QStringLiteral("View/RatesInBits"), Action(Command::ViewRatesInBits)->isChecked());
    settings.setValue(QStringLiteral("View/TrafficChart"), Action(Command::ViewChart)->isChecked());
    settings.setValue(QStringLiteral("View/ResolveNames"), Action(Command::ViewResolveNames)->isChecked());
    settings.setValue(QStringLiteral("View/MaxRows"), qulonglong{m_pView->Table().MaxEntries()});
}

void CMainFrame::CreateMenus() {
    QMenu* file = m_pFileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(Action(Command::FileOpen));
    file->addAction(Action(Command::FileSaveAs));
    file->addAction(Action(Command::FileExport));
    file->addSeparator();
    file->addAction(Action(Command::AppExit));

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(Action(Command::ViewToolbar));
    view->addAction(Action(Command::ViewStatusBar));
    view->addSeparator();
    view->addAction(Action(Command::ViewPause));
    view->addAction(Action(Command::ViewFilter));
    view->addSeparator();
    view->addAction(Action(Command::ViewRateWindow2));
    view->addAction(Action(Command::ViewRateWindow10));
    view->addAction(Action(Command::ViewRateWindow40));
    view->addAction(Action(Command::ViewRatesInBits));
    view->addAction(Action(Command::ViewChart));
    view->addAction(Action(Command::ViewResolveNames));
    view->addSeparator();
    view->addAction(Action(Command::ViewMaxRows));
    view->addAction(Action(Command::ViewCollector));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(Action(Command::AppAbout));
}

void CMainFrame::CreateToolBar() {
    m_pToolBar = new QToolBar(QStringLiteral("Standard"), this);
    m_pToolBar->setObjectName(QStringLiteral("StandardToolBar"));
    m_pToolBar->setIconSize(QSize(16, 16));
    m_pToolBar->setMovable(true);
    m_pToolBar->setFloatable(true);
    m_pToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    m_pToolBar->addAction(Action(Command::FileSave));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(Command::EditCopy));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(Command::StartAnalyzing));
    m_pToolBar->addAction(Action(Command::StopAnalyzing));
    m_pToolBar->addAction(Action(Command::ViewPause));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(Command::HomeButton));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(Command::MonitorButton));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(Command::AppAbout));
    addToolBar(Qt::TopToolBarArea, m_pToolBar);
    if (QWidget* button = m_pToolBar->widgetForAction(Action(Command::MonitorButton))) {
        button->installEventFilter(this);
    }

    QAction* toggle = Action(Command::ViewToolbar);
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::triggered, m_pToolBar, &QWidget::setVisible);
    // The toolbar can also be hidden from the window's context menu; the check mark follows it.
    connect(m_pToolBar, &QToolBar::visibilityChanged, toggle, &QAction::setChecked);
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    // A normal status-bar widget hides while a status tip is shown and comes back afterwards.
    bar->addWidget(new QLabel(QStringLiteral("Ready"), bar), 1);
    const auto makePane = [bar](const char* text) {
        auto* pane = new QLabel(QString::fromLatin1(text), bar);
        pane->setAccessibleName(pane->text());
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->sizeHint().width() + 8);
        bar->addPermanentWidget(pane);
        return pane;
    };
    m_pExportProgress = new QProgressBar(bar);
    m_pExportProgress->setRange(0, 1000);
    m_pExportProgress->setMinimumWidth(220);
    m_pExportProgress->hide();
    bar->addPermanentWidget(m_pExportProgress);
    m_pExportCancel = new QPushButton(QStringLiteral("Cancel"), bar);
    m_pExportCancel->hide();
    bar->addPermanentWidget(m_pExportCancel);
    connect(m_pExportCancel, &QPushButton::clicked, m_pExport.get(), &CListExport::Cancel);
    m_pExportPoll = new QTimer(this);
    m_pExportPoll->setInterval(kExportPollInterval);
    connect(m_pExportPoll, &QTimer::timeout, this, &CMainFrame::UpdateExportProgress);
    // A capture file's read moves the bar at each refresh of the list.
    m_pReadProgress = new QProgressBar(bar);
    m_pReadProgress->setRange(0, 1000);
    m_pReadProgress->setMinimumWidth(220);
    m_pReadProgress->hide();
    bar->addPermanentWidget(m_pReadProgress);
    m_pReadCancel = new QPushButton(QStringLiteral("Cancel"), bar);
    m_pReadCancel->hide();
    bar->addPermanentWidget(m_pReadCancel);
    connect(m_pReadCancel, &QPushButton::clicked, this, &CMainFrame::OnCancelFileRead);
    // Its own pane, so that it is never cut off when the traffic text is long.
    m_pPausedPane = new QLabel(QStringLiteral("Paused"), bar);
    m_pPausedPane->setContentsMargins(8, 0, 8, 0);
    m_pPausedPane->hide();
    bar->addPermanentWidget(m_pPausedPane);
    m_pFlowPane = new QLabel(bar);
    m_pFlowPane->setContentsMargins(8, 0, 8, 0);
    m_pFlowPane->hide();
    bar->addPermanentWidget(m_pFlowPane);
    m_pTrafficPane = new QLabel(bar);
    m_pTrafficPane->setContentsMargins(8, 0, 8, 0);
    bar->addPermanentWidget(m_pTrafficPane);
    m_pCapturePane = new QLabel(bar);
    m_pCapturePane->setContentsMargins(8, 0, 8, 0);
    bar->addPermanentWidget(m_pCapturePane);
    UpdateCaptureStatus();
    connect(m_pView, &CFlowsentryView::Refreshed, this, &CMainFrame::UpdateCaptureStatus);
    connect(m_pView, &CFlowsentryView::CaptureEnded, this, &CMainFrame::OnCaptureEnded);
    connect(m_pView, &CFlowsentryView::LinkChanged, this, &CMainFrame::UpdateCaptureStatus);
    m_pCapsPane = makePane("CAP");
    m_pNumPane = makePane("NUM");
    m_pScrollPane = makePane("SCRL");
    UpdateLockIndicators();
    m_lockKeyWatch = WatchLockKeys([this] { UpdateLockIndicators(); });

    QAction* toggle = Action(Command::ViewStatusBar);
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::triggered, bar, &QWidget::setVisible);
}

void CMainFrame::UpdateLockIndicators() {
    const std::optional<LockKeyState> keys = ReadLockKeys();
    const std::pair<QLabel*, bool> panes[] = {{m_pCapsPane, keys && keys->m_bCapsLock},
                                              {m_pNumPane, keys && keys->m_bNumLock},
                                              {m_pScrollPane, keys && keys->m_bScrollLock}};
    for (const auto& [pane, on] : panes) {
        // Where the state cannot be read the panes show their names greyed; otherwise a pane shows its name
        // while its lock is on.
        pane->setEnabled(keys.has_value());
        pane->setText(!keys || on ? pane->accessibleName() : QString());
    }
}

QString CMainFrame::CaptureStatusText() const {
    CSniffer& sniffer = m_pView->Sniffer();
    if (const QString& file = m_pView->FileName(); !file.isEmpty()) {
        if (sniffer.IsRunning()) {
            return QStringLiteral("Reading %1...").arg(file);
        }
        const QString datagrams =
            QLocale().toString(static_cast<qulonglong>(sniffer.Stats().m_counters.m_nCounted));
        switch (sniffer.LastEnd()) {
        case CaptureEnd::Stopped:
            return QStringLiteral("Read %1: cancelled after %2 datagrams").arg(file, datagrams);
        case CaptureEnd::Failed:
            return QStringLiteral("Read %1: %2 datagrams, then an error").arg(file, datagrams);
        default:
            return QStringLiteral("Read %1: %2 datagrams").arg(file, datagrams);
        }
    }
    if (!sniffer.IsRunning()) {
        return QStringLiteral("Not capturing");
    }
    const QString address = QString::fromStdString(sniffer.m_strInterfaceAddress);
    const std::uint64_t drops = sniffer.Stats().m_nKernelDrops;
    // The capture stays open while the link is down, and nothing arrives: the pane says why.
    if (const LinkState link = sniffer.Link(); link != LinkState::Up) {
        return QStringLiteral("Capturing on %1: %2, dropped by the kernel: %3")
            .arg(address, QString::fromLatin1(LinkChangeText(link)))
            .arg(drops);
    }
    return QStringLiteral("Capturing on %1, dropped by the kernel: %2").arg(address).arg(drops);
}

QString CMainFrame::TrafficStatusText() const {
    const CTrafficModel& model = m_pView->Model();
    const CRowStore& rows = model.Rows();
    const RowRates rates = rows.TotalRates();
    const bool bits = Action(Command::ViewRatesInBits)->isChecked();
    const QLocale locale;
    // A file's rows have no rates (CFlowsentryView::SetFileName says why).
    QString text = m_pView->FileName().isEmpty()
                       ? QStringLiteral("Sent %1 (%2), received %3 (%4), ")
                             .arg(QString::fromStdString(AmountText(rows.TotalSend())),
                                  QString::fromStdString(RateText(rates.m_dSend, bits)),
                                  QString::fromStdString(AmountText(rows.TotalRcv())),
                                  QString::fromStdString(RateText(rates.m_dRcv, bits)))
                       : QStringLiteral("Sent %1, received %2, ")
                             .arg(QString::fromStdString(AmountText(rows.TotalSend())),
                                  QString::fromStdString(AmountText(rows.TotalRcv())));
    if (model.Order().Filtered()) {
        text += QStringLiteral("%1 of %2 rows")
                    .arg(locale.toString(static_cast<qulonglong>(model.rowCount())),
                         locale.toString(static_cast<qulonglong>(rows.RowCount())));
    } else {
        text += QStringLiteral("%1 rows").arg(locale.toString(static_cast<qulonglong>(rows.RowCount())));
    }
    if (const std::uint64_t overflow = m_pView->Table().OverflowDatagrams(); overflow > 0) {
        text += QStringLiteral(", list full: %1 datagrams in \"other\" rows")
                    .arg(locale.toString(static_cast<qulonglong>(overflow)));
    }
    return text;
}

void CMainFrame::UpdateCaptureStatus() {
    UpdateReadProgress();
    m_pCapturePane->setText(CaptureStatusText());
    m_pTrafficPane->setText(TrafficStatusText());
    m_pPausedPane->setVisible(m_pView->Paused());
    UpdateFlowPane();
}

void CMainFrame::UpdateFlowPane() {
    std::erase_if(m_closedFlowExports, [](const auto& e) { return e->Done(); });
    if (m_pFlowExport) {
        // Short, beside the other panes; the collector in the tooltip.
        m_pFlowPane->setText(QStringLiteral("IPFIX: %1 records").arg(m_pFlowExport->RecordsWritten()));
        m_pFlowPane->setToolTip(
            QStringLiteral("Flow records go to %1").arg(QString::fromStdString(m_collector->Text())));
    }
    m_pFlowPane->setVisible(m_pFlowExport != nullptr);
}

void CMainFrame::OnCaptureEnded(const QString& errorText) {
    UpdateCaptureStatus();
    if (!errorText.isEmpty()) {
        ShowWarning(this, errorText);
    }
}

// While a Save, Export or Copy runs, the commands that would start another are off; a call that comes all the
// same (a test, a queued key) is refused by the export.
void CMainFrame::OnFileSaveAs() {
    if (m_pExport->IsRunning()) {
        return;
    }
    if (const auto path = ChooseSavePath(this, m_seams.m_askSaveName)) {
        m_pExport->StartSave(*path);
        OnExportStarted();
    }
}

void CMainFrame::OnFileExport() {
    if (m_pExport->IsRunning()) {
        return;
    }
    const bool filtered = m_pView->Model().Order().Filtered();
    if (const auto target = ChooseExportTarget(this, filtered, m_seams.m_askExport)) {
        m_pExport->StartExport(*target);
        OnExportStarted();
    }
}

void CMainFrame::OnEditCopy() {
    if (m_pExport->StartCopy(*QGuiApplication::clipboard())) {
        OnExportStarted();
    }
}

void CMainFrame::OnExportStarted() {
    if (!m_pExport->IsRunning()) {
        return; // it failed at once and has said so
    }
    for (const Command command :
         {Command::FileSave, Command::FileSaveAs, Command::FileExport, Command::EditCopy}) {
        Action(command)->setEnabled(false);
    }
    UpdateExportProgress();
    m_pExportProgress->show();
    m_pExportCancel->show();
    m_pExportPoll->start();
}

void CMainFrame::OnExportFinished() {
    m_pExportPoll->stop();
    m_pExportProgress->hide();
    m_pExportCancel->hide();
    for (const Command command :
         {Command::FileSave, Command::FileSaveAs, Command::FileExport, Command::EditCopy}) {
        Action(command)->setEnabled(true);
    }
}

void CMainFrame::UpdateExportProgress() {
    const CListExport::Progress progress = m_pExport->CurrentProgress();
    const bool writing = progress.m_phase == CListExport::Phase::Write;
    // Taking the snapshot is a small part of the work; the bar follows the rendering, which an export does
    // while it writes.
    const bool streaming = writing && progress.m_job == CListExport::Job::Export;
    const bool rendering = progress.m_phase == CListExport::Phase::Render || streaming;
    const std::size_t done = rendering ? progress.m_nRowsDone : writing ? progress.m_nRows : 0;
    m_pExportProgress->setValue(
        progress.m_nRows == 0
            ? (writing ? 1000 : 0)
            : static_cast<int>(static_cast<double>(done) * 1000.0 / static_cast<double>(progress.m_nRows)));
    const QString rows = QLocale().toString(static_cast<qulonglong>(progress.m_nRows));
    const QString doing = progress.m_job == CListExport::Job::Save ? QStringLiteral("Saving %1 rows: %p%")
                          : progress.m_job == CListExport::Job::Export
                              ? QStringLiteral("Exporting %1 rows: %p%")
                              : QStringLiteral("Copying %1 rows: %p%");
    m_pExportProgress->setFormat(writing && !streaming ? QStringLiteral("Writing the file")
                                                       : doing.arg(rows));
    // A file being written is finished rather than left half written.
    m_pExportCancel->setEnabled(!writing);
}

void CMainFrame::OnStartAnalyzing() {
    flowsentry::OnStartAnalyzing(*m_pView, this, m_seams.m_chooseAddress, m_seams.m_checkPrivileges);
    UpdateCaptureStatus();
}

void CMainFrame::OnStopAnalyzing() {
    flowsentry::OnStopAnalyzing(*m_pView);
    UpdateCaptureStatus();
}

void CMainFrame::ReadCaptureFile(const QString& path, std::optional<IpAddress> local) {
    flowsentry::OnStopAnalyzing(*m_pView);
    const QFileInfo info(path);
    m_nReadFileSize = info.isFile() ? info.size() : 0;
    if (!m_pView->ReadFile(path, local)) {
        ShowWarning(this, QString::fromStdString(m_pView->Sniffer().GetErrorText()));
    }
    UpdateCaptureStatus();
}

void CMainFrame::OnCancelFileRead() {
    if (m_pView->FileName().isEmpty()) {
        return; // a live capture ends with Stop, which also empties the list
    }
    m_pView->Sniffer().StopSniffing();
    m_pView->Refresh(); // what was read before the stop shows at once
    UpdateCaptureStatus();
}

void CMainFrame::UpdateReadProgress() {
    const bool reading = !m_pView->FileName().isEmpty() && m_pView->Sniffer().IsRunning();
    if (reading) {
        if (m_nReadFileSize > 0) {
            const auto done = static_cast<double>(m_pView->Sniffer().Stats().m_nBytesRead);
            m_pReadProgress->setRange(0, 1000);
            m_pReadProgress->setValue(
                static_cast<int>(std::min(1000.0, done * 1000.0 / static_cast<double>(m_nReadFileSize))));
            m_pReadProgress->setFormat(QStringLiteral("Reading %1: %p%").arg(m_pView->FileName()));
        } else {
            m_pReadProgress->setRange(0, 0); // a pipe: how much is to come is not known
        }
    }
    m_pReadProgress->setVisible(reading);
    m_pReadCancel->setVisible(reading);
}

void CMainFrame::SetRecentFiles(const QStringList& paths) {
    for (QAction* action : std::exchange(m_recentActions, {})) {
        m_pFileMenu->removeAction(action);
        action->deleteLater();
    }
    // Between the separator after Save As and one of their own before Exit; none while the list is empty.
    QAction* exitItem = Action(Command::AppExit);
    for (int i = 0; i < paths.size(); ++i) {
        // An ampersand in a path must not become a mnemonic.
        QString escaped = paths[i];
        escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
        auto* action = new QAction(QStringLiteral("&%1 %2").arg(i + 1).arg(escaped), m_pFileMenu);
        action->setStatusTip(QStringLiteral("Open this document"));
        connect(action, &QAction::triggered, this, [this, path = paths[i]] { emit RecentFileChosen(path); });
        m_pFileMenu->insertAction(exitItem, action);
        m_recentActions.append(action);
    }
    if (!paths.isEmpty()) {
        auto* separator = new QAction(m_pFileMenu);
        separator->setSeparator(true);
        m_pFileMenu->insertAction(exitItem, separator);
        m_recentActions.append(separator);
    }
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.front().isLocalFile()) {
        event->acceptProposedAction();
    }
}

// One file is read at a time: the first of several dropped.
void CMainFrame::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.front().isLocalFile()) {
        event->acceptProposedAction();
        // After the drop is over: opening may show a message, which must not hold up the drag's source.
        QMetaObject::invokeMethod(
            this, [this, path = urls.front().toLocalFile()] { emit FileDropped(path); },
            Qt::QueuedConnection);
    }
}

// The capture ends before the window goes, so that no thread outlives it. A Save or Copy is cancelled first
// (a file already being written is finished).
void CMainFrame::closeEvent(QCloseEvent* event) {
    m_pExport->CancelAndWait();
    m_pView->Sniffer().StopSniffing();
    m_pView->FinishObserver(); // the flow export sends what is left
    QMainWindow::closeEvent(event);
}

void CMainFrame::SetDocumentTitle(const QString& documentTitle) {
    setWindowTitle(documentTitle + QStringLiteral(" - Flowsentry"));
}

void CMainFrame::OpenHomePage() {
    m_urlOpener(QUrl(QString::fromLatin1(about::kHomePageUrl)));
}

void CMainFrame::OpenRatewatchPage() {
    m_urlOpener(QUrl(QString::fromLatin1(about::kRatewatchPageUrl)));
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        return true; // only the bar-chart button is watched
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace flowsentry
