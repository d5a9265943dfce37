#include "app/paths.h"

#include <cstdlib>
#include <vector>

namespace vantor::app {

std::optional<FullPath> GetFullPathName(std::string_view pattern, std::string_view cwd) {
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
  if (out.path.size() > kPathBufferSize - 2) return std::nullopt;
  return out;
}

bool ApplyFolderRule(FullPath& full) {
  const size_t L = full.path.size();
  if (L > 4 && full.path[L - 4] != '.') {
    std::string extended = full.path;
    if (extended.back() != '/') extended += '/';
    size_t filePart = extended.size();
    extended += "*.tif";
    if (extended.size() > kPathBufferSize - 2) return false;
    full.path = std::move(extended);
    full.filePart = filePart;
  }
  return true;
}

std::string GetTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string t = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (t.back() != '/') t += '/';
  return t;
}

}  // namespace vantor::app
