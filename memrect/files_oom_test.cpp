// The file readers, writers and lists when memory runs out: every format
// fails with the memory kind or succeeds, leaves no rectangle, file slot or
// cached page chain behind, and the next ordinary read works.
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmptiff/reader_internal.h"
#include "files/filelist.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/writefile.h"
#include "tools/image_writer.h"
#include "tools/temp_folder.h"
#include "tools/oom_check.h"

namespace {

constexpr int32_t kW = 64, kH = 48;

using Folder = vantor::test::TempFolder;

// A rectangle of the depth with a pattern in every byte.
int32_t Pattern(int32_t depth) {
  const int32_t h = mrCreate(depth, kW, kH);
  int32_t w = 0, rows = 0, pitch = 0;
  void* base = nullptr;
  mrGetExtendedInfo(h, &w, &rows, &pitch, &base);
  auto* p = static_cast<uint8_t*>(base);
  for (int32_t y = 0; y < rows; ++y)
    for (int32_t i = 0; i < w * depth / 8; ++i) p[y * pitch + i] = uint8_t(3 * i + 5 * y);
  return h;
}

// Whether two rectangles hold the same pixels.
bool Same(int32_t a, int32_t b) {
  int32_t wa = 0, ha = 0, pa = 0, wb = 0, hb = 0, pb = 0;
  void *xa = nullptr, *xb = nullptr;
  const int32_t da = mrGetExtendedInfo(a, &wa, &ha, &pa, &xa);
  const int32_t db = mrGetExtendedInfo(b, &wb, &hb, &pb, &xb);
  if (da != db || wa != wb || ha != hb) return false;
  for (int32_t y = 0; y < ha; ++y)
    if (std::memcmp(static_cast<uint8_t*>(xa) + y * pa, static_cast<uint8_t*>(xb) + y * pb,
                    size_t(wa) * da / 8) != 0)
      return false;
  return true;
}

bool WriteLzw(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(kW));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(kH));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
  std::vector<uint8_t> row(kW);
  bool ok = true;
  for (int32_t y = 0; y < kH && ok; ++y) {
    for (int32_t x = 0; x < kW; ++x) row[size_t(x)] = uint8_t(x + y);
    ok = TIFFWriteScanline(t, row.data(), uint32_t(y), 0) == 1;
  }
  TIFFClose(t);
  return ok;
}

bool WritePng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kW;
  image.height = kH;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7);
  return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

TEST(FilesOutOfMemory, ReadersWritersAndLists) {
  Folder dir;
  const int32_t grey = Pattern(8), deep = Pattern(16), colour = Pattern(24);
  const std::string grey8 = dir / "grey8.tif", grey16 = dir / "grey16.tif",
                    bmp = dir / "colour.bmp", jpeg = dir / "colour.jpg", png = dir / "colour.png",
                    lzw = dir / "lzw.tif", pages = dir / "pages.tif";
  ASSERT_EQ(mrWriteToFileTIFF(grey, grey8.c_str(), 1, nullptr), kH);
  ASSERT_EQ(mrWriteToFileTIFF(deep, grey16.c_str(), 1, nullptr), kH);
  ASSERT_EQ(mrWriteToFile(colour, bmp.c_str(), 0), kH);
  ASSERT_EQ(mrSaveJPEGfile(colour, jpeg.c_str(), 90), colour);
  ASSERT_TRUE(WritePng(png));
  ASSERT_TRUE(WriteLzw(lzw));
  const std::vector<uint8_t> page(size_t(kW) * kH, 9);
  ASSERT_TRUE(vantor::tools::WriteTiffPages(pages, {page, page, page}, kW, kH, 8));

  int32_t made = -1;
  struct Read {
    const char* what;
    std::string path;
    int32_t page, depth, same;  // same: the rectangle it must equal, 0 for none
  };
  const Read reads[] = {{"8-bit TIFF", grey8, 1, 8, grey},
                        {"16-bit TIFF", grey16, 1, 16, deep},
                        {"colour BMP", bmp, 1, 24, colour},
                        {"JPEG", jpeg, 1, 24, 0},
                        {"PNG", png, 1, 24, 0},
                        {"LZW TIFF", lzw, 1, 8, 0},
                        {"page 3 of 3", pages, 3, 8, 0}};
  for (const Read& r : reads) {
    fault::EveryFailureOf(
        r.what,
        [&] {
          vantor::ForgetTiffPages();  // the page chain is built under the failures too
          if ((made = mrReadFilePage(r.path.c_str(), r.page)) > 0) return true;
          // Nothing of the failure (a cached chain, a file slot) may stay.
          const int32_t again = mrReadFilePage(r.path.c_str(), r.page);
          EXPECT_GT(again, 0) << r.what << " after a failure: " << mrLastLoadError();
          mrFree(again);
          return false;
        },
        [&] {
          int32_t w = 0, h = 0;
          EXPECT_EQ(mrGetRectInfo(made, &w, &h), r.depth) << r.what;
          EXPECT_EQ(w * 1000 + h, kW * 1000 + kH) << r.what;
          if (r.same) {
            EXPECT_TRUE(Same(made, r.same)) << r.what;
          }
          mrFree(made);
        });
    const int32_t again = mrReadFilePage(r.path.c_str(), r.page);
    EXPECT_GT(again, 0) << r.what << " after the failures: " << mrLastLoadError();
    mrFree(again);
  }
  fault::EveryFailureOf("mrPageCount", [&] {
    vantor::ForgetTiffPages();
    if (mrPageCount(pages.c_str()) == 3) return true;
    EXPECT_EQ(mrPageCount(pages.c_str()), 3) << "after a failure";
    return false;
  });
  EXPECT_EQ(mrPageCount(pages.c_str()), 3);

  const std::string outTif = dir / "out.tif", outJpg = dir / "out.jpg";
  fault::EveryFailureOf(
      "mrWriteToFileTIFF", [&] { return mrWriteToFileTIFF(deep, outTif.c_str(), 1, "d") == kH; },
      [&] {
        const int32_t back = mrReadFile(outTif.c_str());
        EXPECT_TRUE(Same(back, deep));
        mrFree(back);
      });
  // From 8 bits: the conversion to colour runs under the failures too.
  fault::EveryFailureOf("mrSaveJPEGfile",
                        [&] { return mrSaveJPEGfile(grey, outJpg.c_str(), 80) == grey; });
  const int32_t back = mrReadFile(outJpg.c_str());
  EXPECT_EQ(mrGetRectInfo(back, nullptr, nullptr), 24) << mrLastLoadError();
  mrFree(back);

  VantorFileList* list = nullptr;
  const std::string pattern = dir / "*.TIF";
  fault::EveryFailureOf(
      "GetAlphaFilesList", [&] { return (list = GetAlphaFilesList(pattern.c_str())) != nullptr; },
      [&] {
        ASSERT_EQ(list->count, 5);
        EXPECT_STREQ(GetAlphaFileName(list, 1), "grey16.tif");
        FreeAlphaFilesList(list);
      });
  mrFree(grey);
  mrFree(deep);
  mrFree(colour);
}

}  // namespace
