// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ExportCommands.h"

#include "export/ListToText.h"
#include "export/TextFile.h"
#include "view/MessageBox.h"

#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace flowsentry {

QString AskSaveFileName(QWidget* parent) {
    // The dialog asks before an existing file is replaced.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), QStringLiteral("Text Files (*.txt)"));
}

bool ConfirmReplace(QWidget* parent, const QString& path) {
    // The words and buttons of the dialog's own question, so that both cases read the same.
    const QString text =
        QFileDialog::tr("%1 already exists.\nDo you want to replace it?").arg(QFileInfo(path).fileName());
    return QMessageBox::question(parent, QStringLiteral("Flowsentry"), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

bool SaveListAsText(QWidget* parent, const CRowStore& rows, const SaveNameAsker& askName,
                    const ReplaceConfirmer& confirm) {
    const QString chosen = askName(parent);
    if (chosen.isEmpty()) {
        return false;
    }
    const std::string path = WithTextExtension(chosen.toStdString());
    // The dialog asked about the name as typed; the name with ".txt" added is another file, which may exist.
    if (path != chosen.toStdString()) {
        const QFileInfo target(QString::fromStdString(path));
        if ((target.exists() || target.isSymLink()) && !target.isDir() &&
            !confirm(parent, QString::fromStdString(path))) {
            return false;
        }
    }
    // Rendered only now, after the dialog, so the file shows the rows as they are at this moment.
    const std::string error = WriteFileReplacing(path, ListToText(rows));
    if (!error.empty()) {
        ShowWarning(parent,
                    QStringLiteral("The table could not be saved.\n\n%1").arg(QString::fromStdString(error)));
        return false;
    }
    return true;
}

void CopyListToClipboard(const CRowStore& rows, QClipboard& clipboard) {
    // The cells are ASCII, so Latin-1 keeps the bytes exactly as the file has them.
    const std::string text = ListToText(rows);
    clipboard.setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace flowsentry
