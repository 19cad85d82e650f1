// SPDX-License-Identifier: GPL-3.0-or-later
#include "QtTestUtil.h"
#include "TestUtil.h"
#include "app/MainFrame.h"
#include "view/FlowsentryView.h"

#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

namespace flowsentry {
namespace {

// A frame whose Start command picks `address` (or cancels, when empty) without showing the dialog.
class AnalysisTest : public ::testing::Test {
protected:
    AnalysisTest() {
        CMainFrame::Seams seams;
        seams.m_chooseAddress =
            [this](QWidget*, const std::vector<std::string>& addresses) -> std::optional<std::string> {
            m_offered = addresses;
            ++m_nAsked;
            if (m_strAnswer.empty()) {
                return std::nullopt;
            }
            return m_strAnswer;
        };
        seams.m_checkPrivileges = [this] { return m_privileges; };
        m_frame.SetSeams(seams);
        m_frame.View().OnInitialUpdate();
    }

    void AddRows(int count) {
        for (int i = 0; i < count; ++i) {
            m_frame.View().Table().AddSample(
                test::Sample("10.0.0.1", ("10.0.1." + std::to_string(i)).c_str(), 17, 100), std::nullopt);
        }
        m_frame.View().Refresh();
    }
    int Rows() { return m_frame.View().model()->rowCount(); }
    CSniffer& Sniffer() { return m_frame.View().Sniffer(); }

    CMainFrame m_frame;
    std::string m_strAnswer;
    std::vector<std::string> m_offered;
    int m_nAsked = 0;
    CapturePrivileges m_privileges{true, {}};
};

TEST_F(AnalysisTest, WithoutTheRightsToCaptureOneMessageSaysWhatToDo) {
    m_privileges = {false, "Capturing needs CAP_NET_RAW and CAP_NET_ADMIN: run sudo setcap ..."};
    m_strAnswer = "127.0.0.1";
    AddRows(2);
    const test::MessageBoxCloser boxes;
    m_frame.Action(Command::StartAnalyzing)->trigger();
    EXPECT_EQ(boxes.m_nCount, 1);
    EXPECT_EQ(boxes.m_strTitle, "Flowsentry");
    EXPECT_EQ(boxes.m_icon, QMessageBox::Warning);
    EXPECT_EQ(boxes.m_strText.toStdString(), m_privileges.strExplanation);
    EXPECT_EQ(m_nAsked, 0) << "no dialog without the rights";
    EXPECT_FALSE(Sniffer().IsRunning());
    EXPECT_EQ(Rows(), 2);
}

TEST_F(AnalysisTest, CancelChangesNothingAndStopEmptiesTheList) {
    AddRows(3);
    m_frame.Action(Command::StartAnalyzing)->trigger();
    EXPECT_EQ(m_nAsked, 1);
    EXPECT_FALSE(m_offered.empty()) << "the machine's addresses are offered";
    EXPECT_EQ(Rows(), 3);
    EXPECT_FALSE(Sniffer().IsRunning());

    m_frame.Action(Command::StopAnalyzing)->trigger();
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(m_frame.View().Table().EntryCount(), 0U) << "counting starts again from zero";
    EXPECT_EQ(m_frame.CaptureStatusText(), "Not capturing");
}

TEST_F(AnalysisTest, StartCapturesOnTheChosenAddressAfterEmptyingTheList) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "capturing on loopback needs root";
    }
    AddRows(3);
    m_strAnswer = "127.0.0.1";
    m_frame.Action(Command::StartAnalyzing)->trigger();
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(Sniffer().IsRunning());
    EXPECT_EQ(Sniffer().m_strInterfaceAddress, "127.0.0.1");
    EXPECT_EQ(m_frame.CaptureStatusText(), "Capturing on 127.0.0.1, dropped by the kernel: 0");

    // Start again on the same address: one capture, the list emptied again.
    AddRows(1);
    m_frame.Action(Command::StartAnalyzing)->trigger();
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(Sniffer().IsRunning());

    // Closing the window ends the capture first.
    m_frame.show();
    m_frame.close();
    EXPECT_FALSE(Sniffer().IsRunning());
}

TEST_F(AnalysisTest, ACaptureThatFailsIsShownOnceAndEndsTheCapture) {
    m_strAnswer = "192.0.2.77"; // a documentation address, owned by no interface here
    QSignalSpy ended(&m_frame.View(), &CFlowsentryView::CaptureEnded);
    const test::MessageBoxCloser boxes;
    m_frame.Action(Command::StartAnalyzing)->trigger();
    ASSERT_TRUE(ended.wait(5000));
    QTest::qWait(50);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_EQ(boxes.m_nCount, 1);
    EXPECT_TRUE(boxes.m_strText.contains("192.0.2.77")) << boxes.m_strText.toStdString();
    EXPECT_FALSE(Sniffer().IsRunning());
    EXPECT_EQ(m_frame.CaptureStatusText(), "Not capturing");
}

// An idle window must not wake up: the list is pulled only while a capture runs, and until its end is shown.
TEST_F(AnalysisTest, TheListIsRefreshedOnlyWhileACaptureRuns) {
    constexpr int kTick = static_cast<int>(CFlowsentryView::kRefreshInterval.count());
    QSignalSpy refreshed(&m_frame.View(), &CFlowsentryView::Refreshed);
    QTest::qWait(3 * kTick + 100);
    EXPECT_EQ(refreshed.count(), 0) << "refreshed with no capture";

    m_strAnswer = "192.0.2.77"; // the capture starts, then fails in the helper
    QSignalSpy ended(&m_frame.View(), &CFlowsentryView::CaptureEnded);
    const test::MessageBoxCloser boxes;
    m_frame.Action(Command::StartAnalyzing)->trigger();
    ASSERT_TRUE(ended.wait(5000));
    QTest::qWait(2 * kTick + 100);
    const qsizetype afterEnd = refreshed.count();
    EXPECT_GT(afterEnd, 0) << "the end of the capture is shown";
    QTest::qWait(3 * kTick + 100);
    EXPECT_EQ(refreshed.count(), afterEnd) << "refreshed after the capture ended";
}

} // namespace
} // namespace flowsentry
