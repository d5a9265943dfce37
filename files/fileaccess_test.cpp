#include "files/fileaccess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class FileAccess : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "vantor-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    file_ = (dir_ / "data.bin").string();
    std::vector<char> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    ASSERT_EQ(WriteToFile(file_.c_str(), bytes.data(), 1000), 1000);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string file_;
};

TEST_F(FileAccess, ReadFromFileSizeQueryOffsetsAndBounds) {
  int32_t size = -7;
  char buf[100];
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 0, 0, &size), 0);
  EXPECT_EQ(size, 1000);
  size = -7;
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 100, 990, &size), 10);
  EXPECT_EQ(size, 1000);
  EXPECT_EQ(buf[0], static_cast<char>(990 * 7));
  size = -7;
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 100, 1000, &size), 0);
  EXPECT_EQ(size, 1000);
  size = -7;
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 100, 1001, &size), 0);
  EXPECT_EQ(size, -7);
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 100, -1, &size), -1);
  EXPECT_EQ(ReadFromFile((dir_ / "missing").c_str(), buf, 100, 0, &size), -1);
  EXPECT_EQ(ReadFromFile(dir_.c_str(), buf, 100, 0, &size), -1);
}

TEST_F(FileAccess, WriteTruncatesAndAppendExtends) {
  std::vector<char> hundred(100, 'x');
  ASSERT_EQ(WriteToFile(file_.c_str(), hundred.data(), 100), 100);
  EXPECT_EQ(WriteToFile(file_.c_str(), "12345", 5), 5);
  EXPECT_EQ(AppendFile(file_.c_str(), "67890", 5), 10);
  char buf[16] = {};
  EXPECT_EQ(ReadFromFile(file_.c_str(), buf, 16, 0, nullptr), 10);
  EXPECT_STREQ(buf, "1234567890");
  // An empty write creates or empties the file.
  EXPECT_EQ(WriteToFile(file_.c_str(), nullptr, 0), 0);
  EXPECT_EQ(WriteToFile((dir_ / "no" / "such").c_str(), "a", 1), -1);
  // A folder is never a file to write.
  EXPECT_EQ(WriteToFile(dir_.c_str(), "a", 1), -1);
}

TEST_F(FileAccess, AccessTellsWritableReadOnlyAndMissing) {
  int32_t size = -1;
  EXPECT_EQ(GetFileAccess(file_.c_str(), &size), 3);
  EXPECT_EQ(size, 1000);
  EXPECT_EQ(IsExisting(file_.c_str()), 1);
  EXPECT_EQ(GetFileAccess(dir_.c_str(), &size), 0);
  EXPECT_EQ(IsExisting(dir_.c_str()), 0);
  EXPECT_EQ(GetFileAccess((dir_ / "missing").c_str(), nullptr), 0);
  // A pipe is no file, and asking must not wait for a writer.
  const auto fifo = dir_ / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(GetFileAccess(fifo.c_str(), &size), 0);
  char byte;
  EXPECT_EQ(ReadFromFile(fifo.c_str(), &byte, 1, 0, nullptr), -1);
  if (geteuid() != 0) {  // root may write read-only files
    chmod(file_.c_str(), 0444);
    size = -1;
    EXPECT_EQ(GetFileAccess(file_.c_str(), &size), 1);
    EXPECT_EQ(size, 1000);
  }
}

TEST(FileTime, FormatsCalendarFieldsWithTwoBlanks) {
  char out[21];
  VantorFileTime t{1323211183, 0};  // 2011-12-06 22:39:43 UTC
  EXPECT_EQ(FileTimeToStrDateTime(&t, out), 20);
  EXPECT_STREQ(out, "2011/12/06  22:39:43");
  VantorFileTime epoch{0, 999999999};
  EXPECT_EQ(FileTimeToStrDateTime(&epoch, out), 20);
  EXPECT_STREQ(out, "1970/01/01  00:00:00");
  EXPECT_EQ(FileTimeToStrDateTime(nullptr, out), 0);
}

}  // namespace
