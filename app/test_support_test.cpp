// Shared helpers of the program's tests (compiled into the test binary only).
#include "app/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

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

std::string ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ProgramResult RunProgram(const std::vector<std::string>& args, const fs::path& cwd,
                         const std::string& tmpdir, const std::vector<std::string>& env) {
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
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFileBytes(outPath);
  r.err = ReadFileBytes(errPath);
  return r;
}

}  // namespace vantor::test
