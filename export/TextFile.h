// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "export/RowWriter.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace flowsentry {

// The name a saved export gets: ".txt" is appended when the file name (not the folder) has no extension,
// that is no dot or a dot at its very end ("traffic" -> "traffic.txt", "traffic." -> "traffic..txt").
// Any other extension, in any case, is kept.
std::string WithTextExtension(std::string_view path);

// The name of an export and the format it is written in: a name ending in ".csv" or ".json" (in any case)
// is written in that format; any other in `chosen` (the type picked in the dialog), with ".csv" or ".json"
// appended as WithTextExtension appends ".txt" (another extension is kept).
struct ExportName {
    std::string m_strPath;
    RowFormat m_format = RowFormat::Csv;
};
ExportName ChooseExportName(std::string_view path, RowFormat chosen);

// What is known about the file to be saved before anything is written.
struct SaveTarget {
    bool m_bExists = false;
    bool m_bRegular = false;
    bool m_bOwnedByUser = false; // owned by the effective user
    std::uint64_t m_nLinks = 0;
    bool m_bFolderWritable = false; // a new entry can be made in its folder
    bool m_bHasAttributes = false;  // extended attributes, ACLs among them
};

enum class SaveWay {
    Replace, // a temporary file in the same folder takes the target's place: all or nothing
    InPlace, // the target itself is truncated and written: it stays the same file, with its links and owner
};

// Replacement only where the new file can be everything the old one was: a regular file of the user's, with
// one name, no extended attributes, in a folder the user may write. A file that does not exist yet is made
// by replacement too, so that it never appears half written.
SaveWay ChooseSaveWay(const SaveTarget& target);

// Writes `bytes` to `path` in the way ChooseSaveWay picks for it. A replacement holds either all the bytes
// or, on any failure, whatever the file held before; it is synced, and so is its folder after the rename. A
// file written in place may be left short by a failure, which is reported all the same. A symbolic link is
// followed, so the file it points to is the one written. Returns an empty string on success, otherwise the
// step that failed, the path as given and the reason in the system's words.
std::string WriteFileReplacing(const std::string& path, std::string_view bytes);

// The bytes of a file made while it is written: each call points `piece` at the next bytes (valid until the
// next call) and returns true, or returns false once there are no more. Called on the writing thread; a
// std::bad_alloc it throws fails the write, any other exception passes through.
using PieceSource = std::function<bool(std::string_view& piece)>;
// The same, written a piece at a time, so that a large file is never held whole. Once the file is being
// written the source has to go on to the end: a file written in place would be left short.
std::string WriteFileReplacing(const std::string& path, const PieceSource& bytes);

} // namespace flowsentry
