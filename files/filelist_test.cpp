#include "files/filelist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/filelist_owner.h"

namespace {

namespace fs = std::filesystem;
using vantor::FileListOwner;

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = fs::temp_directory_path().string() + "/vantor_filelist_XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Touch(const std::string& name) { std::ofstream(Path(name)) << "x"; }

  // Names of the list in sorted order.
  static std::vector<std::string> ListNames(const VantorFileList* list) {
    std::vector<std::string> out;
    for (int32_t k = 1; k <= list->count; ++k) out.emplace_back(GetAlphaFileName(list, k));
    return out;
  }

  std::vector<std::string> Sorted(const std::string& mask) const {
    FileListOwner list(GetAlphaFilesList(Path(mask).c_str()));
    if (!list) return {"<null>"};
    return ListNames(list.get());
  }

  // Matching names in the folder's own order, one FileNameByNumber call each.
  std::vector<std::string> FolderOrder(const std::string& mask) const {
    std::vector<std::string> out;
    char name[512];
    for (int32_t k = 1;; ++k) {
      if (FileNameByNumber(Path(mask).c_str(), name, sizeof name, k) <= 0) break;
      out.emplace_back(name);
    }
    return out;
  }

  std::string dir_;
};

using Names = std::vector<std::string>;

TEST_F(FileListTest, SortsByCharactersIgnoringCaseShorterFirst) {
  for (const char* n : {"img2.tif", "AZ.tif", "ab.tiff", "img10.tif", "a_.tif", "ab.tif"}) Touch(n);
  // Characters, not numbers, decide; '_' sorts before every letter of either
  // case because letters are folded to lower case.
  EXPECT_EQ(Sorted("*"), (Names{"a_.tif", "ab.tif", "ab.tiff", "AZ.tif", "img10.tif", "img2.tif"}));
}

TEST_F(FileListTest, NamesEqualButForCaseKeepFolderOrder) {
  for (const char* n : {"scan.tif", "SCAN.tif", "Scan.TIF", "sCaN.tif", "a.tif", "z.tif"}) Touch(n);
  Names folder = FolderOrder("*");
  Names twins;
  for (const auto& n : folder)
    if (n.size() == 8) twins.push_back(n);
  ASSERT_EQ(twins.size(), 4u);
  Names expected{"a.tif"};
  expected.insert(expected.end(), twins.begin(), twins.end());
  expected.push_back("z.tif");
  EXPECT_EQ(Sorted("*.tif"), expected);
}

TEST_F(FileListTest, RandomNamesMatchAReferenceOrder) {
  std::mt19937 rng(7);
  const char alphabet[] = "aAbB_.0~zZ";
  std::vector<std::string> made;
  while (made.size() < 300) {
    std::string n;
    size_t len = 1 + rng() % 6;
    for (size_t i = 0; i < len; ++i) n += alphabet[rng() % (sizeof alphabet - 1)];
    if (n == "." || n == "..") continue;
    if (std::find(made.begin(), made.end(), n) != made.end()) continue;
    made.push_back(n);
    Touch(n);
  }
  auto fold = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
  };
  Names expected = FolderOrder("*");
  ASSERT_EQ(expected.size(), made.size());
  std::stable_sort(expected.begin(), expected.end(),
                   [&](const std::string& a, const std::string& b) { return fold(a) < fold(b); });
  EXPECT_EQ(Sorted("*"), expected);
}

TEST_F(FileListTest, WildcardsFoldersLinksAndHiddenFiles) {
  for (const char* n : {"A.TIF", "b.tif", ".hidden.tif", "c.tiff", "d.tif.bak", "e.tf"}) Touch(n);
  fs::create_directory(Path("dir.tif"));
  fs::create_symlink("b.tif", Path("link.tif"));
  fs::create_symlink("dir.tif", Path("dirlink.tif"));
  fs::create_symlink("missing", Path("gone.tif"));
  ASSERT_EQ(::mkfifo(Path("pipe.tif").c_str(), 0600), 0);

  EXPECT_EQ(Sorted("*.tif"), (Names{".hidden.tif", "A.TIF", "b.tif", "link.tif"}));
  EXPECT_EQ(Sorted("*.TiF"), Sorted("*.tif"));
  EXPECT_EQ(Sorted("?.tif"), (Names{"A.TIF", "b.tif"}));
  EXPECT_EQ(Sorted("*i*.t?f"), (Names{".hidden.tif", "link.tif"}));
  EXPECT_EQ(Sorted("**.t*f*"), (Names{".hidden.tif", "A.TIF", "b.tif", "c.tiff", "d.tif.bak", "e.tf", "link.tif"}));
  EXPECT_EQ(Sorted("B.TIF"), (Names{"b.tif"}));
  EXPECT_EQ(Sorted("*.tif.*"), (Names{"d.tif.bak"}));
}

