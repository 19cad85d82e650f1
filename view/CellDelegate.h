// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStyledItemDelegate>

namespace flowsentry {

// Draws the list's cells: background (selection, or the model's highlight), the row's picture in the first
// column, and one line of text, cut short with an ellipsis where it does not fit. The standard delegate asks
// the model for a dozen roles per cell and lays the text out through the style; with every row on the
// screen repainted four times a second that was most of the window thread's time.
class CCellDelegate final : public QStyledItemDelegate {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CCellDelegate)

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

} // namespace flowsentry
