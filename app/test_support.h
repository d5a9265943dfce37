// Helpers for the program's tests: temporary folders and running the built
// program with its output captured.
#ifndef VANTOR_APP_TEST_SUPPORT_H
#define VANTOR_APP_TEST_SUPPORT_H

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vantor::test {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct ProgramResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the built program with the arguments in `cwd`, with TMPDIR set to
// `tmpdir` (unset when empty) and extra environment assignments ("NAME=value").
ProgramResult RunProgram(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                         const std::string& tmpdir, const std::vector<std::string>& env = {});

// As RunProgram (no TMPDIR), calling during(pid, out) once the program has
// started; out is the file its standard output goes to meanwhile.
ProgramResult RunProgramWhile(
    const std::vector<std::string>& args, const std::filesystem::path& cwd,
    const std::function<void(int pid, const std::filesystem::path& out)>& during);

std::string ReadFileBytes(const std::filesystem::path& p);

// Writes a grey TIFF of 8 or 16 bits from values given row 0 first (the
// loaded orientation: row 0 is the bottom of the picture), rounded and clipped.
bool WriteGreyTiff(const std::filesystem::path& p, const std::vector<double>& row0First, int w,
                   int h, int bits = 8);

// One line of the program's CSV (sigma -1 when the file has no such column).
struct CsvRow {
  int frame;
  std::string file;
  double dx, dy, dxFirst, dyFirst, distance;
  std::string quality;
  double sigma;
};

// The rows of the program's CSV file (its header checked, a "# " line before it skipped).
std::vector<CsvRow> ReadCsv(const std::filesystem::path& p);

// The lines of a text with "\r\n" line ends, and the fields of a line.
std::vector<std::string> SplitLines(const std::string& text, const std::string& end = "\r\n");
std::vector<std::string> SplitFields(const std::string& line, char separator);
void WriteFileBytes(const std::filesystem::path& p, const std::string& bytes);

}  // namespace vantor::test

#endif