TEST_F(FileListTest, NothingMatchesGivesNullButFoldersOnlyGiveAnEmptyList) {
  Touch("a.tif");
  fs::create_directory(Path("sub.bmp"));
  EXPECT_EQ(GetAlphaFilesList(Path("*.jpg").c_str()), nullptr);
  EXPECT_EQ(GetAlphaFilesList(Path("nowhere/*.tif").c_str()), nullptr);
  EXPECT_EQ(GetAlphaFilesList(Path("").c_str()), nullptr);  // the folder with an empty mask
  EXPECT_EQ(GetAlphaFilesList(""), nullptr);
  EXPECT_EQ(GetAlphaFilesList(nullptr), nullptr);
  char buf[16] = "untouched";
  EXPECT_EQ(FileNameByNumber(Path("*.jpg").c_str(), buf, sizeof buf, 1), -1);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(ListOfFiles(Path("*.jpg").c_str(), buf, sizeof buf, 0, nullptr), -1);
  EXPECT_STREQ(buf, "untouched");

  FileListOwner list(GetAlphaFilesList(Path("*.bmp").c_str()));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 0);
  EXPECT_EQ(GetAlphaFileName(list.get(), 1), nullptr);
  int32_t total = -5;
  EXPECT_EQ(ListOfFiles(Path("*.bmp").c_str(), buf, sizeof buf, 0, &total), 0);
  EXPECT_EQ(total, 0);
  EXPECT_STREQ(buf, "");
}

TEST_F(FileListTest, NameNumbersOutsideTheListGiveNull) {
  Touch("one.tif");
  Touch("two.tif");
  FileListOwner list(GetAlphaFilesList(Path("*.tif").c_str()));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 2);
  EXPECT_STREQ(GetAlphaFileName(list.get(), 1), "one.tif");
  EXPECT_STREQ(GetAlphaFileName(list.get(), 2), "two.tif");
  EXPECT_EQ(GetAlphaFileName(list.get(), 0), nullptr);
  EXPECT_EQ(GetAlphaFileName(list.get(), 3), nullptr);
  EXPECT_EQ(GetAlphaFileName(list.get(), -1), nullptr);
  EXPECT_EQ(GetAlphaFileName(nullptr, 1), nullptr);
  FreeAlphaFilesList(nullptr);
}

TEST_F(FileListTest, FileNameByNumberCountsCopiesAndChecksRoom) {
  Touch("abc.tif");
  Touch("de.tif");
  int32_t t = 0;
  EXPECT_EQ(FileNameByNumber(Path("*.tif").c_str(), &t, sizeof t, 0), 2);
  EXPECT_EQ(t, 8 + 7);

  Names order = FolderOrder("*.tif");
  ASSERT_EQ(order.size(), 2u);
  std::string first = order[0];
  char buf[32];
  EXPECT_EQ(FileNameByNumber(Path("*.tif").c_str(), buf, sizeof buf, 1),
            static_cast<int32_t>(first.size()));
  EXPECT_EQ(first, buf);
  // The name must be shorter than the buffer so that its zero byte fits.
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FileNameByNumber(Path("*.tif").c_str(), buf, static_cast<int32_t>(first.size()), 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
  EXPECT_EQ(FileNameByNumber(Path("*.tif").c_str(), buf, static_cast<int32_t>(first.size()) + 1, 1),
            static_cast<int32_t>(first.size()));
  // Fewer files than the number asked for: 0 and an empty text.
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FileNameByNumber(Path("*.tif").c_str(), buf, sizeof buf, 3), 0);
  EXPECT_EQ(buf[0], '\0');
}

TEST_F(FileListTest, ListOfFilesSeparatorsAndNamesWithoutExtension) {
  for (const char* n : {"scan.01.tif", "README", ".profile"}) Touch(n);
  Names order = FolderOrder("*");
  ASSERT_EQ(order.size(), 3u);
  auto expect = [&](uint32_t options, const std::string& sep, bool cut) {
    std::string want;
    for (const auto& n : order) {
      size_t dot = n.rfind('.');
      want += (cut && dot != std::string::npos) ? n.substr(0, dot) : n;
      want += sep;
    }
    std::vector<char> buf(want.size() + 8, 'x');
    int32_t total = -1;
    EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), static_cast<int32_t>(buf.size()), options,
                          &total),
              3);
    EXPECT_EQ(total, static_cast<int32_t>(want.size())) << options;
    EXPECT_EQ(std::string(buf.data(), want.size()), want) << options;
    EXPECT_EQ(buf[want.size()], '\0') << options;  // closed for use as a text
  };
  expect(0x0A0D, "\r\n", false);
  expect(0, std::string(1, '\0'), false);
  expect(',', ",", false);
  expect(0x414243, "CBA", false);  // three bytes, low byte first
  expect(0x0100, std::string("\0\1", 2), false);
  expect(VANTOR_LIST_NO_EXTENSION | 0x0A0D, "\r\n", true);
  // Bits 26 to 31 mean nothing.
  expect(0xFC000000u | 0x0A0D, "\r\n", false);

  std::vector<char> buf(64);
  ListOfFiles(Path("scan*").c_str(), buf.data(), 64, VANTOR_LIST_NO_EXTENSION | 0x0A0D, nullptr);
  EXPECT_STREQ(buf.data(), "scan.01\r\n");
}

