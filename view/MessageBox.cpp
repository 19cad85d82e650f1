// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/MessageBox.h"

#include <QMessageBox>

namespace flowsentry {

void ShowWarning(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Flowsentry"), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace flowsentry
