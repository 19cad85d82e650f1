// SPDX-License-Identifier: GPL-3.0-or-later
// The lock-key panes on a real X server (CTest runs this under xvfb-run): they follow the keys as the
// server reports changes, with no timer polling it.
#include "app/MainFrame.h"

#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

// Xlib's macros (None, Bool, Status...) clash with other headers' names: it comes last.
// clang-format off
#include <X11/XKBlib.h>
// clang-format on

namespace flowsentry {
namespace {

Display* X11Display() {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 == nullptr ? nullptr : x11->display();
}

// Locks or unlocks Caps Lock as another program would: the window gets no key event for it.
void SetCapsLock(Display* display, bool on) {
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
    XFlush(display);
}

QString CapsPaneText(const CMainFrame& frame) {
    for (const QLabel* label : frame.statusBar()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->accessibleName() == "CAP") {
            return label->text();
        }
    }
    return "(no pane)";
}

TEST(LockKeys, PanesFollowTheKeysWithoutPolling) {
    Display* display = X11Display();
    ASSERT_NE(display, nullptr) << "needs an X server (QT_QPA_PLATFORM=xcb)";
    SetCapsLock(display, false);
    CMainFrame frame;
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_EQ(CapsPaneText(frame), "");

    for (const QTimer* timer : frame.findChildren<QTimer*>()) {
        EXPECT_FALSE(timer->isActive()) << "a timer of " << timer->interval() << " ms runs in an idle window";
    }

    SetCapsLock(display, true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return CapsPaneText(frame) == "CAP"; }, 3000));
    SetCapsLock(display, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return CapsPaneText(frame).isEmpty(); }, 3000));
}

} // namespace
} // namespace flowsentry

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
