// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <QString>
#include <optional>

class QWidget;

namespace flowsentry {

// What File > Open asks: the capture file, and optionally which address is ours, to orient the rows by.
struct OpenChoice {
    QString m_strPath;
    std::optional<IpAddress> m_local; // none: each row is oriented by its first datagram
};

// The open dialog: a file dialog with a "Local address:" field under it that lists the machine's addresses
// and takes any address typed in. A text that is no address is refused with a message, and the dialog
// comes back. Nothing when the user cancels.
std::optional<OpenChoice> AskOpenFile(QWidget* parent);

// Asks whether a recent file that no longer exists should leave the list.
bool AskRemoveRecentFile(QWidget* parent, const QString& path);

} // namespace flowsentry
