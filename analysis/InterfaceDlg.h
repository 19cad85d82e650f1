#pragma once

#include <QDialog>
#include <QString>

#include <string>
#include <vector>

class QPushButton;
class QTreeWidget;

namespace flowsentry {

// "Interface Dialog": the user picks which of the machine's IPv4 addresses to capture on.
class CInterfaceDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CInterfaceDlg)

public:
    // `addresses` in the order the system lists them; the last one is shown at the top.
    explicit CInterfaceDlg(const std::vector<std::string>& addresses, QWidget* parent = nullptr);
    ~CInterfaceDlg() override;

    // The chosen address: the row last selected, by mouse or keyboard. Selecting nothing (a click below
    // the last row) keeps the earlier choice. Empty until a row has been chosen; OK is enabled only then.
    [[nodiscard]] QString SelectedAddress() const { return m_strSelectedAddress; }

    [[nodiscard]] QTreeWidget* AddressList() const { return m_listAddresses; }
    [[nodiscard]] QPushButton* OkButton() const { return m_pOkButton; }

private:
    void OnSelectionChanged();

    QString m_strSelectedAddress;
    QTreeWidget* m_listAddresses = nullptr;
    QPushButton* m_pOkButton = nullptr;
};

} // namespace flowsentry
