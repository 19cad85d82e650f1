// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace flowsentry {

// "Interface Dialog": the user picks which of the machine's addresses (IPv4, then IPv6) to capture on.
class CInterfaceDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CInterfaceDlg)

public:
    // `addresses` in the order the system lists them; the last one is shown at the top.
    explicit CInterfaceDlg(const std::vector<std::string>& addresses, QWidget* parent = nullptr);
    ~CInterfaceDlg() override;

    // The chosen address: the row last selected, by mouse or keyboard; the top row when the dialog opens.
    // Selecting nothing (a click below the last row) keeps the earlier choice and its row stays
    // highlighted. Empty only when there are no rows; OK is enabled only when a row is chosen.
    [[nodiscard]] QString SelectedAddress() const { return m_strSelectedAddress; }

    [[nodiscard]] QTreeWidget* AddressList() const { return m_listAddresses; }
    [[nodiscard]] QPushButton* OkButton() const { return m_pOkButton; }

private:
    void OnSelectionChanged();

    QString m_strSelectedAddress;
    QTreeWidgetItem* m_pChosenItem = nullptr; // the row of m_strSelectedAddress; the list owns it
    QTreeWidget* m_listAddresses = nullptr;
    QPushButton* m_pOkButton = nullptr;
};

} // namespace flowsentry
