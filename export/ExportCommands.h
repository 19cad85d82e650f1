// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/RowStore.h"

#include <QString>
#include <functional>

class QClipboard;
class QWidget;

namespace flowsentry {

// Asks for the name of the file to save to; an empty result means the user cancelled.
using SaveNameAsker = std::function<QString(QWidget* parent)>;

// Asks whether an existing file may be replaced; true means yes.
using ReplaceConfirmer = std::function<bool(QWidget* parent, const QString& path)>;

// The system's save dialog, with the one filter "Text Files (*.txt)". It asks itself before the name
// chosen in it replaces an existing file.
QString AskSaveFileName(QWidget* parent);

// The question the save dialog asks before a file is replaced, titled "Flowsentry"; No is the default.
bool ConfirmReplace(QWidget* parent, const QString& path);

// Save and Save As: asks for a name every time, adds ".txt" where the name has no extension, and writes the
// rows as text. When adding ".txt" names an existing file that the dialog did not ask about, `confirm` asks;
// a no ends the command with nothing written. A failure is reported in a message box.
// Returns true when the file was written.
bool SaveListAsText(QWidget* parent, const CRowStore& rows, const SaveNameAsker& askName = AskSaveFileName,
                    const ReplaceConfirmer& confirm = ConfirmReplace);

// Copy: the same bytes as a saved file, as plain text.
void CopyListToClipboard(const CRowStore& rows, QClipboard& clipboard);

} // namespace flowsentry
