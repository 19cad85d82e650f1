// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace flowsentry::test {

// Closes every message box that opens while it lives, and remembers what the boxes showed.
class MessageBoxCloser {
public:
    MessageBoxCloser() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                m_strTitle = box->windowTitle();
                m_strText = box->text();
                m_icon = box->icon();
                ++m_nCount;
                box->accept();
            }
        });
        m_timer.start(5);
    }

    QString m_strTitle;
    QString m_strText;
    QMessageBox::Icon m_icon = QMessageBox::NoIcon;
    int m_nCount = 0;

private:
    QTimer m_timer;
};

} // namespace flowsentry::test
