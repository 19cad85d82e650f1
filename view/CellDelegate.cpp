// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/CellDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QStyle>

namespace flowsentry {

void CCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QPalette::ColorGroup group = (option.state & QStyle::State_Enabled) == 0  ? QPalette::Disabled
                                       : (option.state & QStyle::State_Active) != 0 ? QPalette::Active
                                                                                    : QPalette::Inactive;
    QRect rect = option.rect;
    if (selected) {
        painter->fillRect(rect, option.palette.brush(group, QPalette::Highlight));
    } else if (const QVariant background = index.data(Qt::BackgroundRole); background.isValid()) {
        painter->fillRect(rect, background.value<QBrush>());
    }

    const QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
    if (const QVariant decoration = index.data(Qt::DecorationRole); decoration.isValid()) {
        const int side = style->pixelMetric(QStyle::PM_SmallIconSize, nullptr, option.widget);
        const QRect iconRect(rect.left() + margin, rect.top() + (rect.height() - side) / 2, side, side);
        decoration.value<QIcon>().paint(painter, iconRect, Qt::AlignCenter,
                                        selected ? QIcon::Selected : QIcon::Normal);
        rect.setLeft(iconRect.right() + 1 + margin);
    }

    QString text = index.data(Qt::DisplayRole).toString();
    if (!text.isEmpty()) {
        const QRect textRect = rect.adjusted(margin, 0, -margin, 0);
        QColor color = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        if (!selected) {
            if (const QVariant foreground = index.data(Qt::ForegroundRole); foreground.isValid()) {
                color = foreground.value<QBrush>().color();
            }
        }
        const int width = option.fontMetrics.horizontalAdvance(text);
        if (width > textRect.width()) {
            text = option.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width());
        }
        const auto alignment = static_cast<Qt::Alignment>(index.data(Qt::TextAlignmentRole).toInt());
        painter->setPen(color);
        painter->drawText(textRect, static_cast<int>(alignment) | Qt::TextSingleLine, text);
    }

    if ((option.state & QStyle::State_HasFocus) != 0) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.backgroundColor = option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, option.widget);
    }
}

} // namespace flowsentry
