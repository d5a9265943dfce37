// Listing a folder of 10,000 image files in alphabetical order, and the sort
// beneath it.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "files/filelist.h"
#include "generic/sort.h"

namespace {

constexpr int kFiles = 10000;

// A folder with kFiles empty ".tif" files created in random order, plus a few
// files and folders the pattern must skip; removed at exit.
class Folder {
 public:
  Folder() {
    std::string templ = std::filesystem::temp_directory_path().string() + "/vantor_bench_XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    path_ = templ;
    std::vector<int> numbers(kFiles);
    for (int i = 0; i < kFiles; ++i) numbers[i] = i;
    std::shuffle(numbers.begin(), numbers.end(), std::mt19937(11));
    char name[64];
    for (int n : numbers) {
      std::snprintf(name, sizeof name, "/Frame_%05d.TIF", n);
      int fd = ::open((path_ + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd < 0) std::abort();
      ::close(fd);
    }
    for (int i = 0; i < 100; ++i) {
      std::snprintf(name, sizeof name, "/notes_%03d.txt", i);
      int fd = ::open((path_ + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
    std::filesystem::create_directory(path_ + "/folder.tif");
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string Pattern() const { return path_ + "/*.tif"; }

 private:
  std::string path_;
};

const Folder& TheFolder() {
  static Folder folder;
  return folder;
}

void BM_GetAlphaFilesList(benchmark::State& state) {
  std::string pattern = TheFolder().Pattern();
  for (auto _ : state) {
    VantorFileList* list = GetAlphaFilesList(pattern.c_str());
    if (list == nullptr || list->count != kFiles) {
      state.SkipWithError("listing failed");
      FreeAlphaFilesList(list);
      break;
    }
    benchmark::DoNotOptimize(GetAlphaFileName(list, kFiles));
    FreeAlphaFilesList(list);
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_GetAlphaFilesList)->Unit(benchmark::kMillisecond);

// The listing with dates needs one stat per file.
void BM_ListOfFilesWithDates(benchmark::State& state) {
  std::string pattern = TheFolder().Pattern();
  std::vector<char> buffer(kFiles * 64);
  for (auto _ : state) {
    int32_t total = 0;
    int32_t n = ListOfFiles(pattern.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()),
                            VANTOR_LIST_DATE | 0x0A0D, &total);
    if (n != kFiles) {
      state.SkipWithError("listing failed");
      break;
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_ListOfFilesWithDates)->Unit(benchmark::kMillisecond);

// The sort alone: 10,000 shuffled names by pointer, case ignored.
void BM_SortNamePointers(benchmark::State& state) {
  std::vector<std::string> names(kFiles);
  char name[64];
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "Frame_%05d.TIF", i);
    names[i] = name;
  }
  std::shuffle(names.begin(), names.end(), std::mt19937(5));
  std::vector<const char*> shuffled;
  for (const auto& n : names) shuffled.push_back(n.c_str());
  std::vector<const char*> work;
  for (auto _ : state) {
    work = shuffled;
    SortInPlace(work.data(), sizeof(const char*), kFiles, VANTOR_SORT_TEXTPTR_NOCASE);
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_SortNamePointers)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
