// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;

namespace flowsentry {

class CFlowsentryView;

// The bar above the list that filters its rows as the user types: words that must all match an address
// (by prefix or network), the protocol, or with View > Resolve Names part of a host name. A mistake in a word
// is shown in the bar, and then no row matches. Esc clears the filter and closes the bar.
class CFilterBar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFilterBar)

public:
    CFilterBar(CFlowsentryView& view, QWidget* parent = nullptr);

    // Shows the bar and puts the cursor in it.
    void Open();
    // Clears the filter, hides the bar and gives the list the focus back.
    void Close();
    void SetText(const QString& text);
    // Filters again with the same text: after names were turned on or off.
    void Reapply();
    [[nodiscard]] QString Text() const;
    // What the bar says about the text: empty, or what is wrong with it.
    [[nodiscard]] QString ErrorText() const;

signals:
    // The filter changed: the list shows other rows.
    void FilterChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Apply(const QString& text);

    CFlowsentryView& m_view;
    QLineEdit* m_pEdit = nullptr;
    QLabel* m_pError = nullptr;
};

} // namespace flowsentry
