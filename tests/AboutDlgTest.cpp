// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/AboutDlg.h"

#include "about/BannerLink.h"
#include "about/TextLink.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

namespace flowsentry {
namespace {

const AboutLinks kLinks{
    QUrl("https://www.flowsentry.example/?utm_source=fslink&utm_medium=fslink&utm_campaign=fsapp"),
    QUrl("https://www.flowsentry.example/?utm_source=fslink&utm_medium=fsbanner&utm_campaign=fsapp"),
    QUrl("https://www.flowsentry.example/ratewatch/?utm_source=fsapp&utm_medium=fslink&utm_campaign=fsapp"),
};

// An about box whose opener records the addresses instead of starting a browser.
class AboutDlgTest : public ::testing::Test {
protected:
    std::vector<QUrl> m_opened;
    CAboutDlg m_dlg{kLinks, [this](const QUrl& url) { m_opened.push_back(url); }};

    template <typename T> T* Child(const char* name) {
        T* child = m_dlg.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }

    void ShowActive() {
        m_dlg.show();
        m_dlg.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_dlg));
    }
};

TEST_F(AboutDlgTest, ShowsTheTextsAndOnlyTheTwoButtons) {
    EXPECT_EQ(m_dlg.windowTitle(), "About Flowsentry");
    EXPECT_EQ(Child<QLabel>("version")->text(), "Flowsentry Version " FLOWSENTRY_EXPECTED_VERSION);
    EXPECT_EQ(Child<QLabel>("noticeLink")->text(), "Copyright (C) 2026 Flowsentry Software");
    EXPECT_EQ(Child<QLabel>("addressLink")->text(), "www.flowsentry.example");

    const QList<QPushButton*> buttons = m_dlg.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 2) << "no OK or Cancel button";
    EXPECT_EQ(Child<QPushButton>("homeButton")->text(), "Visit Flowsentry Home Page");
    EXPECT_EQ(Child<QPushButton>("ratewatchButton")->text(),
              "Pro version is available in Ratewatch Network Bandwidth Monitor");
    EXPECT_TRUE(Child<QPushButton>("ratewatchButton")->isDefault());
    EXPECT_FALSE(Child<QPushButton>("homeButton")->isDefault());

    const QPixmap banner = Child<QLabel>("banner")->pixmap();
    EXPECT_EQ(banner.deviceIndependentSize().toSize(), QSize(609, 86));
    EXPECT_FALSE(Child<QLabel>("icon")->pixmap().isNull());
    EXPECT_FALSE(QIcon(CAboutDlg::IconPath()).isNull());
}

TEST_F(AboutDlgTest, EachControlOpensItsAddressAndTheBoxStays) {
    struct Case {
        const char* control;
        QUrl expected;
    };
    const Case cases[] = {
        {"banner", kLinks.homeBanner},
        {"addressLink", kLinks.homeText},
        {"noticeLink", kLinks.homeText},
        // Labelled as the home page, so it opens the home page (not the sibling product's).
        {"homeButton", kLinks.homeText},
        {"ratewatchButton", kLinks.ratewatch},
    };
    m_dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_dlg));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        m_opened.clear();
        QWidget* control = Child<QWidget>(c.control);
        ASSERT_NE(control, nullptr);
        // The control itself, not a window beneath it, must receive the click.
        const QPoint centre = control->mapTo(&m_dlg, control->rect().center());
        EXPECT_EQ(m_dlg.childAt(centre), control);
        QTest::mouseClick(control, Qt::LeftButton);
        ASSERT_EQ(m_opened.size(), 1U);
        EXPECT_EQ(m_opened.front(), c.expected);
        EXPECT_TRUE(m_dlg.isVisible());
        QTest::mouseClick(control, Qt::RightButton);
        EXPECT_EQ(m_opened.size(), 1U) << "only the left button opens";
    }
    int visibleWindows = 0;
    for (const QWidget* w : QApplication::topLevelWidgets()) {
        visibleWindows += w->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(visibleWindows, 1) << "nothing is reported in a window of its own";
}

