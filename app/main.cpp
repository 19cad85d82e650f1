#include "app/FlowsentryApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Flowsentry"));
    QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));

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
