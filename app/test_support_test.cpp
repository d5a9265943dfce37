// Shared helpers of the program's tests (compiled into the test binary only).
#include "app/test_support.h"

#include "tools/image_writer.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace vantor::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "vantor-test-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  path_ = made != nullptr ? fs::path(made) : fs::path();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

bool WriteGreyTiff(const fs::path& p, const std::vector<double>& row0First, int w, int h,
                   int bits) {
  const double top = bits == 16 ? 65535.0 : 255.0;
  const size_t bytes = bits == 16 ? 2 : 1;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * bytes);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double v = std::clamp(std::round(row0First[static_cast<size_t>(y) * w + x]), 0.0, top);
      const auto u = static_cast<uint16_t>(v);
      const size_t at = (static_cast<size_t>(h - 1 - y) * w + x) * bytes;
      px[at] = static_cast<uint8_t>(u & 0xFF);
      if (bytes == 2) px[at + 1] = static_cast<uint8_t>(u >> 8);
    }
  return vantor::tools::WriteTiff(p.string(), px, static_cast<uint32_t>(w),
                                  static_cast<uint32_t>(h), static_cast<uint16_t>(bits));
}

namespace {

// The fields of a CSV line: quoted fields may hold commas and doubled quotes.
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        f.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        f.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      f.emplace_back();
    } else {
      f.back() += c;
    }
  }
  return f;
}

}  // namespace

std::vector<CsvRow> ReadCsv(const fs::path& p) {
  std::vector<CsvRow> rows;
  auto lines = SplitLines(ReadFileBytes(p), "\n");
  // A mean or template reference is named in a comment line first.
  if (!lines.empty() && lines[0].rfind("# ", 0) == 0) lines.erase(lines.begin());
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return rows;
  const std::string plain = "frame,file,dx,dy,dx_first,dy_first,distance,quality";
  const bool sigma = lines[0] == plain + ",sigma";
  EXPECT_TRUE(sigma || lines[0] == plain) << lines[0];
  const size_t fields = sigma ? 9 : 8;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto f = CsvFields(lines[i]);
    EXPECT_EQ(f.size(), fields) << lines[i];
    if (f.size() != fields) continue;
    rows.push_back({std::atoi(f[0].c_str()), f[1], std::atof(f[2].c_str()), std::atof(f[3].c_str()),
                    std::atof(f[4].c_str()), std::atof(f[5].c_str()), std::atof(f[6].c_str()),
                    f[7], sigma && !f[8].empty() ? std::atof(f[8].c_str()) : -1.0});
  }
  return rows;
}


std::vector<std::string> SplitLines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i; (i = text.find(end, start)) != std::string::npos; start = i + end.size())
    lines.push_back(text.substr(start, i - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> SplitFields(const std::string& line, char separator) {
  std::vector<std::string> f;
  size_t start = 0;
  for (size_t i; (i = line.find(separator, start)) != std::string::npos; start = i + 1)
    f.push_back(line.substr(start, i - start));
  f.push_back(line.substr(start));
  return f;
}

std::string ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {

ProgramResult Run(const std::vector<std::string>& args, const fs::path& cwd,
                  const std::string& tmpdir, const std::vector<std::string>& env,
                  const std::function<void(int, const fs::path&)>& during) {
  ProgramResult r;
  TempDir io;
  fs::path outPath = io / "stdout", errPath = io / "stderr";
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (tmpdir.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", tmpdir.c_str(), 1);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(126);
    std::vector<char*> argv;
    std::string exe = VANTOR_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  if (during) during(pid, outPath);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFileBytes(outPath);
  r.err = ReadFileBytes(errPath);
  return r;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& args, const fs::path& cwd,
                         const std::string& tmpdir, const std::vector<std::string>& env) {
  return Run(args, cwd, tmpdir, env, {});
}

ProgramResult RunProgramWhile(const std::vector<std::string>& args, const fs::path& cwd,
                              const std::function<void(int, const fs::path&)>& during) {
  return Run(args, cwd, "", {}, during);
}

}  // namespace vantor::test