TEST_F(FileListTest, ListOfFilesAppendsTheLocalModificationTime) {
  Touch("a.tif");
  struct timespec times[2] = {{1323211183, 0}, {1323211183, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path("a.tif").c_str(), times, 0), 0);
  time_t secs = 1323211183;
  struct tm local {};
  ASSERT_NE(::localtime_r(&secs, &local), nullptr);
  char date[32];
  ASSERT_EQ(std::strftime(date, sizeof date, "%Y/%m/%d  %H:%M:%S", &local), 20u);

  std::string want = std::string("a.tif ") + date + "\r\n";
  char buf[64];
  int32_t total = 0;
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf, sizeof buf, VANTOR_LIST_DATE | 0x0A0D, &total), 1);
  EXPECT_EQ(total, static_cast<int32_t>(want.size()));
  EXPECT_EQ(std::string(buf), want);

  // Exactly enough room for the dated entry: written, with no zero byte after
  // it and nothing past the given size.
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf, static_cast<int32_t>(want.size()),
                        VANTOR_LIST_DATE | 0x0A0D, &total),
            1);
  EXPECT_EQ(std::string(buf, want.size()), want);
  EXPECT_EQ(buf[want.size()], 'x');
  // One byte less: the entry goes in without its date.
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf, static_cast<int32_t>(want.size()) - 1,
                        VANTOR_LIST_DATE | 0x0A0D, &total),
            1);
  EXPECT_EQ(total, 7);
  EXPECT_EQ(std::string(buf), "a.tif\r\n");
}

TEST_F(FileListTest, SmallBufferStopsAtFirstEntryThatDoesNotFit) {
  for (const char* n : {"a1.tif", "b22.tif", "c333.tif", "d4444.tif"}) Touch(n);
  Names order = FolderOrder("*");
  ASSERT_EQ(order.size(), 4u);
  const int32_t all = 7 + 8 + 9 + 10;  // names and one-byte separators
  // Room for the first entry and part of the second.
  int32_t size = static_cast<int32_t>(order[0].size()) + 3;
  std::vector<char> buf(64, 'x');
  int32_t total = 0;
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), size, ',', &total), 4);
  EXPECT_EQ(total, all);
  // Nothing past the last whole entry, not even a zero byte.
  const std::string first = order[0] + ",";
  EXPECT_EQ(std::string(buf.data(), first.size()), first);
  EXPECT_TRUE(std::all_of(buf.begin() + first.size(), buf.end(), [](char c) { return c == 'x'; }));
  // Not even the first fits: only the first byte is cleared.
  std::fill(buf.begin(), buf.end(), 'x');
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), 3, ',', &total), 4);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_TRUE(std::all_of(buf.begin() + 1, buf.end(), [](char c) { return c == 'x'; }));

  // A buffer of exactly the total leaves the last entry out: a name is stored
  // only when it leaves room behind it.
  std::fill(buf.begin(), buf.end(), 'x');
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), all, ',', &total), 4);
  const std::string three = order[0] + "," + order[1] + "," + order[2] + ",";
  EXPECT_EQ(std::string(buf.data(), three.size()), three);
  EXPECT_EQ(buf[three.size()], 'x');
  // The total plus one holds everything.
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), all + 1, ',', &total), 4);
  EXPECT_EQ(std::string(buf.data()).size(), static_cast<size_t>(all));
  // No buffer at all: just the count and the total.
  total = 0;
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), nullptr, 0, ',', &total), 4);
  EXPECT_EQ(total, all);
  // A buffer with room for none: an empty text.
  std::fill(buf.begin(), buf.end(), 'x');
  EXPECT_EQ(ListOfFiles(Path("*").c_str(), buf.data(), 1, ',', nullptr), 4);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
}

TEST_F(FileListTest, PatternWithoutFolderListsTheWorkingFolder) {
  Touch("w1.tif");
  Touch("w2.tif");
  fs::path old = fs::current_path();
  fs::current_path(dir_);
  FileListOwner list(GetAlphaFilesList("*.tif"));
  fs::current_path(old);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(ListNames(list.get()), (Names{"w1.tif", "w2.tif"}));
}

}  // namespace
