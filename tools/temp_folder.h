// Tests' scratch folders: a fresh folder under /tmp, removed with its
// contents when the owner goes.
#ifndef VANTOR_TOOLS_TEMP_FOLDER_H
#define VANTOR_TOOLS_TEMP_FOLDER_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vantor::test {

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/vantor_test_XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }  // empty when none could be made
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vantor::test

#endif
