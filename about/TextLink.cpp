// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/TextLink.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <utility>

namespace flowsentry {

LinkOpener DesktopLinkOpener() {
    return [](const QUrl& url) { QDesktopServices::openUrl(url); };
}

CTextLink::CTextLink(const QString& strText, QUrl urlLink, LinkOpener opener, QWidget* pParent)
    : QLabel(strText, pParent), m_urlLink(std::move(urlLink)), m_fnOpen(std::move(opener)) {
    // Plain text always: an address must never be read as markup.
    setTextFormat(Qt::PlainText);
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, m_crText);
    setPalette(pal);
    setCursor(Qt::PointingHandCursor);
    if (!m_fnOpen) {
        m_fnOpen = DesktopLinkOpener();
    }
}

void CTextLink::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        if (m_urlLink.isEmpty()) {
            m_urlLink = QUrl::fromUserInput(text());
        }
        m_fnOpen(m_urlLink);
    }
    QLabel::mousePressEvent(pEvent);
}

} // namespace flowsentry
