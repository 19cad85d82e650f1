// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QWidget;

namespace flowsentry {

// The application's message box: titled "Flowsentry", a warning icon and one OK button. Opened only on the
// window thread.
void ShowWarning(QWidget* parent, const QString& text);

} // namespace flowsentry
