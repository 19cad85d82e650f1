// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/SvgPixmap.h"

#include <QPainter>
#include <QSvgRenderer>

namespace flowsentry {

QPixmap RenderSvg(const QString& path, QSize size, qreal dpr) {
    QPixmap pixmap(size * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

} // namespace flowsentry
