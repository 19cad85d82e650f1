// SPDX-License-Identifier: GPL-3.0-or-later
// Shows the about box alone with made-up addresses; a clicked address is printed instead of opened.
#include "about/AboutDlg.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const flowsentry::AboutLinks links{
        QUrl(QStringLiteral(
            "https://www.flowsentry.example/?utm_source=fslink&utm_medium=fslink&utm_campaign=fsapp")),
        QUrl(QStringLiteral(
            "https://www.flowsentry.example/?utm_source=fslink&utm_medium=fsbanner&utm_campaign=fsapp")),
        QUrl(QStringLiteral("https://www.flowsentry.example/ratewatch/"
                            "?utm_source=fsapp&utm_medium=fslink&utm_campaign=fsapp")),
    };
    flowsentry::CAboutDlg dlg(
        links, [](const QUrl& url) { QTextStream(stdout) << "open " << url.toString() << Qt::endl; });
    dlg.show();
    return app.exec();
}
