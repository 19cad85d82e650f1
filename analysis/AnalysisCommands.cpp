// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/AnalysisCommands.h"

#include "analysis/InterfaceDlg.h"
#include "platform/Interfaces.h"
#include "view/FlowsentryView.h"
#include "view/MessageBox.h"

namespace flowsentry {

std::optional<std::string> ChooseAddressInDialog(QWidget* parent, const std::vector<std::string>& addresses) {
    CInterfaceDlg dlg(addresses, parent);
    if (dlg.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dlg.SelectedAddress().toStdString();
}

void OnStartAnalyzing(CFlowsentryView& view, QWidget* parent, const AddressChooser& choose,
                      const PrivilegeCheck& checkPrivileges) {
    const CapturePrivileges privileges = checkPrivileges();
    if (!privileges.bCanCapture) {
        ShowWarning(parent, QString::fromStdString(privileges.strExplanation));
        return;
    }
    std::vector<std::string> addresses;
    for (const InterfaceAddress& address : ListAddresses()) {
        addresses.push_back(address.Text());
    }
    const std::optional<std::string> chosen = choose(parent, addresses);
    if (!chosen) {
        return;
    }
    // The address changes only while no capture runs.
    OnStopAnalyzing(view);
    view.Sniffer().m_strInterfaceAddress = *chosen;
    if (!view.StartCapture()) {
        ShowWarning(parent, QString::fromStdString(view.Sniffer().GetErrorText()));
    }
}

void OnStopAnalyzing(CFlowsentryView& view) {
    view.Sniffer().StopSniffing();
    view.ClearTraffic();
}

} // namespace flowsentry