TEST_F(AboutDlgTest, PointingHandOverTheLinksOnly) {
    struct Case {
        const char* control;
        Qt::CursorShape shape;
    };
    const Case cases[] = {
        {"banner", Qt::PointingHandCursor},
        {"addressLink", Qt::PointingHandCursor},
        {"noticeLink", Qt::PointingHandCursor},
        {"version", Qt::ArrowCursor},
        {"icon", Qt::ArrowCursor},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        EXPECT_EQ(Child<QWidget>(c.control)->cursor().shape(), c.shape);
    }
    EXPECT_EQ(m_dlg.cursor().shape(), Qt::ArrowCursor);
}

// Counts pixels whose blue clearly dominates: the link colour, RGB(0, 0, 255), after antialiasing.
int BluePixels(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += (c.blue() > 150 && c.red() < 100 && c.green() < 100) ? 1 : 0;
        }
    }
    return count;
}

TEST_F(AboutDlgTest, LinksAreBlueAndUnderlinedInTheDialogFont) {
    const QFont dialogFont = m_dlg.font();
    for (const char* name : {"addressLink", "noticeLink"}) {
        SCOPED_TRACE(name);
        QWidget* link = Child<QWidget>(name);
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->font().family(), dialogFont.family());
        EXPECT_EQ(link->font().pointSizeF(), dialogFont.pointSizeF());
        EXPECT_GT(BluePixels(link), 20) << "drawn blue";
    }
    QWidget* version = Child<QWidget>("version");
    EXPECT_FALSE(version->font().underline());
    EXPECT_NE(version->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(BluePixels(version), 0);
}

TEST_F(AboutDlgTest, EscapeAndTheCloseButtonClose) {
    ShowActive();
    QTest::keyClick(&m_dlg, Qt::Key_Escape);
    EXPECT_FALSE(m_dlg.isVisible());
    EXPECT_EQ(m_dlg.result(), QDialog::Rejected);

    ShowActive();
    EXPECT_TRUE(m_dlg.close());
    EXPECT_FALSE(m_dlg.isVisible());
    EXPECT_TRUE(m_opened.empty());
}

TEST_F(AboutDlgTest, EnterPressesTheFocusedButtonAndDoesNotClose) {
    ShowActive();
    auto* home = Child<QPushButton>("homeButton");
    auto* ratewatch = Child<QPushButton>("ratewatchButton");
    EXPECT_EQ(QApplication::focusWidget(), home) << "the first button has the focus when the box opens";

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(m_dlg.isVisible());
    ASSERT_EQ(m_opened.size(), 1U);
    EXPECT_EQ(m_opened.back(), kLinks.homeText);

    ratewatch->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    EXPECT_TRUE(m_dlg.isVisible());
    ASSERT_EQ(m_opened.size(), 2U);
    EXPECT_EQ(m_opened.back(), kLinks.ratewatch);
}

TEST(TextLink, WithoutALinkOpensTheAddressInItsText) {
    std::vector<QUrl> opened;
    CTextLink link("www.flowsentry.example/news", QUrl(), [&](const QUrl& url) { opened.push_back(url); });
    link.show();
    QTest::mouseClick(&link, Qt::LeftButton);
    link.setText("changed later");
    QTest::mouseClick(&link, Qt::LeftButton);
    ASSERT_EQ(opened.size(), 2U);
    EXPECT_EQ(opened[0], QUrl("http://www.flowsentry.example/news"));
    EXPECT_EQ(opened[1], opened[0]) << "the first text stays the link";
}

TEST(BannerLink, SetLinkReplacesTheAddress) {
    std::vector<QUrl> opened;
    CBannerLink banner(kLinks.homeBanner, [&](const QUrl& url) { opened.push_back(url); });
    banner.SetLink(kLinks.ratewatch);
    banner.show();
    QTest::mouseClick(&banner, Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1U);
    EXPECT_EQ(opened[0], kLinks.ratewatch);
}

} // namespace
} // namespace flowsentry

int main(int argc, char* argv[]) {
    ::testing::InitGoogleTest(&argc, argv);
    // gtest_discover_tests lists the tests at build time, where no display may exist.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
