// The program's console "window": hidden unless progress display was asked
// for, with one status line (lblFolder) on standard error.
#ifndef VANTOR_APP_FORM_H
#define VANTOR_APP_FORM_H

#include <cstdio>
#include <string>
#include <string_view>

namespace vantor::app {

class TForm1 {
 public:
  // `out` is where the status line goes (standard error in the program).
  explicit TForm1(std::FILE* out = stderr);
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  void SetVisible(bool visible) { visible_ = visible; }
  bool Visible() const { return visible_; }

  // Sets lblFolder to the image folder (or pattern): its own line.
  void ShowFolder(std::string_view fullPath);
  // Sets lblFolder to the file being processed, with the count of frames done
  // and the total: rewritten in place on a terminal, not shown otherwise.
  void ShowFile(std::string_view fullPath, long done, long total);
  // Processes pending "messages": pushes the status line out.
  void ProcessMessages();
  // Ends an in-place status line so that later output starts on a new line.
  void FinishStatus();

  const std::string& LabelText() const { return label_; }

 private:
  std::FILE* out_;
  bool visible_ = false;
  bool terminal_ = false;
  bool inPlace_ = false;  // an in-place line is on the terminal
  std::string label_ = "Folder";
};

}  // namespace vantor::app

#endif
