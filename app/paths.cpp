#include "app/paths.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vantor::app {

std::optional<FullPath> GetFullPathName(std::string_view pattern, std::string_view cwd,
                                        size_t longest) {
  if (pattern.empty()) return std::nullopt;
  auto isSep = [](char c) { return c == '/' || c == '\\'; };
  std::string joined;
  if (!isSep(pattern[0])) {
    joined.assign(cwd);
    joined += '/';
  }
  joined += pattern;
  // Split into components, folding empty ones, "." and "..".
  std::vector<std::string_view> parts;
  std::string_view rest(joined);
  size_t i = 0;
  while (i <= rest.size()) {
    size_t j = i;
    while (j < rest.size() && !isSep(rest[j])) ++j;
    std::string_view comp = rest.substr(i, j - i);
    if (comp == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!comp.empty() && comp != ".") {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  FullPath out;
  out.path = "/";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out.path += '/';
    out.path += parts[k];
  }
  // A pattern that ends in a separator names the folder itself.
  out.filePart = out.path.rfind('/') + 1;
  if (out.path.size() > longest) return std::nullopt;
  return out;
}

bool ApplyFolderRule(FullPath& full, size_t longest) {
  const size_t L = full.path.size();
  if (L > 4 && full.path[L - 4] != '.') {
    std::string extended = full.path;
    if (extended.back() != '/') extended += '/';
    size_t filePart = extended.size();
    extended += "*.tif";
    if (extended.size() > longest) return false;
    full.path = std::move(extended);
    full.filePart = filePart;
  }
  return true;
}

namespace {

bool AppendTif(FullPath& full, size_t longest) {
  std::string extended = full.path;
  if (extended.back() != '/') extended += '/';
  const size_t filePart = extended.size();
  extended += "*.tif";
  if (extended.size() > longest) return false;
  full.path = std::move(extended);
  full.filePart = filePart;
  return true;
}

}  // namespace

FolderRuleOutcome ApplyFolderRuleOnDisk(FullPath& full, bool trailingSeparator, size_t longest) {
  if (full.path.find_first_of("*?", full.filePart) != std::string::npos)
    return FolderRuleOutcome::kDone;
  struct stat st {};
  if (::stat(full.path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return FolderRuleOutcome::kDone;
    return AppendTif(full, longest) ? FolderRuleOutcome::kDone : FolderRuleOutcome::kTooLong;
  }
  if (errno == ELOOP) return FolderRuleOutcome::kLinkLoop;
  if (trailingSeparator && full.path != "/")
    return AppendTif(full, longest) ? FolderRuleOutcome::kDone : FolderRuleOutcome::kTooLong;
  return ApplyFolderRule(full, longest) ? FolderRuleOutcome::kDone : FolderRuleOutcome::kTooLong;
}

std::string FindLinkLoop(const std::string& pattern) {
  const size_t slash = pattern.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  const std::string mask = pattern.substr(slash == std::string::npos ? 0 : slash + 1);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return errno == ELOOP ? folder : "";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return "";
  // The file list matches * and ? with letter case ignored; fnmatch does
  // the same here (a [ in a name is the only thing it reads otherwise).
  while (const struct dirent* e = ::readdir(dir.get())) {
    if (::fnmatch(mask.c_str(), e->d_name, FNM_NOESCAPE | FNM_CASEFOLD) != 0)
      continue;
    if (::fstatat(::dirfd(dir.get()), e->d_name, &st, 0) != 0 && errno == ELOOP)
      return folder + e->d_name;
  }
  return "";
}

std::string GetTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string t = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (t.back() != '/') t += '/';
  return t;
}

}  // namespace vantor::app
