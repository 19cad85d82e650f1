// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "about/AboutLinks.h"

#include <QColor>
#include <QLabel>

namespace flowsentry {

// A line of text that acts as a web link: blue, underlined, a pointing hand over it, and a left click
// opens m_urlLink. Built without a link, it opens the address written in its own text.
class CTextLink final : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTextLink)

public:
    CTextLink(const QString& strText, QUrl urlLink, LinkOpener opener, QWidget* pParent = nullptr);

    const QUrl& Link() const { return m_urlLink; }

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    const QColor m_crText{0, 0, 255};
    QUrl m_urlLink;
    LinkOpener m_fnOpen;
};

} // namespace flowsentry
