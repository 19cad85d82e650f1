// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractNativeEventFilter>
#include <functional>
#include <memory>
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

// Asks the X server to report changes of the keyboard's indicators and calls onChange for each, on the
// window thread. The lock keys change without a key event reaching this window (another window has the
// focus), so without this they would have to be polled. Null where there is no X server; the returned
// filter must stay installed (it is, until it is destroyed).
std::unique_ptr<QAbstractNativeEventFilter> WatchLockKeys(std::function<void()> onChange);

} // namespace flowsentry
