// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FlowsentryApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Flowsentry"));
    QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    // Matches the installed desktop entry, so that desktops show the right icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.flowsentry.Flowsentry"));

    flowsentry::CFlowsentryApp app;
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (!app.InitInstance(arguments)) {
        return 1;
    }
    const int status = QApplication::exec();
    app.ExitInstance();
    return status;
}
