// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "analysis/AnalysisCommands.h"
#include "export/ExportCommands.h"
#include "export/FlowExporter.h"
#include "export/IpfixSink.h"

#include <QAbstractNativeEventFilter>
#include <QMainWindow>
#include <QUrl>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
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
    // Save and Copy, which run while the window goes on.
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
        // The most rows the list keeps, asked with the current one; nothing when the user cancels.
        std::function<std::optional<std::size_t>(QWidget*, std::size_t)> m_askMaxRows = AskMaxRows;
        // The collector to send flow records to, asked with the current one: nothing when the user cancels,
        // an empty target when the export is to stop.
        std::function<std::optional<std::optional<IpfixTarget>>(QWidget*, const std::optional<IpfixTarget>&)>
            m_askCollector = AskCollector;
        // Where the records go: IPFIX through libfixbuf; tests put a list in.
        std::function<std::unique_ptr<IFlowSink>(const IpfixTarget&, std::function<void(const std::string&)>)>
            m_makeFlowSink = MakeIpfixSink;
    };
    static std::optional<std::optional<IpfixTarget>> AskCollector(QWidget* parent,
                                                                  const std::optional<IpfixTarget>& current);
    static std::unique_ptr<IFlowSink> MakeIpfixSink(const IpfixTarget& target,
                                                    std::function<void(const std::string&)> report);
    // The flow export's collector while it runs.
    [[nodiscard]] const std::optional<IpfixTarget>& Collector() const { return m_collector; }
    static std::optional<std::size_t> AskMaxRows(QWidget* parent, std::size_t current);
    void SetSeams(Seams seams) { m_seams = std::move(seams); }

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
    void OnEditCopy();
    void OnStartAnalyzing();
    void OnStopAnalyzing();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void UpdateLockIndicators();
    void UpdateCaptureStatus();
    void SetRateWindow(int seconds);
    void OnViewMaxRows();
    void OnViewCollector();
    // Starts sending flow records to `target`, or stops (what is left is sent first).
    void SetCollector(const std::optional<IpfixTarget>& target);
    void OnCaptureEnded(const QString& errorText);
    void OnExportStarted();
    void OnExportFinished();
    void UpdateExportProgress();

    CFlowsentryView* m_pView = nullptr; // owned by the central widget, under the filter bar
    CFilterBar* m_pFilterBar = nullptr;
    CTrafficChart* m_pChart = nullptr; // under the list, in a splitter
    void UpdateChart();
    QLabel* m_pTrafficPane = nullptr;
    QLabel* m_pPausedPane = nullptr; // shown while the display is paused
    QLabel* m_pFlowPane = nullptr;   // shown while flow records go to a collector
    std::optional<IpfixTarget> m_collector;
    std::unique_ptr<IFlowSink> m_pFlowSink;
    std::unique_ptr<CFlowExporter> m_pFlowExporter; // feeds m_pFlowSink; made and dropped with it
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
    std::array<QAction*, static_cast<std::size_t>(Command::Count)> m_actions{};
    UrlOpener m_urlOpener;
    Seams m_seams;
};

} // namespace flowsentry
