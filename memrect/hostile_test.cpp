// Hostile and damaged files: decompression bombs, chunks that claim gigabytes,
// endless progressive scans and files cut short. Each file is made here, then
// loaded in a child process under an address-space limit of 64 MiB above what
// the process already holds: it must be refused within a second, with the
// reason people are told, and without the memory the file asks for.
// VANTOR_HOSTILE_SEEDS=DIR also writes the files there (the fuzz seeds).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>
#include <tiffio.h>

#include "memrect/memrect.h"
#include "memrect/readfile.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put16le(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32le(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put32be(Bytes& b, uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

// A PNG chunk; length overrides the length field (the data stay as given).
void PngChunk(Bytes& b, const char* type, const Bytes& data, int64_t length = -1) {
  Put32be(b, length < 0 ? uint32_t(data.size()) : uint32_t(length));
  const size_t at = b.size();
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  Put32be(b, Crc32(b.data() + at, b.size() - at));
}

Bytes PngStart(uint32_t width, uint32_t height) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  Put32be(ihdr, width);
  Put32be(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});  // 8-bit grey, not interlaced
  PngChunk(b, "IHDR", ihdr);
  return b;
}

// Deflate data of n zero bytes in a zlib wrapper: fixed codes, runs of 258
// (a bomb of about 1:1000).
Bytes ZlibZeros(uint64_t n) {
  Bytes out = {0x78, 0x01};
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int count) {  // least significant bit first
    acc |= v << bits;
    bits += count;
    while (bits >= 8) {
      out.push_back(uint8_t(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  auto code = [&](uint32_t c, int count) {  // Huffman codes go most significant bit first
    for (int i = count - 1; i >= 0; --i) put((c >> i) & 1, 1);
  };
  put(1, 1);  // final block
  put(1, 2);  // fixed codes
  code(0x30, 8);  // literal 0
  uint64_t done = 1;
  for (; done + 258 <= n; done += 258) {
    code(0xC5, 8);  // length 258 (code 285)
    code(0, 5);     // distance 1
  }
  for (; done < n; ++done) code(0x30, 8);
  code(0, 7);  // end of block
  put(0, 7);
  Put32be(out, uint32_t(n % 65521) << 16 | 1);  // Adler-32 of n zeros
  return out;
}

// A little-endian TIFF of one strip whose data are strip.
Bytes Tiff(uint32_t width, uint32_t height, uint16_t bits, uint16_t samples, uint16_t compression,
           const Bytes& strip, uint16_t format = 1) {
  struct Entry {
    uint16_t tag, type;
    uint32_t value;
  };
  const std::vector<Entry> entries = {
      {256, 4, width},       {257, 4, height}, {258, 3, bits},       {259, 3, compression},
      {262, 3, 1},           {273, 4, 0},      {277, 3, samples},    {278, 4, height},
      {279, 4, uint32_t(strip.size())},        {339, 3, format}};
  Bytes b = {'I', 'I', 42, 0};
  Put32le(b, 8);
  Put16le(b, uint16_t(entries.size()));
  const uint32_t data = uint32_t(8 + 2 + 12 * entries.size() + 4);
  for (const Entry& e : entries) {
    Put16le(b, e.tag);
    Put16le(b, e.type);
    Put32le(b, 1);
    Put32le(b, e.tag == 273 ? data : e.value);  // short values sit in the low half
  }
  Put32le(b, 0);
  b.insert(b.end(), strip.begin(), strip.end());
  return b;
}

// An 8-bit BMP with a grey palette; the pixel offset, when given, may lie.
Bytes Bmp(int32_t width, int32_t height, uint32_t compression, const Bytes& pixels,
          int64_t offset = -1) {
  Bytes b = {'B', 'M'};
  const uint32_t at = 14 + 40 + 1024;
  Put32le(b, uint32_t(at + pixels.size()));
  Put32le(b, 0);
  Put32le(b, offset >= 0 ? uint32_t(offset) : at);
  for (uint32_t v : {40u, uint32_t(width), uint32_t(height)}) Put32le(b, v);
  Put16le(b, 1);
  Put16le(b, 8);
  for (uint32_t v : {compression, 0u, 2835u, 2835u, 0u, 0u}) Put32le(b, v);
  for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// A 16 x 16 grey JPEG through libjpeg; progressive with the scans given (or
// libjpeg's own progression when script is null).
Bytes Jpeg(int side, bool progressive, const std::vector<jpeg_scan_info>* script = nullptr) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = JDIMENSION(side);
  c.image_height = JDIMENSION(side);
  c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  if (progressive) jpeg_simple_progression(&c);
  if (script) {
    c.scan_info = script->data();
    c.num_scans = int(script->size());
  }
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(side));
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < side; ++x) row[size_t(x)] = uint8_t((x * 37 + c.next_scanline * 11) ^ x);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(mem, mem + size);
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

// A 64 x 64 grey JPEG-compressed TIFF written by libtiff; cut: the second
// half of its strip replaced by an end marker and zeros (the byte count kept).
Bytes JpegTiff(const fs::path& scratch, bool cut) {
  if (TIFF* t = TIFFOpen(scratch.c_str(), "w")) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 64);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 64);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 64);
    std::vector<uint8_t> row(64);
    for (uint32_t y = 0; y < 64; ++y) {
      for (uint32_t x = 0; x < 64; ++x) row[x] = uint8_t(x * 3 + y * 5);
      TIFFWriteScanline(t, row.data(), y, 0);
    }
    TIFFClose(t);
  }
  std::ifstream in(scratch, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uint64_t* offsets = nullptr;
  uint64_t* counts = nullptr;
  TIFF* t = TIFFOpen(scratch.c_str(), "r");
  if (cut && t && TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offsets) &&
      TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts) && offsets[0] + counts[0] <= b.size()) {
    const size_t from = size_t(offsets[0] + counts[0] / 2), to = size_t(offsets[0] + counts[0]);
    std::fill(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(to), 0);
    b[from] = 0xFF;
    b[from + 1] = 0xD9;
  }
  if (t) TIFFClose(t);
  fs::remove(scratch);
  return b;
}

