// Path rules of the run: the full path of the pattern, the folder rule and the
// user's temporary folder.
#ifndef VANTOR_APP_PATHS_H
#define VANTOR_APP_PATHS_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantor::app {

// Size of the path buffer; a full path holds at most kPathBufferSize - 2 characters.
inline constexpr size_t kPathBufferSize = 512;

struct FullPath {
  std::string path;  // absolute, '/' separators, "." and ".." folded
  size_t filePart;   // index where the last component begins
};

// Resolves a pattern against the working folder `cwd` without touching the
// file system: '/' and '\' both separate, "." and ".." are folded, '/' is
// written. nullopt for an empty pattern or a result of more than 510 characters.
std::optional<FullPath> GetFullPathName(std::string_view pattern, std::string_view cwd);

// The folder rule: a path of more than 4 characters whose fourth character
// from the end is not a dot names a folder, and "/*.tif" is appended. Returns
// false (path untouched) when the result would not fit the path buffer.
bool ApplyFolderRule(FullPath& full);

// The user's temporary folder with a trailing '/': TMPDIR when set and not
// empty, else /tmp/.
std::string GetTempPath();

}  // namespace vantor::app

#endif
