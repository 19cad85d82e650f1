// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Privileges.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace flowsentry {

class CFlowsentryView;

// Lets the user pick one of `addresses`; nothing when the choice was cancelled.
using AddressChooser =
    std::function<std::optional<std::string>(QWidget* parent, const std::vector<std::string>& addresses)>;
using PrivilegeCheck = std::function<CapturePrivileges()>;

// The interface dialog, modal.
std::optional<std::string> ChooseAddressInDialog(QWidget* parent, const std::vector<std::string>& addresses);

// Start Analyzing: when this process may capture, asks for one of the machine's addresses; on OK stops a
// running capture, empties the list and the table, and captures on the chosen address. Cancel changes
// nothing. Without the rights to capture, one message says what is missing and how to fix it.
void OnStartAnalyzing(CFlowsentryView& view, QWidget* parent,
                      const AddressChooser& choose = ChooseAddressInDialog,
                      const PrivilegeCheck& checkPrivileges = CheckCapturePrivileges);

// Stop Analyzing: stops the capture and empties the list and the table.
void OnStopAnalyzing(CFlowsentryView& view);

} // namespace flowsentry
