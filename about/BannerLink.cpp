// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/BannerLink.h"

#include "about/SvgPixmap.h"

#include <QMouseEvent>
#include <utility>

namespace flowsentry {

CBannerLink::CBannerLink(QUrl urlLink, LinkOpener opener, QWidget* pParent)
    : QLabel(pParent), m_urlLink(std::move(urlLink)), m_fnOpen(std::move(opener)) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setPixmap(RenderSvg(QStringLiteral(":/about/banner.svg"), kBannerSize, devicePixelRatioF()));
    setFixedSize(kBannerSize + QSize(2 * frameWidth(), 2 * frameWidth()));
    setCursor(Qt::PointingHandCursor);
    if (!m_fnOpen) {
        m_fnOpen = DesktopLinkOpener();
    }
}

void CBannerLink::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && !m_urlLink.isEmpty()) {
        m_fnOpen(m_urlLink);
    }
    QLabel::mousePressEvent(pEvent);
}

} // namespace flowsentry
