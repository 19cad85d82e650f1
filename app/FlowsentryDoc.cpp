// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FlowsentryDoc.h"

#include "capture/FileSource.h"

#include <QFileInfo>
#include <filesystem>

namespace flowsentry {

bool CFlowsentryDoc::OnNewDocument() {
    m_strTitle = QStringLiteral("Untitled");
    return true;
}

std::optional<QString> CFlowsentryDoc::OnOpenDocument(const QString& path) {
    // The start of the file is read here, so that a file that is no capture (or cannot be read at all)
    // leaves the list as it was. Not a FIFO or a device: opening one may wait for a writer, which the window
    // must not; their failures come from the read itself.
    std::error_code error;
    const auto type = std::filesystem::status(path.toStdString(), error).type();
    if (type == std::filesystem::file_type::regular || type == std::filesystem::file_type::directory ||
        type == std::filesystem::file_type::not_found) {
        CFileSource probe(path.toStdString());
        if (!probe.Open()) {
            return QString::fromStdString(probe.FailureText());
        }
        probe.Close();
    }
    m_strTitle = QFileInfo(path).fileName();
    return std::nullopt;
}

} // namespace flowsentry
