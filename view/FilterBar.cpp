// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/FilterBar.h"

#include "traffic/RowFilter.h"
#include "view/FlowsentryView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <memory>

namespace flowsentry {

CFilterBar::CFilterBar(CFlowsentryView& view, QWidget* parent) : QWidget(parent), m_view(view) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    auto* label = new QLabel(QStringLiteral("&Filter:"), this);
    m_pEdit = new QLineEdit(this);
    m_pEdit->setPlaceholderText(
        QStringLiteral("addresses, networks (10.1.0.0/16), protocols (udp, 47) or parts of host names"));
    m_pEdit->setClearButtonEnabled(true);
    m_pEdit->installEventFilter(this);
    label->setBuddy(m_pEdit);
    m_pError = new QLabel(this);
    auto* close = new QToolButton(this);
    close->setText(QStringLiteral("\u00d7"));
    close->setToolTip(QStringLiteral("Clear the filter and close the bar (Esc)"));
    close->setAutoRaise(true);
    layout->addWidget(label);
    layout->addWidget(m_pEdit, 1);
    layout->addWidget(m_pError);
    layout->addWidget(close);
    connect(m_pEdit, &QLineEdit::textChanged, this, &CFilterBar::Apply);
    connect(close, &QToolButton::clicked, this, &CFilterBar::Close);
    hide();
}

void CFilterBar::Open() {
    show();
    m_pEdit->setFocus(Qt::ShortcutFocusReason);
    m_pEdit->selectAll();
}

void CFilterBar::Close() {
    m_pEdit->clear();
    hide();
    m_view.setFocus(Qt::OtherFocusReason);
}

void CFilterBar::SetText(const QString& text) {
    m_pEdit->setText(text);
}

QString CFilterBar::Text() const {
    return m_pEdit->text();
}

void CFilterBar::Reapply() {
    Apply(m_pEdit->text());
}

QString CFilterBar::ErrorText() const {
    return m_pError->text();
}

void CFilterBar::Apply(const QString& text) {
    auto filter = std::make_shared<CRowFilter>(CRowFilter::Parse(text.toStdString()));
    m_pError->setText(QString::fromStdString(filter->Error()));
    if (filter->IsEmpty()) {
        m_view.Model().SetFilter({});
    } else {
        // Names as the list shows them when the filter asks: none while View > Resolve Names is off.
        const CTrafficModel* model = &m_view.Model();
        m_view.Model().SetFilter(
            [filter, model](const CTrafficEntry& entry) { return filter->Matches(entry, model->Names()); });
    }
    emit FilterChanged();
}

bool CFilterBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pEdit && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        Close();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace flowsentry
