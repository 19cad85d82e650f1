// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LockKeys.h"

#include <QCoreApplication>
#include <QGuiApplication>

// Xlib's macros (None, Bool, Status...) clash with Qt's names, so it comes last and stays in this file.
#include <X11/XKBlib.h>
#include <xcb/xcb.h>

namespace flowsentry {
namespace {

Display* X11Display() {
    const auto* app = qGuiApp;
    const auto* x11 = app == nullptr ? nullptr : app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 == nullptr ? nullptr : x11->display();
}

// Qt hands every event of its X connection to native filters first; this one watches for XKB's indicator
// events, which Qt itself neither asks for nor uses.
class CIndicatorFilter final : public QAbstractNativeEventFilter {
public:
    CIndicatorFilter(int xkbEventBase, std::function<void()> onChange)
        : m_nXkbEventBase(xkbEventBase), m_fnOnChange(std::move(onChange)) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~CIndicatorFilter() override {
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::instance()->removeNativeEventFilter(this);
        }
    }
    CIndicatorFilter(const CIndicatorFilter&) = delete;
    CIndicatorFilter& operator=(const CIndicatorFilter&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) override {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        // All XKB events share one event code; the second byte says which kind it is.
        if ((event->response_type & 0x7F) == m_nXkbEventBase && event->pad0 == XkbIndicatorStateNotify) {
            m_fnOnChange();
        }
        return false;
    }

private:
    int m_nXkbEventBase;
    std::function<void()> m_fnOnChange;
};

} // namespace

std::unique_ptr<QAbstractNativeEventFilter> WatchLockKeys(std::function<void()> onChange) {
    Display* display = X11Display();
    int opcode = 0;
    int eventBase = 0;
    int errorBase = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (display == nullptr || !XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor) ||
        !XkbSelectEvents(display, XkbUseCoreKbd, XkbIndicatorStateNotifyMask, XkbIndicatorStateNotifyMask)) {
        return nullptr;
    }
    XFlush(display);
    return std::make_unique<CIndicatorFilter>(eventBase, std::move(onChange));
}

std::optional<LockKeyState> ReadLockKeys() {
    Display* display = X11Display();
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
