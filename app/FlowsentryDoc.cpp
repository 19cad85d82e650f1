// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FlowsentryDoc.h"

#include <QFile>
#include <QFileInfo>

namespace flowsentry {

bool CFlowsentryDoc::OnNewDocument() {
    m_strTitle = QStringLiteral("Untitled");
    return true;
}

std::optional<QString> CFlowsentryDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        const QString reason =
            QFileInfo(path).isDir() ? QStringLiteral("It is a folder.") : file.errorString();
        return QStringLiteral("Cannot open %1.\n%2").arg(path, reason);
    }
    m_strTitle = QFileInfo(path).fileName();
    return std::nullopt;
}

} // namespace flowsentry
