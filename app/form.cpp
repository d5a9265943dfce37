#include "app/form.h"

#include <unistd.h>

namespace vantor::app {

TForm1::TForm1(std::FILE* out) : out_(out) { terminal_ = out_ != nullptr && isatty(fileno(out_)); }

TForm1::~TForm1() { FinishStatus(); }

void TForm1::ShowFolder(std::string_view fullPath) {
  label_.assign(fullPath);
  if (!visible_ || out_ == nullptr) return;
  FinishStatus();
  std::fprintf(out_, "%s\n", label_.c_str());
}

void TForm1::ShowFile(std::string_view fullPath, long done, long total) {
  label_.assign(fullPath);
  if (!visible_ || out_ == nullptr) return;
  // Only a terminal gets the line, rewritten in place: a batch job's log
  // would otherwise fill with a line per frame.
  if (!terminal_) return;
  // Carriage return, the line, then clear whatever a longer line left behind.
  std::fprintf(out_, "\r%ld/%ld %s\x1b[K", done, total, label_.c_str());
  inPlace_ = true;
}

void TForm1::ProcessMessages() {
  if (out_ != nullptr) std::fflush(out_);
}

void TForm1::FinishStatus() {
  if (inPlace_ && out_ != nullptr) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  inPlace_ = false;
}

}  // namespace vantor::app
