// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

namespace flowsentry {

// The most recently opened files, newest first, kept between runs in the settings' "Recent File List"
// section as File1 to File4.
class CRecentFileList {
public:
    static constexpr int kSize = 4;

    void Load(QSettings& settings);
    // Deletes the section and writes the non-empty entries again.
    void Save(QSettings& settings) const;
    // Moves the file to the top, dropping an older mention of it and the oldest entry beyond kSize.
    void Add(const QString& path);
    void Remove(const QString& path) { m_files.removeAll(path); }

    [[nodiscard]] const QStringList& Files() const { return m_files; }

private:
    QStringList m_files;
};

} // namespace flowsentry
