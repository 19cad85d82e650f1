// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace flowsentry {

// The system's text for an errno value ("No such file or directory"); safe from any thread.
std::string SystemErrorText(int error);

} // namespace flowsentry
