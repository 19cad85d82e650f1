// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/FlowsentryDoc.h"
#include "app/MainFrame.h"
#include "app/RecentFileList.h"

#include <QObject>
#include <QSettings>
#include <QStringList>
#include <memory>
#include <optional>

namespace flowsentry {

// The application: start-up, the one document, New and Open, and the settings kept between runs.
class CFlowsentryApp final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFlowsentryApp)

public:
    // The per-user settings: ~/.config/Local AppWizard-Generated Applications/Flowsentry.conf.
    static std::unique_ptr<QSettings> DefaultSettings();

    explicit CFlowsentryApp(std::unique_ptr<QSettings> settings = DefaultSettings());
    ~CFlowsentryApp() override;

    // Builds the main window and carries out the command line: no argument is New, one argument the Open
    // of that file. Shows the window centred and titled "Flowsentry". False when no window results.
    bool InitInstance(const QStringList& arguments);
    // Writes the recent-file list back.
    void ExitInstance();

    // Opens the capture file as the document and reads it into the list, its rows oriented by `local` (or
    // each by its first datagram). On failure nothing changes and the result is the reason.
    std::optional<QString> OpenDocumentFile(const QString& path,
                                            std::optional<IpAddress> local = std::nullopt);

    [[nodiscard]] CMainFrame& MainFrame() { return m_frame; }
    [[nodiscard]] const CRecentFileList& RecentFiles() const { return m_recentFiles; }

public slots:
    void OnFileNew();
    void OnFileOpen();
    void OnAppAbout();
    // A recent file chosen in the File menu is read again; one that no longer exists may leave the list.
    void OnOpenRecentFile(const QString& path);
    // A file dropped on the window, as if opened.
    void OnFileDropped(const QString& path);

private:
    std::unique_ptr<QSettings> m_pSettings;
    CRecentFileList m_recentFiles;
    CFlowsentryDoc m_doc;
    CMainFrame m_frame;
};

} // namespace flowsentry
