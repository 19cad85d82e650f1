// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/InterfaceDlg.h"

#include <QHeaderView>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace flowsentry {
namespace {

QPoint RowCentre(QTreeWidget* list, int row) {
    return list->visualItemRect(list->topLevelItem(row)).center();
}

class InterfaceDlgTest : public ::testing::Test {
protected:
    InterfaceDlgTest() : m_dlg({"10.250.0.1", "192.168.7.2", "127.0.0.1"}) {
        m_dlg.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&m_dlg));
    }
    QTreeWidget* List() { return m_dlg.AddressList(); }
    CInterfaceDlg m_dlg;
};

TEST_F(InterfaceDlgTest, ListsTheAddressesLastFirst) {
    EXPECT_EQ(m_dlg.windowTitle(), "Interface Dialog");
    EXPECT_EQ(List()->headerItem()->text(0), "Interface Addresses");
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    EXPECT_EQ(List()->topLevelItem(0)->text(0), "127.0.0.1");
    EXPECT_EQ(List()->topLevelItem(1)->text(0), "192.168.7.2");
    EXPECT_EQ(List()->topLevelItem(2)->text(0), "10.250.0.1");
    EXPECT_FALSE(List()->topLevelItem(0)->icon(0).isNull());
}

TEST_F(InterfaceDlgTest, TheTopRowIsHighlightedAndChosenOnOpening) {
    EXPECT_TRUE(List()->hasFocus());
    EXPECT_EQ(List()->currentItem(), List()->topLevelItem(0));
    ASSERT_EQ(List()->selectedItems().size(), 1);
    EXPECT_EQ(List()->selectedItems().front(), List()->topLevelItem(0));
    EXPECT_EQ(m_dlg.SelectedAddress(), "127.0.0.1");
    EXPECT_TRUE(m_dlg.OkButton()->isEnabled());
    // The first Down moves on from the highlighted top row to the second.
    QTest::keyClick(List(), Qt::Key_Down);
    EXPECT_EQ(m_dlg.SelectedAddress(), "192.168.7.2");
}

TEST_F(InterfaceDlgTest, EnterAtOnceTakesTheTopRow) {
    QSignalSpy accepted(&m_dlg, &QDialog::accepted);
    QTest::keyClick(List(), Qt::Key_Return);
    EXPECT_EQ(accepted.count(), 1);
    EXPECT_EQ(m_dlg.SelectedAddress(), "127.0.0.1");
}

TEST_F(InterfaceDlgTest, EnterWithNothingChosenDoesNotAccept) {
    // Only a list without rows leaves nothing chosen.
    CInterfaceDlg empty({});
    empty.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&empty));
    EXPECT_FALSE(empty.OkButton()->isEnabled());
    QSignalSpy accepted(&empty, &QDialog::accepted);
    QTest::keyClick(empty.AddressList(), Qt::Key_Return);
    EXPECT_EQ(accepted.count(), 0);
    EXPECT_TRUE(empty.isVisible());
    EXPECT_TRUE(empty.SelectedAddress().isEmpty());
}

TEST_F(InterfaceDlgTest, ClickedRowIsChosenAndAClickBelowTheRowsKeepsIt) {
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(List(), 1));
    EXPECT_EQ(m_dlg.SelectedAddress(), "192.168.7.2");
    EXPECT_TRUE(m_dlg.OkButton()->isEnabled());
    // Empty area under the last row: the choice stays, and still looks chosen.
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, QPoint(10, List()->viewport()->height() - 3));
    EXPECT_EQ(m_dlg.SelectedAddress(), "192.168.7.2");
    ASSERT_EQ(List()->selectedItems().size(), 1);
    EXPECT_EQ(List()->selectedItems().front(), List()->topLevelItem(1));
    EXPECT_TRUE(m_dlg.OkButton()->isEnabled());
    // So does a Ctrl+click that would take the highlight off the chosen row.
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(List(), 1));
    EXPECT_EQ(List()->selectedItems().size(), 1);
    EXPECT_EQ(m_dlg.SelectedAddress(), "192.168.7.2");
    // A double click chooses without closing.
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(List(), 2));
    EXPECT_EQ(m_dlg.SelectedAddress(), "10.250.0.1");
    EXPECT_TRUE(m_dlg.isVisible());
    EXPECT_EQ(m_dlg.result(), 0);
}

TEST_F(InterfaceDlgTest, ArrowKeysAndEnterChooseTheHighlightedRow) {
    QSignalSpy accepted(&m_dlg, &QDialog::accepted);
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Down);
    QTest::keyClick(List(), Qt::Key_Down);
    ASSERT_EQ(List()->selectedItems().size(), 1);
    EXPECT_EQ(m_dlg.SelectedAddress(), List()->selectedItems().front()->text(0));
    EXPECT_EQ(m_dlg.SelectedAddress(), "10.250.0.1"); // two rows down from the top one
    const QString chosen = m_dlg.SelectedAddress();
    QTest::keyClick(List(), Qt::Key_Return);
    EXPECT_EQ(accepted.count(), 1);
    EXPECT_EQ(m_dlg.result(), QDialog::Accepted);
    EXPECT_EQ(m_dlg.SelectedAddress(), chosen);
}

// IPv6 addresses come after the IPv4 ones (so above them), and the longest fits its row whole.
TEST(InterfaceDlg, Ipv6AddressesFitWhole) {
    const QString longest = QStringLiteral("fe80::1234:5678:9abc:def0%enx001122334455");
    CInterfaceDlg dlg({"10.250.0.1", "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", longest.toStdString()});
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTreeWidget* list = dlg.AddressList();
    EXPECT_EQ(list->topLevelItem(0)->text(0), longest);
    const QRect text = list->visualItemRect(list->topLevelItem(0));
    // The text, the row's icon and the margins around both.
    EXPECT_GE(list->viewport()->width(), list->fontMetrics().horizontalAdvance(longest) +
                                             list->style()->pixelMetric(QStyle::PM_SmallIconSize) +
                                             2 * list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) +
                                             text.left());
}

TEST(InterfaceDlg, NoAddressesLeavesOkDisabled) {
    CInterfaceDlg dlg({});
    EXPECT_EQ(dlg.AddressList()->topLevelItemCount(), 0);
    EXPECT_FALSE(dlg.OkButton()->isEnabled());
}

} // namespace
} // namespace flowsentry
