// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/OpenDialog.h"

#include "platform/Interfaces.h"
#include "view/MessageBox.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

namespace flowsentry {

std::optional<OpenChoice> AskOpenFile(QWidget* parent) {
    QFileDialog dialog(parent, QStringLiteral("Open"), QString(),
                       QStringLiteral("Capture Files (*.pcap *.pcapng *.cap);;All Files (*)"));
    // The system's dialog cannot carry a field of ours.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    auto* local = new QComboBox(&dialog);
    local->setEditable(true);
    local->setInsertPolicy(QComboBox::NoInsert);
    local->addItem(QString());
    for (const InterfaceAddress& address : ListAddresses()) {
        local->addItem(QString::fromStdString(address.Text()));
    }
    local->lineEdit()->setPlaceholderText(QStringLiteral("none: each row is oriented by its first datagram"));
    auto* label = new QLabel(QStringLiteral("&Local address:"), &dialog);
    label->setBuddy(local);
    // The non-native dialog lays itself out in a grid: a row of ours goes under the file type's.
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        const int row = grid->rowCount();
        grid->addWidget(label, row, 0);
        grid->addWidget(local, row, 1);
    }
    while (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString path = dialog.selectedFiles().front();
        const QString text = local->currentText().trimmed();
        if (text.isEmpty()) {
            return OpenChoice{path, std::nullopt};
        }
        if (const auto address = AddressFromText(text.toStdString())) {
            return OpenChoice{path, address};
        }
        ShowWarning(&dialog, QStringLiteral("\"%1\" is not an IP address (like 192.168.1.10 or fd00::10).\n"
                                            "Leave the local address empty to orient each row by its first "
                                            "datagram.")
                                 .arg(text));
    }
    return std::nullopt;
}

bool AskRemoveRecentFile(QWidget* parent, const QString& path) {
    return QMessageBox::question(
               parent, QStringLiteral("Flowsentry"),
               QStringLiteral("%1\nno longer exists.\n\nRemove it from the recent files?").arg(path)) ==
           QMessageBox::Yes;
}

} // namespace flowsentry
