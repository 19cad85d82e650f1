#pragma once

#include <string>
#include <string_view>

namespace flowsentry {

// The name a saved export gets: ".txt" is appended when the file name (not the folder) has no extension,
// that is no dot or a dot at its very end ("traffic" -> "traffic.txt", "traffic." -> "traffic..txt").
// Any other extension, in any case, is kept.
std::string WithTextExtension(std::string_view path);

// Writes `bytes` to `path` so that the file holds either all of them or, on any failure, whatever it held
// before: the bytes go to a temporary file in the same folder, which then replaces the target. A symbolic
// link is followed, so the file it points to is the one written. Returns an empty string on success,
// otherwise the reason in the system's words.
std::string WriteFileReplacing(const std::string& path, std::string_view bytes);

} // namespace flowsentry
