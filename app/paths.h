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

// Outside --classic a full path may be as long as the system takes one
// (PATH_MAX, its terminating zero included).
inline constexpr size_t kLongestPath = 4095;

struct FullPath {
  std::string path;  // absolute, '/' separators, "." and ".." folded
  size_t filePart;   // index where the last component begins
};

// Resolves a pattern against the working folder `cwd` without touching the
// file system: '/' and '\' both separate, "." and ".." are folded, '/' is
// written. nullopt for an empty pattern or a result of more than `longest`
// characters.
std::optional<FullPath> GetFullPathName(std::string_view pattern, std::string_view cwd,
                                        size_t longest = kPathBufferSize - 2);

// The folder rule: a path of more than 4 characters whose fourth character
// from the end is not a dot names a folder, and "/*.tif" is appended. Returns
// false (path untouched) when the result would be longer than `longest`.
bool ApplyFolderRule(FullPath& full, size_t longest = kPathBufferSize - 2);

// The folder rule outside --classic, which asks the file system: a last
// component with * or ? is a pattern; an existing folder (a name with a dot
// included) or a pattern given with a trailing separator names a folder, and
// "/*.tif" is appended; an existing file stays as it is; for a path that does
// not exist the name decides, as ApplyFolderRule does.
enum class FolderRuleOutcome { kDone, kTooLong, kLinkLoop };
FolderRuleOutcome ApplyFolderRuleOnDisk(FullPath& full, bool trailingSeparator,
                                        size_t longest = kLongestPath);

// For a pattern that matched no file: the first matching entry of its folder
// that is a symbolic-link loop ("" when none is), or the folder itself when
// reaching it runs into one.
std::string FindLinkLoop(const std::string& pattern);

// The user's temporary folder with a trailing '/': TMPDIR when set and not
// empty, else /tmp/.
std::string GetTempPath();

}  // namespace vantor::app

#endif
