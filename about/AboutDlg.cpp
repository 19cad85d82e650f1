// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/AboutDlg.h"

#include "about/AboutVersion.h"
#include "about/BannerLink.h"
#include "about/SvgPixmap.h"
#include "about/TextLink.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

namespace flowsentry {

namespace {

constexpr int kIconSize = 32;

// The address as people write it: host and path, without the scheme and the tracking query.
QString AddressText(const QUrl& url) {
    QString text = url.host() + url.path();
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return text.isEmpty() ? url.toDisplayString() : text;
}

} // namespace

QString CAboutDlg::IconPath() {
    return QStringLiteral(":/about/flowsentry.svg");
}

CAboutDlg::CAboutDlg(const AboutLinks& links, LinkOpener opener, QWidget* pParent)
    : QDialog(pParent), m_links(links), m_fnOpen(std::move(opener)) {
    if (!m_fnOpen) {
        m_fnOpen = DesktopLinkOpener();
    }
    setWindowTitle(QStringLiteral("About Flowsentry"));
    setWindowIcon(QIcon(IconPath()));

    m_pBanner = new CBannerLink(m_links.homeBanner, m_fnOpen, this);
    m_pBanner->setObjectName(QStringLiteral("banner"));
    m_pBanner->setAccessibleName(QStringLiteral("Flowsentry home page"));

    auto* pIcon = new QLabel(this);
    pIcon->setObjectName(QStringLiteral("icon"));
    pIcon->setPixmap(RenderSvg(IconPath(), QSize(kIconSize, kIconSize), devicePixelRatioF()));
    pIcon->setFixedSize(kIconSize, kIconSize);

    auto* pVersion = new QLabel(QStringLiteral("Flowsentry Version " FLOWSENTRY_VERSION), this);
    pVersion->setObjectName(QStringLiteral("version"));
    pVersion->setTextFormat(Qt::PlainText);

    m_pNoticeLink = new CTextLink(QStringLiteral("Copyright (C) 2026 Flowsentry Software"), m_links.homeText,
                                  m_fnOpen, this);
    m_pNoticeLink->setObjectName(QStringLiteral("noticeLink"));
    m_pAddressLink = new CTextLink(AddressText(m_links.homeText), m_links.homeText, m_fnOpen, this);
    m_pAddressLink->setObjectName(QStringLiteral("addressLink"));

    m_pHomeButton = new QPushButton(QStringLiteral("Visit Flowsentry Home Page"), this);
    m_pHomeButton->setObjectName(QStringLiteral("homeButton"));
    m_pRatewatchButton = new QPushButton(
        QStringLiteral("Pro version is available in Ratewatch Network Bandwidth Monitor"), this);
    m_pRatewatchButton->setObjectName(QStringLiteral("ratewatchButton"));
    m_pRatewatchButton->setDefault(true);
    connect(m_pHomeButton, &QPushButton::clicked, this, &CAboutDlg::OnVisitHomePage);
    connect(m_pRatewatchButton, &QPushButton::clicked, this, &CAboutDlg::OnRatewatchPage);

    // Banner across the top; under it the icon and three lines on the left, the two buttons on the right.
    auto* pLines = new QGridLayout;
    pLines->setHorizontalSpacing(12);
    pLines->addWidget(pIcon, 0, 0, Qt::AlignTop);
    pLines->addWidget(pVersion, 0, 1);
    pLines->addWidget(m_pNoticeLink, 1, 1);
    pLines->addWidget(m_pAddressLink, 2, 1);
    pLines->setColumnStretch(1, 1);

    auto* pButtons = new QVBoxLayout;
    pButtons->addWidget(m_pHomeButton);
    pButtons->addWidget(m_pRatewatchButton);
    pButtons->addStretch();

    auto* pLower = new QHBoxLayout;
    pLower->addLayout(pLines, 1);
    pLower->addSpacing(16);
    pLower->addLayout(pButtons);

    auto* pMain = new QVBoxLayout(this);
    pMain->addWidget(m_pBanner, 0, Qt::AlignHCenter);
    pMain->addLayout(pLower);
    pMain->setSizeConstraint(QLayout::SetFixedSize);

    // Tab order and first focus as the controls read: the home-page button first, so Enter presses it.
    setTabOrder(m_pHomeButton, m_pRatewatchButton);
    m_pHomeButton->setFocus(Qt::OtherFocusReason);
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::OnVisitHomePage() {
    m_fnOpen(m_links.homeText);
}

void CAboutDlg::OnRatewatchPage() {
    m_fnOpen(m_links.ratewatch);
}

} // namespace flowsentry
