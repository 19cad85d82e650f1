// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/BannerLink.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <utility>

namespace flowsentry {

namespace {

// Drawn from the SVG at the screen's pixel ratio, so the banner stays sharp on scaled displays.
QPixmap RenderBanner(qreal dpr) {
    QPixmap pixmap(CBannerLink::kBannerSize * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/about/banner.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(CBannerLink::kBannerSize)));
    return pixmap;
}

}  // namespace

CBannerLink::CBannerLink(QUrl urlLink, LinkOpener opener, QWidget* pParent)
    : QLabel(pParent), m_urlLink(std::move(urlLink)), m_fnOpen(std::move(opener)) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setPixmap(RenderBanner(devicePixelRatioF()));
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

}  // namespace flowsentry
