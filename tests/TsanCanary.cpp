// SPDX-License-Identifier: GPL-3.0-or-later
// A deliberate race for the thread-sanitizer build: a plain thread writes a model's counter while the window
// thread reads it in data(), called from Qt's painting of a list view. CTest expects the report. It proves
// that the sanitizer's settings still show races whose stacks run through Qt, the kind a capture thread
// touching the window's objects would cause.
#include <QAbstractListModel>
#include <QApplication>
#include <QListView>
#include <thread>

namespace {

class CRacyModel final : public QAbstractListModel {
public:
    int m_nCount = 0; // written by the plain thread, read by data() without a lock

    [[nodiscard]] int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 1; }
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || role != Qt::DisplayRole) {
            return {};
        }
        return m_nCount;
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CRacyModel model;
    QListView view;
    view.setModel(&model);
    view.resize(200, 100);
    std::thread writer([&model] {
        for (int i = 0; i < 1000; ++i) {
            ++model.m_nCount;
        }
    });
    for (int i = 0; i < 50; ++i) {
        (void)view.grab(); // paints, so the view asks the model for data()
    }
    writer.join();
    return 0;
}
