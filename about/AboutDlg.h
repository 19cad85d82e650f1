// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "about/AboutLinks.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace flowsentry {

class CBannerLink;
class CTextLink;

// The about box: banner, icon, version, the maker's notice and address as links, and two buttons.
// It has no OK or Cancel button; Escape and the title bar's close button close it. Clicks leave it open.
class CAboutDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CAboutDlg)

public:
    // opener defaults to the desktop's browser; tests pass one that records the address.
    explicit CAboutDlg(const AboutLinks& links, LinkOpener opener = {}, QWidget* pParent = nullptr);
    ~CAboutDlg() override;

    // The one resource path of the program's icon, also used for the main window.
    static QString IconPath();

private:
    void OnVisitHomePage();
    void OnRatewatchPage();

    AboutLinks m_links;
    LinkOpener m_fnOpen;
    CBannerLink* m_pBanner = nullptr;
    CTextLink* m_pAddressLink = nullptr;
    CTextLink* m_pNoticeLink = nullptr;
    QPushButton* m_pHomeButton = nullptr;
    QPushButton* m_pRatewatchButton = nullptr;
};

} // namespace flowsentry