// Where the last scan (its SOS marker) of a JPEG begins.
size_t LastScan(const Bytes& j) {
  size_t at = 0;
  for (size_t i = 0; i + 1 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xDA) at = i;
  return at;
}

struct Outcome {
  int32_t handle = 0;
  std::string reason;
  double seconds = 0;
  bool crashed = false;
};

constexpr uint64_t kBudget = 48u << 20;

// Loads the file in a child held to 64 MiB more address space than it has.
Outcome LoadConfined(const std::string& path) {
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return {0, "no pipe", 0, true};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFd[0]);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizers reserve terabytes of address space: no limit under them.
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
#endif
    const VantorLoadLimits budget{kBudget, 0, "--max-frame-memory"};
    const int32_t h = mrReadFileLimited(path.c_str(), 1, &budget);
    const std::string text = std::to_string(h) + " " + mrLastLoadError();
    if (write(pipeFd[1], text.data(), text.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipeFd[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(pipeFd[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  close(pipeFd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome o;
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  const size_t space = text.find(' ');
  o.handle = space == std::string::npos ? 0 : std::atoi(text.substr(0, space).c_str());
  o.reason = space == std::string::npos ? text : text.substr(space + 1);
  return o;
}

struct Case {
  std::string name;
  Bytes bytes;
  std::string reason;  // the load reason begins with this
};

const std::string kOver = "the frame would need ";
const std::string kBudgetText = "; the budget is 48 MiB (--max-frame-memory)";

// A JPEG with its frame size changed.
Bytes Resized(Bytes j, uint16_t side) {
  for (size_t i = 0; i + 8 < j.size(); ++i)
    if (j[i] == 0xFF && (j[i + 1] == 0xC0 || j[i + 1] == 0xC2)) {
      for (size_t k : {i + 5, i + 7}) {
        j[k] = uint8_t(side >> 8);
        j[k + 1] = uint8_t(side);
      }
      break;
    }
  return j;
}

// Every hostile file, with the reason it must be refused for.
std::vector<Case> HostileFiles() {
  std::vector<Case> cases;
  // Chunks that claim 2 GiB of a file of less than 100 bytes.
  for (const char* type : {"tEXt", "zTXt", "iCCP"}) {
    Bytes b = PngStart(1, 1);
    Bytes data = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0};
    data.resize(40, 'x');
    PngChunk(b, type, data, 0x7FFFFFF0);
    cases.push_back({std::string("png_") + type + "_bomb.png", b,
                     std::string("PNG: file truncated: chunk ") + type + " claims 2.0 GiB"});
  }
  // Decompression bombs: 1.5 GB of pixels from a few kilobytes.
  // libtiff decodes a strip of all rows into a buffer of its own: twice the frame.
  const std::string bomb = kOver + "1.5 GiB (40000 x 40000, 8-bit)" + kBudgetText;
  const std::string tiffBomb = kOver + "3.0 GiB (40000 x 40000, 8-bit)" + kBudgetText;
  Bytes png = PngStart(40000, 40000);
  PngChunk(png, "IDAT", ZlibZeros(1u << 20));
  PngChunk(png, "IEND", {});
  cases.push_back({"png_bomb.png", png, bomb});
  cases.push_back({"tiff_deflate_bomb.tif", Tiff(40000, 40000, 8, 1, 8, ZlibZeros(1u << 20)), tiffBomb});
  Bytes runs;
  for (int i = 0; i < 2000; ++i) runs.insert(runs.end(), {0x81, 0});  // 128 zeros each
  cases.push_back({"tiff_packbits_bomb.tif", Tiff(40000, 40000, 8, 1, 32773, runs), tiffBomb});
  cases.push_back({"tiff_lzw_bomb.tif", Tiff(40000, 40000, 8, 1, 5, {0x80, 0, 0x20, 0x10}), tiffBomb});
  cases.push_back({"tiff_float_bomb.tif", Tiff(40000, 20000, 32, 1, 8, ZlibZeros(1u << 16), 3),
                   kOver + "8.9 GiB (40000 x 20000, 64-bit)" + kBudgetText});
  Bytes rle;
  for (int i = 0; i < 200; ++i) rle.insert(rle.end(), {255, 0, 255, 0, 0, 0});
  rle.insert(rle.end(), {0, 1});
  cases.push_back({"bmp_rle_bomb.bmp", Bmp(40000, 40000, 1, rle), bomb});
  const Bytes baseline = Jpeg(64, false), progressive = Jpeg(64, true);
  cases.push_back({"jpeg_bomb.jpg", Resized(baseline, 65500),
                   kOver + "4.0 GiB (65500 x 65500, 8-bit)" + kBudgetText});
  // A progressive file keeps every coefficient as well (2 bytes a pixel).
  cases.push_back({"jpeg_progressive_bomb.jpg", Resized(progressive, 30000),
                   kOver + "2.5 GiB (30000 x 30000, 8-bit)" + kBudgetText});
  // Scans without end: the last scan 5000 times, or 704 scans that each add a bit.
  {
    const size_t last = LastScan(progressive);
    Bytes b(progressive.begin(), progressive.end() - 2);
    const Bytes scan(progressive.begin() + std::ptrdiff_t(last), progressive.end() - 2);
    for (int i = 0; i < 5000; ++i) b.insert(b.end(), scan.begin(), scan.end());
    b.insert(b.end(), {0xFF, 0xD9});
    cases.push_back({"jpeg_5000_scans.jpg", b, "JPEG: damaged: a scan repeats"});
    std::vector<jpeg_scan_info> script;
    for (int k = 0; k < 64; ++k)
      for (int al = 10; al >= 0; --al)
        script.push_back({1, {0, 0, 0, 0}, k, k, al == 10 ? 0 : al + 1, al});
    cases.push_back({"jpeg_704_scans.jpg", Jpeg(16, true, &script), "JPEG: more than 500 scans"});
    // Cut before its last scan, with the end marker put back.
    Bytes cut(progressive.begin(), progressive.begin() + std::ptrdiff_t(last));
    cut.insert(cut.end(), {0xFF, 0xD9});
    cases.push_back({"jpeg_progressive_cut.jpg", cut,
                     "JPEG: file truncated: the scans end before the picture is complete"});
  }
  // Cut short: in the middle of the compressed data, with and without the end marker.
  Bytes half(baseline.begin(), baseline.begin() + std::ptrdiff_t(baseline.size() * 2 / 3));
  cases.push_back({"jpeg_truncated.jpg", half, "JPEG: file truncated: the compressed data end early"});
  half.insert(half.end(), {0xFF, 0xD9});
  cases.push_back({"jpeg_truncated_end_marker.jpg", half,
                   "JPEG: file truncated: the compressed data end early"});
  Bytes pngCut = PngStart(64, 64);
  PngChunk(pngCut, "IDAT", ZlibZeros(64 * 65));
  pngCut.resize(pngCut.size() - 20);
  cases.push_back({"png_truncated.png", pngCut, "PNG: file truncated: chunk IDAT claims"});
  Bytes pngShort = PngStart(64, 64);
  PngChunk(pngShort, "IDAT", ZlibZeros(64 * 30));
  PngChunk(pngShort, "IEND", {});
  cases.push_back({"png_short_data.png", pngShort, "PNG: file truncated: the image data end early"});
  Bytes deflateCut = ZlibZeros(64 * 64);
  deflateCut.resize(deflateCut.size() / 2);
  cases.push_back({"tiff_deflate_truncated.tif", Tiff(64, 64, 8, 1, 8, deflateCut),
                   "Deflate: strip 1: damaged or cut compressed data at row 0"});
  Bytes deflateShort = Tiff(64, 64, 8, 1, 8, ZlibZeros(64 * 64));
  deflateShort.resize(deflateShort.size() - 10);
  cases.push_back({"tiff_deflate_file_cut.tif", deflateShort, "Deflate: strip 1: file truncated: fewer bytes than the directory gives"});
  Bytes plain = Tiff(64, 64, 8, 1, 1, Bytes(64 * 64, 9));
  plain.resize(plain.size() - 100);
  cases.push_back({"tiff_truncated.tif", plain, "file truncated"});
  cases.push_back({"tiff_jpeg_truncated.tif",
                   JpegTiff(fs::temp_directory_path() / ("vantor_jt_" + std::to_string(getpid())), true),
                   "JPEG: strip 1: file truncated: the compressed data end early"});
  Bytes atZero = Tiff(64, 64, 8, 1, 1, Bytes(64 * 64, 9));
  atZero[10 + 12 * 5 + 8] = atZero[10 + 12 * 5 + 9] = 0;  // StripOffsets (the sixth entry): 0
  cases.push_back({"tiff_strip_at_0.tif", atZero, "pixel data inside the header: TIFF strip 1"});
  Bytes deflateAtZero = Tiff(64, 64, 8, 1, 8, ZlibZeros(64 * 64));
  deflateAtZero[10 + 12 * 5 + 8] = deflateAtZero[10 + 12 * 5 + 9] = 0;
  cases.push_back({"tiff_deflate_strip_at_0.tif", deflateAtZero,
                   "pixel data inside the header: TIFF strip 1"});
  cases.push_back({"tiff_samples_0.tif", Tiff(64, 64, 8, 0, 1, Bytes(64 * 64, 9)),
                   "TIFF SamplesPerPixel is 0"});
  Bytes rleCut;
  for (int y = 0; y < 20; ++y) rleCut.insert(rleCut.end(), {64, 7, 0, 0});
  cases.push_back({"bmp_rle_truncated.bmp", Bmp(64, 64, 1, rleCut),
                   "file truncated: the run-length data end in row 21 of 64"});
  cases.push_back({"bmp_offset_0.bmp", Bmp(16, 16, 0, Bytes(256, 5), 0),
                   "pixel data inside the header"});
  return cases;
}

void Write(const fs::path& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                              std::streamsize(b.size()));
}

TEST(HostileFiles, AreRefusedQuicklyWithinLittleMemoryAndSayWhy) {
  const fs::path dir = fs::temp_directory_path() / ("vantor_hostile_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const char* seeds = std::getenv("VANTOR_HOSTILE_SEEDS");
  for (const Case& c : HostileFiles()) {
    const fs::path path = dir / c.name;
    Write(path, c.bytes);
    if (seeds && c.bytes.size() <= 65536) Write(fs::path(seeds) / c.name, c.bytes);
    const Outcome o = LoadConfined(path.string());
    SCOPED_TRACE(c.name + " (" + std::to_string(c.bytes.size()) + " bytes): " + o.reason);
    EXPECT_FALSE(o.crashed);
    EXPECT_EQ(o.handle, -1);
    EXPECT_EQ(o.reason.rfind(c.reason, 0), 0u) << "expected: " << c.reason;
    EXPECT_LT(o.seconds, 1.0);
  }
  fs::remove_all(dir);
}

// The same picture whole loads, so that the refusals above are for the damage.
TEST(HostileFiles, UndamagedOriginalsLoad) {
  const fs::path dir = fs::temp_directory_path() / ("vantor_intact_" + std::to_string(getpid()));
  fs::create_directories(dir);
  Bytes png = PngStart(64, 64);
  PngChunk(png, "IDAT", ZlibZeros(64 * 65));
  PngChunk(png, "IEND", {});
  Bytes rle;
  for (int y = 0; y < 64; ++y) rle.insert(rle.end(), {64, 7, 0, 0});
  rle.insert(rle.end(), {0, 1});
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"a.png", png},
      {"a.tif", Tiff(64, 64, 8, 1, 8, ZlibZeros(64 * 64))},
      {"b.tif", Tiff(40000, 1, 8, 1, 8, ZlibZeros(40000))},
      {"a.bmp", Bmp(64, 64, 1, rle)},
      {"a.jpg", Jpeg(64, false)},
      {"b.jpg", Jpeg(64, true)},
      {"c.tif", JpegTiff(dir / "scratch.tif", false)}};
  const VantorLoadLimits budget{kBudget, 0, "--max-frame-memory"};
  for (const auto& [name, bytes] : files) {
    Write(dir / name, bytes);
    const int32_t h = mrReadFileLimited((dir / name).c_str(), 1, &budget);
    EXPECT_GT(h, 0) << name << ": " << mrLastLoadError();
    mrFree(h);
  }
  // Exactly the budget is enough; a byte less is not.
  const VantorLoadLimits exact{64 * 64, 0, nullptr}, under{2048, 0, nullptr};
  const int32_t h = mrReadFileLimited((dir / "a.png").c_str(), 1, &exact);
  EXPECT_GT(h, 0);
  mrFree(h);
  EXPECT_EQ(mrReadFileLimited((dir / "a.png").c_str(), 1, &under), -1);
  EXPECT_STREQ(mrLastLoadError(),
               "the frame would need 4.0 KiB (64 x 64, 8-bit); the budget is 2.0 KiB");
  // A strip table of 80 MB in a sparse file of 100 MB: refused before it is read.
  Bytes table = Tiff(64, 64, 8, 1, 1, Bytes(64 * 64, 9));
  for (size_t i = 10; i + 12 <= table.size(); i += 12)
    if (table[i] == 0x11 && table[i + 1] == 0x01) {  // StripOffsets: 20 M values at 8 KiB
      table[i + 4] = 0;
      table[i + 5] = 0x2D;
      table[i + 6] = 0x31;
      table[i + 7] = 0x01;
      table[i + 8] = 0;
      table[i + 9] = 0x20;
      table[i + 10] = table[i + 11] = 0;
    }
  Write(dir / "table.tif", table);
  fs::resize_file(dir / "table.tif", 100u << 20);
  EXPECT_EQ(mrReadFileLimited((dir / "table.tif").c_str(), 1, &budget), -1);
  EXPECT_STREQ(mrLastLoadError(), "TIFF tag 273 holds 76 MiB, above the limit of 64 MiB for one tag");
  // Beyond the image store a size is a limit, said as one, whatever the budget.
  Write(dir / "big.jpg", Resized(Jpeg(64, false), 65500));
  const VantorLoadLimits vast{uint64_t(1) << 40, 0, nullptr};
  EXPECT_EQ(mrReadFileLimited((dir / "big.jpg").c_str(), 1, &vast), -1);
  EXPECT_STREQ(mrLastLoadError(), "a frame of 65500 x 65500, 8-bit (4.0 GiB) is beyond the image "
                                  "store's limit of 2.0 GiB");
  fs::remove_all(dir);
}

}  // namespace
