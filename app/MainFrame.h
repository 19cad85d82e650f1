#pragma once

#include <QMainWindow>
#include <QUrl>

#include <array>
#include <functional>

class QAction;
class QLabel;
class QToolBar;

namespace flowsentry {

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

    // "<document title> - Flowsentry".
    void SetDocumentTitle(const QString& documentTitle);
    // Web pages open through this; tests put their own in to see the address.
    void SetUrlOpener(UrlOpener opener) { m_urlOpener = std::move(opener); }

public slots:
    void OpenHomePage();
    void OpenRatewatchPage();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void UpdateLockIndicators();

    CFlowsentryView* m_pView = nullptr; // owned as the central widget
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pCapsPane = nullptr;
    QLabel* m_pNumPane = nullptr;
    QLabel* m_pScrollPane = nullptr;
    std::array<QAction*, static_cast<std::size_t>(Command::Count)> m_actions{};
    UrlOpener m_urlOpener;
};

} // namespace flowsentry
