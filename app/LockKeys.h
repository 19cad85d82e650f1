// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>

namespace flowsentry {

struct LockKeyState {
    bool m_bCapsLock = false;
    bool m_bNumLock = false;
    bool m_bScrollLock = false;
};

// The keyboard's lock keys as the X server reports them; nothing on other platforms (offscreen, Wayland),
// where Qt offers no way to read them.
std::optional<LockKeyState> ReadLockKeys();

} // namespace flowsentry
