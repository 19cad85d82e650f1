#include "analysis/InterfaceDlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QIcon>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

// Resources of a static library must be registered by hand; the macro cannot stand inside a namespace.
static void InitAnalysisResources() { Q_INIT_RESOURCE(analysis); }

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
    resize(320, 220);
    // The list has the focus, so that the arrow keys choose a row at once.
    m_listAddresses->setFocus();
}

CInterfaceDlg::~CInterfaceDlg() = default;

void CInterfaceDlg::OnSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = m_listAddresses->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    m_strSelectedAddress = selected.front()->text(0);
    m_pOkButton->setEnabled(true);
}

} // namespace flowsentry
