// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "analysis/AnalysisCommands.h"
#include "app/OpenDialog.h"
#include "export/ExportCommands.h"
#include "export/FlowExportThread.h"
#include "export/IpfixSink.h"

#include <QAbstractNativeEventFilter>
#include <QMainWindow>
#include <QUrl>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSettings;
class QTimer;
class QToolBar;

namespace flowsentry {

class CFilterBar;
class CTrafficChart;
class CFlowsentryView;

// The commands the menu, the toolbar and the keys offer.
enum class Command {
    FileNew,
    FileOpen,
    FileSave,
    FileSaveAs,
    FileExport,
    EditCopy,
    StartAnalyzing,
    StopAnalyzing,
    HomeButton,
    MonitorButton,
    AppAbout,
    AppExit,
    ViewToolbar,
    ViewStatusBar,
    ViewPause,
    ViewFilter,
    ViewRateWindow2,
    ViewRateWindow10,
    ViewRateWindow40,
    ViewRatesInBits,
    ViewMaxRows,
    ViewChart,
    ViewCollector,
    ViewResolveNames,
    Count
};

// The main window: menu, toolbar, status bar and the traffic list as its client area.
class CMainFrame final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CMainFrame)

public:
    using UrlOpener = std::function<void(const QUrl&)>;

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    [[nodiscard]] CFlowsentryView& View() { return *m_pView; }
    [[nodiscard]] QAction* Action(Command command) const;
    [[nodiscard]] QToolBar* ToolBar() const { return m_pToolBar; }
    // Save, Copy and Export, which run while the window goes on.
    [[nodiscard]] CListExport& Export() { return *m_pExport; }

    // "<document title> - Flowsentry".
    void SetDocumentTitle(const QString& documentTitle);
    // Web pages open through this; tests put their own in to see the address.
    void SetUrlOpener(UrlOpener opener) { m_urlOpener = std::move(opener); }
    [[nodiscard]] const UrlOpener& GetUrlOpener() const { return m_urlOpener; }

    // What the commands ask the user and the system; tests put their own in.
    struct Seams {
        AddressChooser m_chooseAddress = ChooseAddressInDialog;
        PrivilegeCheck m_checkPrivileges = CheckCapturePrivileges;
        SaveNameAsker m_askSaveName = AskSaveFileName;
        ExportAsker m_askExport = AskExportFile;
        // The most rows the list keeps, asked with the current one; nothing when the user cancels.
        std::function<std::optional<std::size_t>(QWidget*, std::size_t)> m_askMaxRows = AskMaxRows;
        // The collector to send flow records to, asked with the current one: nothing when the user cancels,
        // an empty target when the export is to stop.
        std::function<std::optional<std::optional<IpfixTarget>>(QWidget*, const std::optional<IpfixTarget>&)>
            m_askCollector = AskCollector;
        // Where the records go: IPFIX through libfixbuf; tests put a list in.
        std::function<std::unique_ptr<IFlowSink>(const IpfixTarget&, std::function<void(const std::string&)>)>
            m_makeFlowSink = MakeIpfixSink;
        // File > Open's dialog: the file and the local address; nothing when the user cancels.
        std::function<std::optional<OpenChoice>(QWidget*)> m_askOpenFile = flowsentry::AskOpenFile;
        // Whether a recent file that no longer exists leaves the list.
        std::function<bool(QWidget*, const QString&)> m_askRemoveRecentFile = flowsentry::AskRemoveRecentFile;
    };
    static std::optional<std::optional<IpfixTarget>> AskCollector(QWidget* parent,
                                                                  const std::optional<IpfixTarget>& current);
    static std::unique_ptr<IFlowSink> MakeIpfixSink(const IpfixTarget& target,
                                                    std::function<void(const std::string&)> report);
    // The flow export's collector while it runs.
    [[nodiscard]] const std::optional<IpfixTarget>& Collector() const { return m_collector; }
    static std::optional<std::size_t> AskMaxRows(QWidget* parent, std::size_t current);
    void SetSeams(Seams seams) { m_seams = std::move(seams); }
    [[nodiscard]] std::optional<OpenChoice> AskOpenFile() { return m_seams.m_askOpenFile(this); }
    [[nodiscard]] bool AskRemoveRecentFile(const QString& path) {
        return m_seams.m_askRemoveRecentFile(this, path);
    }

    // Reads a capture file into the list: a running capture stops and the list empties first, as at Start;
    // the status bar shows how far the read is, with a Cancel button.
    void ReadCaptureFile(const QString& path, std::optional<IpAddress> local);
    // The recent files, newest first, as "&1 path" items of the File menu before Exit.
    void SetRecentFiles(const QStringList& paths);

    // What the capture pane of the status bar says.
    [[nodiscard]] QString CaptureStatusText() const;
    // What the traffic pane says: totals and rates since Start, the rows, the datagrams past a full list.
    [[nodiscard]] QString TrafficStatusText() const;
    [[nodiscard]] CFilterBar& FilterBar() { return *m_pFilterBar; }
    [[nodiscard]] CTrafficChart& Chart() { return *m_pChart; }

    // The list's settings kept between runs: the rate window, the unit of the rates, names and the like.
    void LoadViewSettings(const QSettings& settings);
    void SaveViewSettings(QSettings& settings) const;

