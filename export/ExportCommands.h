#pragma once

#include "traffic/RowStore.h"

#include <QString>

#include <functional>

class QClipboard;
class QWidget;

namespace flowsentry {

// Asks for the name of the file to save to; an empty result means the user cancelled.
using SaveNameAsker = std::function<QString(QWidget* parent)>;

// The system's save dialog, with the one filter "Text Files (*.txt)".
QString AskSaveFileName(QWidget* parent);

// Save and Save As: asks for a name every time, adds ".txt" where the name has no extension, and writes the
// rows as text. A failure is reported in a message box; an earlier file of that name stays as it was.
// Returns true when the file was written.
bool SaveListAsText(QWidget* parent, const CRowStore& rows, const SaveNameAsker& askName = AskSaveFileName);

// Copy: the same bytes as a saved file, as plain text.
void CopyListToClipboard(const CRowStore& rows, QClipboard& clipboard);

} // namespace flowsentry
