// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

namespace flowsentry {

// The one document. It holds no traffic (the view owns the table) and is never modified, so closing it
// never asks to save; what it has is a title, which names the main window.
class CFlowsentryDoc {
public:
    // Starts an untitled document.
    bool OnNewDocument();
    // Opens the file for reading, reads nothing from it and takes its name as the title. On failure the
    // document stays as it was and the result is the reason, in the user's terms.
    std::optional<QString> OnOpenDocument(const QString& path);

    [[nodiscard]] const QString& Title() const { return m_strTitle; }

private:
    QString m_strTitle = QStringLiteral("Untitled");
};

} // namespace flowsentry