public slots:
    void OpenHomePage();
    void OpenRatewatchPage();
    void OnFileSaveAs();
    void OnFileExport();
    void OnEditCopy();
    void OnStartAnalyzing();
    void OnStopAnalyzing();
    // Stops reading a capture file; the rows read so far stay.
    void OnCancelFileRead();

signals:
    // A recent file was chosen in the File menu.
    void RecentFileChosen(const QString& path);
    // A file was dropped on the window.
    void FileDropped(const QString& path);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    // On the window thread, queued by the flow export's thread: its problems in the status bar, its count.
    void TakeFlowExportNews();

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void UpdateLockIndicators();
    void UpdateCaptureStatus();
    // The export's pane, and the exports switched off that have finished dropped.
    void UpdateFlowPane();
    void SetRateWindow(int seconds);
    void OnViewMaxRows();
    void OnViewCollector();
    // Starts sending flow records to `target`, or stops (what is left is sent first).
    void SetCollector(const std::optional<IpfixTarget>& target);
    void OnCaptureEnded(const QString& errorText);
    void OnExportStarted();
    void OnExportFinished();
    void UpdateExportProgress();
    void UpdateReadProgress();

    CFlowsentryView* m_pView = nullptr; // owned by the central widget, under the filter bar
    CFilterBar* m_pFilterBar = nullptr;
    CTrafficChart* m_pChart = nullptr; // under the list, in a splitter
    void UpdateChart();
    QLabel* m_pTrafficPane = nullptr;
    QLabel* m_pPausedPane = nullptr; // shown while the display is paused
    QLabel* m_pFlowPane = nullptr;   // shown while flow records go to a collector
    std::optional<IpfixTarget> m_collector;
    std::unique_ptr<CFlowExportThread> m_pFlowExport;
    // Exports switched off or moved that are still sending what they were left; dropped once done.
    std::vector<std::unique_ptr<CFlowExportThread>> m_closedFlowExports;
    std::mutex m_flowNewsMutex;
    std::vector<QString> m_flowProblems; // under m_flowNewsMutex
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pCapturePane = nullptr;
    QLabel* m_pCapsPane = nullptr;
    QLabel* m_pNumPane = nullptr;
    QLabel* m_pScrollPane = nullptr;
    std::unique_ptr<QAbstractNativeEventFilter> m_lockKeyWatch; // null without an X server
    // Shown in the status bar while a Save or Copy runs.
    QProgressBar* m_pExportProgress = nullptr;
    QPushButton* m_pExportCancel = nullptr;
    QTimer* m_pExportPoll = nullptr;
    std::unique_ptr<CListExport> m_pExport;
    // Shown in the status bar while a capture file is read.
    QProgressBar* m_pReadProgress = nullptr;
    QPushButton* m_pReadCancel = nullptr;
    qint64 m_nReadFileSize = 0; // 0 where the size is unknown (a pipe): the bar then only shows it works
    QMenu* m_pFileMenu = nullptr;
    QList<QAction*> m_recentActions; // with their separator
    std::array<QAction*, static_cast<std::size_t>(Command::Count)> m_actions{};
    UrlOpener m_urlOpener;
    Seams m_seams;
};

} // namespace flowsentry
