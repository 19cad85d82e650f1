// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LockKeys.h"

#include <QGuiApplication>

// Xlib's macros (None, Bool, Status...) clash with Qt's names, so it comes last and stays in this file.
#include <X11/XKBlib.h>

namespace flowsentry {

std::optional<LockKeyState> ReadLockKeys() {
    const auto* app = qGuiApp;
    const auto* x11 = app == nullptr ? nullptr : app->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 == nullptr ? nullptr : x11->display();
    if (display == nullptr) {
        return std::nullopt;
    }
    const auto isOn = [display](const char* name) -> std::optional<bool> {
        int on = 0;
        const Atom atom = XInternAtom(display, name, True);
        if (atom == 0 || XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr) == 0) {
            return std::nullopt;
        }
        return on != 0;
    };
    const auto caps = isOn("Caps Lock");
    const auto num = isOn("Num Lock");
    const auto scroll = isOn("Scroll Lock");
    if (!caps || !num) {
        return std::nullopt;
    }
    // Many keyboards have no Scroll Lock indicator: it is then off.
    return LockKeyState{*caps, *num, scroll.value_or(false)};
}

} // namespace flowsentry
