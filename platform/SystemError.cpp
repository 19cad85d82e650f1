// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/SystemError.h"

#include <cstring>

namespace flowsentry {

std::string SystemErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

} // namespace flowsentry
