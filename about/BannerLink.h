// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "about/AboutLinks.h"

#include <QLabel>

namespace flowsentry {

// The about box's banner picture as a link: a pointing hand over it, a left click opens m_urlLink.
class CBannerLink final : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CBannerLink)

public:
    // The banner's size in pixels, at a device pixel ratio of 1.
    static constexpr QSize kBannerSize{609, 86};

    CBannerLink(QUrl urlLink, LinkOpener opener, QWidget* pParent = nullptr);

    void SetLink(const QUrl& urlLink) { m_urlLink = urlLink; }
    const QUrl& Link() const { return m_urlLink; }

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    QUrl m_urlLink;
    LinkOpener m_fnOpen;
};

} // namespace flowsentry
