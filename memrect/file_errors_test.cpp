// Failures of the file readers, writers and lists as the error record tells
// them (operation, cause, kind), beside the load reason the program prints.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bmptiff/bmptiff.h"
#include "files/fileaccess.h"
#include "files/filelist.h"
#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/readfile_internal.h"
#include "memrect/writefile.h"
#include "tools/image_writer.h"
#include "tools/temp_folder.h"

namespace {

using Folder = vantor::test::TempFolder;

// The record after a failure: "text" and kind.
void ExpectRecord(const std::string& text, int32_t kind) {
  EXPECT_EQ(std::string(mrLastError()), text);
  EXPECT_EQ(mrLastErrorKind(), kind) << mrLastError();
}

TEST(FileErrors, ReadersTellMissingDamagedAndUnsupportedFiles) {
  Folder dir;
  const std::string missing = dir / "missing.tif";
  EXPECT_EQ(mrReadFile(missing.c_str()), -1);
  EXPECT_STREQ(mrLastLoadError(), "file not found");
  ExpectRecord("mrReadFile: file not found", VANTOR_ERROR_FILE);
  EXPECT_EQ(mrPageCount(missing.c_str()), -1);
  ExpectRecord("mrPageCount: file not found", VANTOR_ERROR_FILE);
  EXPECT_EQ(ReadFileHeader(missing.c_str()), 0);
  ExpectRecord("ReadFileHeader: cannot open the file: No such file or directory",
               VANTOR_ERROR_FILE);

  // A TIFF header with the wrong magic number, then one whose first page lies
  // beyond the end.
  const std::string magic = dir / "magic.tif", beyond = dir / "beyond.tif";
  ASSERT_TRUE(vantor::tools::SaveBytes(magic, std::string("II\x2C\0\x08\0\0\0\0\0", 10)));
  ASSERT_TRUE(vantor::tools::SaveBytes(beyond, std::string("II\x2A\0\x00\x10\0\0\0\0", 10)));
  EXPECT_EQ(mrReadFile(magic.c_str()), -1);
  EXPECT_STREQ(mrLastLoadError(), "not a TIFF file (magic number 44)");
  ExpectRecord("mrReadFile: not a TIFF file (magic number 44)", VANTOR_ERROR_FORMAT);
  EXPECT_EQ(mrReadFilePage(beyond.c_str(), 1), -1);
  ExpectRecord("mrReadFilePage: TIFF IFD offset 4096 lies outside the file", VANTOR_ERROR_FORMAT);
  EXPECT_EQ(mrPageCount(beyond.c_str()), -1);
  ExpectRecord("mrPageCount: TIFF IFD offset 4096 lies outside the file", VANTOR_ERROR_FORMAT);
  EXPECT_EQ(ReadFileHeader(magic.c_str()), 0);
  ExpectRecord("ReadFileHeader: not a TIFF file (magic number 44)", VANTOR_ERROR_FORMAT);

  const std::string gif = dir / "picture.gif";
  ASSERT_TRUE(vantor::tools::SaveBytes(gif, "GIF89a\x01\0\x01\0"));
  EXPECT_EQ(mrReadFile(gif.c_str()), -1);
  EXPECT_STREQ(mrLastLoadError(), "unknown file format");
  ExpectRecord("mrReadFile: unknown file format", VANTOR_ERROR_FORMAT);
  EXPECT_EQ(mrReadJPEGfile(gif.c_str()), -1);
  ExpectRecord("mrReadJPEGfile: not a JPEG file", VANTOR_ERROR_FORMAT);

  // After all that a good file reads, and its load reason is empty; asking
  // it for a page it does not have is the caller's mistake.
  const std::string good = dir / "good.tif";
  ASSERT_TRUE(vantor::tools::WriteTiff(good, std::vector<uint8_t>(6 * 4, 7), 6, 4));
  const int32_t h = mrReadFile(good.c_str());
  EXPECT_GT(h, 0);
  EXPECT_STREQ(mrLastLoadError(), "");
  mrFree(h);
  EXPECT_EQ(mrReadFilePage(good.c_str(), 2), -1);
  ExpectRecord("mrReadFilePage: no page 2: the file has 1", VANTOR_ERROR_PARAMETER);
  // A cap that a header runs into is the file's fault, not a shortage of
  // memory (the own reader and libtiff both refuse the picture here).
  const VantorLoadLimits budget{16, 0, "budget"};
  EXPECT_EQ(mrReadFileLimited(good.c_str(), 1, &budget), -1);
  EXPECT_STREQ(mrLastLoadError(),
               "the frame would need 32 bytes (6 x 4, 8-bit); the budget is 16 bytes (budget)");
  ExpectRecord("mrReadFileLimited: the frame would need 32 bytes (6 x 4, 8-bit); the budget is "
               "16 bytes (budget)", VANTOR_ERROR_FORMAT);
  // What the decoder libraries only say in words.
  EXPECT_EQ(vantor::DecoderMessageKind("Out of memory"), VANTOR_ERROR_MEMORY);
  EXPECT_EQ(vantor::DecoderMessageKind("Failed to allocate memory for to read TIFF directory"),
            VANTOR_ERROR_MEMORY);
  EXPECT_EQ(vantor::DecoderMessageKind("No space for LZW code table"), VANTOR_ERROR_MEMORY);
  EXPECT_EQ(vantor::DecoderMessageKind(
                "Memory allocation of 9 bytes is beyond the 8 byte limit defined in open options"),
            VANTOR_ERROR_FORMAT);
  EXPECT_EQ(vantor::DecoderMessageKind("unknown chunk exceeds memory limits"), VANTOR_ERROR_FORMAT);
  EXPECT_EQ(vantor::DecoderMessageKind("Not enough data at scanline 3"), VANTOR_ERROR_FORMAT);

  EXPECT_EQ(mrBitmapToMemRect(nullptr, 0), -1);
  ExpectRecord("mrBitmapToMemRect: bad bitmap", VANTOR_ERROR_PARAMETER);
  EXPECT_EQ(HeaderFormat(9), 0);
  ExpectRecord("HeaderFormat: file handle 9 is not in use", VANTOR_ERROR_PARAMETER);
}

TEST(FileErrors, WritersAndListsTellAMissingFolder) {
  Folder dir;
  const int32_t h = mrCreate(8, 6, 4);
  ASSERT_GT(h, 0);
  const std::string tif = dir / "none/out.tif", bmp = dir / "none/out.bmp",
                    jpg = dir / "none/out.jpg";
  EXPECT_EQ(mrWriteToFileTIFF(h, tif.c_str(), 1, nullptr), -1);
  ExpectRecord("mrWriteToFileTIFF: cannot create the file: No such file or directory",
               VANTOR_ERROR_FILE);
  EXPECT_EQ(mrWriteToFile(h, bmp.c_str(), 0), -1);
  ExpectRecord("mrWriteToFile: cannot create the file: No such file or directory",
               VANTOR_ERROR_FILE);
  EXPECT_EQ(mrSaveJPEGfile(h, jpg.c_str(), 90), -1);
  ExpectRecord("mrSaveJPEGfile: cannot create '" + jpg + "': No such file or directory",
               VANTOR_ERROR_FILE);
  EXPECT_EQ(WriteToFile(tif.c_str(), "x", 1), -1);
  ExpectRecord("WriteToFile: cannot open '" + tif + "': No such file or directory",
               VANTOR_ERROR_FILE);
  EXPECT_EQ(mrWriteToFile(999999, bmp.c_str(), 0), -1);
  ExpectRecord("mrWriteToFile: handle 999999 is not a valid image", VANTOR_ERROR_PARAMETER);
  mrFree(h);

  const std::string pattern = dir / "none/*.tif";
  EXPECT_EQ(ListOfFiles(pattern.c_str(), nullptr, 0, 0, nullptr), -1);
  ExpectRecord(
      "ListOfFiles: cannot read the folder '" + dir / "none" + "': No such file or directory",
      VANTOR_ERROR_FILE);
  EXPECT_EQ(GetAlphaFilesList(pattern.c_str()), nullptr);
  ExpectRecord(
      "GetAlphaFilesList: cannot read the folder '" + dir / "none" + "': No such file or directory",
      VANTOR_ERROR_FILE);
  // A folder that is there but holds nothing that matches.
  const std::string nothing = dir / "*.tif";
  EXPECT_EQ(GetAlphaFilesList(nothing.c_str()), nullptr);
  ExpectRecord("GetAlphaFilesList: nothing matches '" + nothing + "'", VANTOR_ERROR_FAILED);
}

}  // namespace
