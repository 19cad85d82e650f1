// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

namespace flowsentry {

// The one document. It holds no traffic (the view owns the table and reads the file into it) and is never
// modified, so closing it never asks to save; what it has is a title, which names the main window.
class CFlowsentryDoc {
public:
    // Starts an untitled document.
    bool OnNewDocument();
    // Checks that the file opens as a pcap or pcapng capture (the view reads its traffic) and takes its name
    // as the title. On failure the document stays as it was and the result is the reason, in the words
    // flowsentry-cli uses for it.
    std::optional<QString> OnOpenDocument(const QString& path);

    [[nodiscard]] const QString& Title() const { return m_strTitle; }

private:
    QString m_strTitle = QStringLiteral("Untitled");
};

} // namespace flowsentry
