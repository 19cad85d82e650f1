// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FlowsentryApp.h"

#include "about/AboutDlg.h"
#include "about/WebAddresses.h"
#include "view/FlowsentryView.h"
#include "view/MessageBox.h"

#include <QAction>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

namespace flowsentry {

std::unique_ptr<QSettings> CFlowsentryApp::DefaultSettings() {
    return std::make_unique<QSettings>(QStringLiteral("Local AppWizard-Generated Applications"),
                                       QStringLiteral("Flowsentry"));
}

CFlowsentryApp::CFlowsentryApp(std::unique_ptr<QSettings> settings) : m_pSettings(std::move(settings)) {
    m_recentFiles.Load(*m_pSettings);
    m_frame.SetRecentFiles(m_recentFiles.Files());
    m_frame.LoadViewSettings(*m_pSettings);
    connect(&m_frame, &CMainFrame::RecentFileChosen, this, &CFlowsentryApp::OnOpenRecentFile);
    connect(&m_frame, &CMainFrame::FileDropped, this, &CFlowsentryApp::OnFileDropped);
    connect(m_frame.Action(Command::FileNew), &QAction::triggered, this, &CFlowsentryApp::OnFileNew);
    connect(m_frame.Action(Command::FileOpen), &QAction::triggered, this, &CFlowsentryApp::OnFileOpen);
    connect(m_frame.Action(Command::AppAbout), &QAction::triggered, this, &CFlowsentryApp::OnAppAbout);
}

CFlowsentryApp::~CFlowsentryApp() = default;

bool CFlowsentryApp::InitInstance(const QStringList& arguments) {
    if (arguments.size() > 1) {
        ShowWarning(nullptr, QStringLiteral("Usage: flowsentry [FILE]"));
        return false;
    }
    if (arguments.isEmpty()) {
        OnFileNew();
    } else if (const auto failure = OpenDocumentFile(arguments.front())) {
        ShowWarning(nullptr, *failure);
        return false;
    }

    // The window system's default size, centred in the work area.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        m_frame.resize(area.size() * 3 / 4);
        m_frame.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, m_frame.size(), area));
    }
    m_frame.show();
    m_frame.setWindowTitle(QStringLiteral("Flowsentry"));
    return true;
}

void CFlowsentryApp::ExitInstance() {
    m_recentFiles.Save(*m_pSettings);
    m_frame.SaveViewSettings(*m_pSettings);
}

void CFlowsentryApp::OnAppAbout() {
    const AboutLinks links{QUrl(QString::fromLatin1(about::kHomePageUrl)),
                           QUrl(QString::fromLatin1(about::kHomePageBannerUrl)),
                           QUrl(QString::fromLatin1(about::kRatewatchPageUrl))};
    CAboutDlg dlg(links, m_frame.GetUrlOpener(), &m_frame);
    dlg.exec();
}

void CFlowsentryApp::OnFileNew() {
    m_doc.OnNewDocument();
    m_frame.SetDocumentTitle(m_doc.Title());
    m_frame.View().OnInitialUpdate();
}

void CFlowsentryApp::OnFileOpen() {
    const std::optional<OpenChoice> choice = m_frame.AskOpenFile();
    if (!choice) {
        return;
    }
    if (const auto failure = OpenDocumentFile(choice->m_strPath, choice->m_local)) {
        ShowWarning(&m_frame, *failure);
    }
}

void CFlowsentryApp::OnOpenRecentFile(const QString& path) {
    if (!QFileInfo::exists(path)) {
        if (m_frame.AskRemoveRecentFile(path)) {
            m_recentFiles.Remove(path);
            m_frame.SetRecentFiles(m_recentFiles.Files());
        }
        return;
    }
    OnFileDropped(path);
}

void CFlowsentryApp::OnFileDropped(const QString& path) {
    if (const auto failure = OpenDocumentFile(path)) {
        ShowWarning(&m_frame, *failure);
    }
}

std::optional<QString> CFlowsentryApp::OpenDocumentFile(const QString& path, std::optional<IpAddress> local) {
    if (auto failure = m_doc.OnOpenDocument(path)) {
        return failure;
    }
    m_recentFiles.Add(QFileInfo(path).absoluteFilePath());
    m_frame.SetRecentFiles(m_recentFiles.Files());
    m_frame.SetDocumentTitle(m_doc.Title());
    m_frame.View().OnInitialUpdate();
    m_frame.ReadCaptureFile(path, local);
    return std::nullopt;
}

} // namespace flowsentry
