// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

namespace flowsentry {

// An SVG drawn at `size` (device-independent pixels) for a screen of pixel ratio `dpr`, so that it stays
// sharp on scaled displays; transparent around the drawing.
QPixmap RenderSvg(const QString& path, QSize size, qreal dpr);

} // namespace flowsentry
