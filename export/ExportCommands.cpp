#include "export/ExportCommands.h"

#include "export/ListToText.h"
#include "export/TextFile.h"
#include "view/MessageBox.h"

#include <QClipboard>
#include <QFileDialog>

namespace flowsentry {

QString AskSaveFileName(QWidget* parent) {
    // The dialog asks before an existing file is replaced.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), QStringLiteral("Text Files (*.txt)"));
}

bool SaveListAsText(QWidget* parent, const CRowStore& rows, const SaveNameAsker& askName) {
    const QString chosen = askName(parent);
    if (chosen.isEmpty()) {
        return false;
    }
    const std::string path = WithTextExtension(chosen.toStdString());
    // Rendered only now, after the dialog, so the file shows the rows as they are at this moment.
    const std::string error = WriteFileReplacing(path, ListToText(rows));
    if (!error.empty()) {
        ShowWarning(parent, QStringLiteral("The table could not be saved.\n\n%1").arg(QString::fromStdString(error)));
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
