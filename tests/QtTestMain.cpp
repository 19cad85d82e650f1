// SPDX-License-Identifier: GPL-3.0-or-later
// main() for the window's tests: a QApplication on the platform CTest names (offscreen), and model-tester
// complaints turned into failures of the test that caused them.
#include <QApplication>
#include <QByteArray>
#include <cstring>
#include <gtest/gtest.h>

namespace {

QtMessageHandler g_previousHandler = nullptr;

void FailOnModelTesterMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (context.category != nullptr && std::strcmp(context.category, "qt.modeltest") == 0 &&
        type != QtDebugMsg && type != QtInfoMsg) {
        ADD_FAILURE() << "QAbstractItemModelTester: " << message.toStdString();
    }
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    }
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Test discovery runs this at build time, without a display: listing needs no QApplication.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    QApplication app(argc, argv);
    g_previousHandler = qInstallMessageHandler(FailOnModelTesterMessage);
    return RUN_ALL_TESTS();
}
