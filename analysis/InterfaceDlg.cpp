// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/InterfaceDlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QIcon>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

// Resources of a static library must be registered by hand; the macro cannot stand inside a namespace.
static void InitAnalysisResources() {
    Q_INIT_RESOURCE(analysis);
}

namespace flowsentry {

CInterfaceDlg::CInterfaceDlg(const std::vector<std::string>& addresses, QWidget* parent)
    : QDialog(parent), m_listAddresses(new QTreeWidget(this)) {
    InitAnalysisResources();
    setWindowTitle(QStringLiteral("Interface Dialog"));

    m_listAddresses->setColumnCount(1);
    m_listAddresses->setHeaderLabels({QStringLiteral("Interface Addresses")});
    m_listAddresses->header()->setSectionResizeMode(QHeaderView::Stretch);
    m_listAddresses->setRootIsDecorated(false);
    m_listAddresses->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listAddresses->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listAddresses->setAllColumnsShowFocus(true);
    m_listAddresses->setUniformRowHeights(true);
    const QIcon card(QStringLiteral(":/analysis/netcard.svg"));
    for (const std::string& address : addresses) {
        // Each row goes to the top, so the last address gathered is shown first.
        auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(address)});
        item->setIcon(0, card);
        m_listAddresses->insertTopLevelItem(0, item);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setCenterButtons(true);
    m_pOkButton = buttons->button(QDialogButtonBox::Ok);
    m_pOkButton->setDefault(true);
    m_pOkButton->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_listAddresses, &QTreeWidget::itemSelectionChanged, this, &CInterfaceDlg::OnSelectionChanged);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_listAddresses);
    layout->addWidget(buttons);
    // Wide enough for the longest address: an IPv6 one with its zone runs to 50 characters and more.
    int widest = 0;
    for (int row = 0; row < m_listAddresses->topLevelItemCount(); ++row) {
        widest = std::max(widest, m_listAddresses->fontMetrics().horizontalAdvance(
                                      m_listAddresses->topLevelItem(row)->text(0)));
    }
    const int chrome = style()->pixelMetric(QStyle::PM_SmallIconSize) + 6 * fontMetrics().height();
    resize(std::max(320, widest + chrome), 220);
    // The top row is highlighted and chosen, and the list has the focus, so that Enter takes what is
    // shown and the first arrow key moves on from it.
    if (m_listAddresses->topLevelItemCount() > 0) {
        m_listAddresses->setCurrentItem(m_listAddresses->topLevelItem(0));
    }
    m_listAddresses->setFocus();
}

CInterfaceDlg::~CInterfaceDlg() = default;

void CInterfaceDlg::OnSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = m_listAddresses->selectedItems();
    if (selected.isEmpty()) {
        // A click below the rows (or Ctrl+click) cleared the highlight but not the choice: show the choice
        // again, so that OK never starts on a row that does not look chosen.
        if (m_pChosenItem != nullptr) {
            m_pChosenItem->setSelected(true);
        }
        return;
    }
    m_pChosenItem = selected.front();
    m_strSelectedAddress = m_pChosenItem->text(0);
    m_pOkButton->setEnabled(true);
}

} // namespace flowsentry
