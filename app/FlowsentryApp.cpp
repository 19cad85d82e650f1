// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FlowsentryApp.h"

#include "about/AboutDlg.h"
#include "about/WebAddresses.h"
#include "view/FlowsentryView.h"
#include "view/MessageBox.h"

#include <QAction>
#include <QFileDialog>
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
    m_frame.LoadViewSettings(*m_pSettings);
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
    const QString path = QFileDialog::getOpenFileName(&m_frame, QStringLiteral("Open"), QString(),
                                                      QStringLiteral("All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    if (const auto failure = OpenDocumentFile(path)) {
        ShowWarning(&m_frame, *failure);
    }
}

std::optional<QString> CFlowsentryApp::OpenDocumentFile(const QString& path) {
    if (auto failure = m_doc.OnOpenDocument(path)) {
        return failure;
    }
    m_recentFiles.Add(QFileInfo(path).absoluteFilePath());
    m_frame.SetDocumentTitle(m_doc.Title());
    m_frame.View().OnInitialUpdate();
    return std::nullopt;
}

} // namespace flowsentry
