// Outputs that never destroy anything: a clash check by file identity before
// the run.
#include "app/outputs.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace vantor::app {
namespace {

namespace fs = std::filesystem;

// What a path is: "i<device>:<inode>" for an existing file (links followed),
// else "p" and the absolute path with its existing folders resolved.
std::string FileKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    char id[64];
    std::snprintf(id, sizeof id, "i%llu:%llu", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return id;
  }
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) p = fs::absolute(path, ec).lexically_normal();
  std::string key(1, 'p');
  key.append(p.string());
  return key;
}

}  // namespace

std::string FindOutputClash(const std::vector<std::string>& inputs,
                            const std::vector<NamedOutput>& outputs) {
  std::map<std::string, std::string> seen;  // file → how a message names it
  for (const std::string& in : inputs) seen.emplace(FileKey(in), "the input " + in);
  for (const NamedOutput& out : outputs) {
    const auto [it, fresh] = seen.emplace(FileKey(out.path), out.label);
    if (!fresh) return out.label + " is the same file as " + it->second;
  }
  return "";
}

}  // namespace vantor::app
