// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QUrl>
#include <functional>

namespace flowsentry {

// The addresses the about box opens. The caller passes them in, so that they are written in one place
// shared with the main window's toolbar.
struct AboutLinks {
    QUrl homeText;   // the home page as the text lines open it
    QUrl homeBanner; // the home page with the banner's tracking values
    QUrl ratewatch;  // the sibling product's page
};

// Opens an address in the user's browser. Failures are not reported: the controls stay as they are.
using LinkOpener = std::function<void(const QUrl&)>;

// QDesktopServices::openUrl, ignoring its result.
LinkOpener DesktopLinkOpener();

} // namespace flowsentry
