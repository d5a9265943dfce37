// The writer behind the slot functions of bmptiff_write.h, usable without a
// slot: callers that write many files from many threads at once (aligned
// frames) would otherwise compete for the 16 slots.
#ifndef VANTOR_BMPTIFF_BMPTIFF_WRITE_INTERNAL_H
#define VANTOR_BMPTIFF_BMPTIFF_WRITE_INTERNAL_H

#include <sys/uio.h>

#include <cstdint>
#include <memory>

namespace vantor {

class ImageFileWriter {
 public:
  // The header of CreateTheHeader; null for the cases in which it returns 0
  // (other than a missing slot).
  static std::unique_ptr<ImageFileWriter> Create(int32_t format, int32_t bitsPerPixel,
                                                 int32_t width, int32_t length,
                                                 const void* table, int32_t entries,
                                                 const char* description);
  ~ImageFileWriter();
  ImageFileWriter(const ImageFileWriter&) = delete;
  ImageFileWriter& operator=(const ImageFileWriter&) = delete;

  int32_t format() const { return format_; }
  // Bytes of one file row (TIFF unpadded, BMP padded to 4 bytes).
  uint32_t rowBytes() const { return rowBytes_; }
  uint32_t headerLength() const { return headerLength_; }
  const uint8_t* header() const { return header_.get(); }
  bool isOpen() const { return fd_ >= 0; }

  void AddDescription(const char* text, int32_t length);
  // As MakeHeaderFile, WriteNextRows and RewriteHeader.
  int32_t MakeFile(const char* path);
  int32_t MakeFileFd(int fd);
  int32_t WriteRows(const void* data, int32_t rows);
  // Appends the bytes of count buffers (whole rows together) in as few
  // system calls as the system allows; false on a failed or short write.
  bool WriteGather(const struct iovec* parts, int count);
  int32_t Rewrite();
  // Closes the file (also done on destruction); false when closing reports
  // an error (data may not have reached the disk).
  bool Close();

 private:
  ImageFileWriter() = default;
  uint8_t* Find(uint16_t tag);
  bool SetTag(uint16_t tag, uint16_t type, uint32_t count, const void* value);
  bool SetNumber(uint16_t tag, uint16_t type, uint32_t value);
  void SyncStripOffsets();
  bool CreateTiff(const void* table, int32_t entries, const char* description);
  bool CreateBmp(const void* table, int32_t entries);
  bool Append(uint64_t bytes);
  int32_t WriteFirstHeader();

  int32_t format_ = 0;
  std::unique_ptr<uint8_t[]> header_;
  uint32_t headerLength_ = 0;
  int fd_ = -1;
  uint64_t currentOffset_ = 0;
  uint32_t bits_ = 0, width_ = 0, length_ = 0, rowBytes_ = 0;
  uint64_t dataSize_ = 0;
  bool topDown_ = false;
  uint32_t stripBytes_ = 0;
};

// WriteNextRows from gathered buffers (whole rows together); false for a
// slot without an open file or a failed write.
bool WriteNextRowsGather(int16_t slot, const struct iovec* parts, int count);

}  // namespace vantor

#endif
