// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/RecentFileList.h"

namespace flowsentry {
namespace {

const QString kSection = QStringLiteral("Recent File List");

QString EntryName(int number) {
    return QStringLiteral("File%1").arg(number);
}

} // namespace

void CRecentFileList::Load(QSettings& settings) {
    m_files.clear();
    settings.beginGroup(kSection);
    for (int i = 1; i <= kSize; ++i) {
        const QString path = settings.value(EntryName(i)).toString();
        if (!path.isEmpty() && !m_files.contains(path)) {
            m_files.append(path);
        }
    }
    settings.endGroup();
}

void CRecentFileList::Save(QSettings& settings) const {
    settings.remove(kSection);
    settings.beginGroup(kSection);
    for (int i = 0; i < m_files.size(); ++i) {
        settings.setValue(EntryName(i + 1), m_files[i]);
    }
    settings.endGroup();
    settings.sync();
}

void CRecentFileList::Add(const QString& path) {
    m_files.removeAll(path);
    m_files.prepend(path);
    while (m_files.size() > kSize) {
        m_files.removeLast();
    }
}

} // namespace flowsentry
