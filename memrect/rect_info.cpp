// Diagnostic descriptions of the handle table: one line per record, a hex
// dump of a rectangle's pixels and the listing of all rectangles.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "generic/last_error.h"
#include "memrect/memrect.h"
#include "memrect/rect_store.h"

namespace vantor::store {

namespace {

void Append(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& s, const char* format, ...) {
  char buf[160];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) s.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

std::string DescribeLocked(const Table& t, int32_t h) {
  std::string s;
  Append(s, "#%li: ", static_cast<long>(h));
  const Record* r = t.Find(h);
  if (r == nullptr) {
    s += "is not a handle";
    return s;
  }
  Append(s, "%li*%li*%li (%li) Mem: ", static_cast<long>(r->depth), static_cast<long>(r->width),
         static_cast<long>(r->height), static_cast<long>(r->pitch));
  if (IsExtern(*r)) {
    Append(s, "extern %.8lx ", static_cast<unsigned long>(r->address));
  } else if (IsOverlay(*r)) {
    Append(s, "overlay %lu at (%lu, %lu) ", static_cast<unsigned long>(ParentOf(*r)),
           static_cast<unsigned long>(r->overlayX), static_cast<unsigned long>(r->overlayY));
  } else {
    Append(s, " %lu (%.8lx) ", static_cast<unsigned long>(r->storage),
           static_cast<unsigned long>(r->address));
  }
  if (r->tag != 0) Append(s, "  tag: %li; ", static_cast<long>(r->tag));
  if (r->label[0] != '\0') Append(s, " Label: <%s> ", r->label);
  return s;
}

// Sixteen bytes a line, each line led by its offset. Only the bytes of the
// rectangle's rows are read (the last row's padding may not exist for extern
// and overlay rectangles).
void AppendDumpLocked(const Table& t, int32_t h, int64_t limit, std::string& s) {
  Resolved res;
  if (!ResolveLocked(t, h, &res) || res.height == 0) return;
  const int64_t rowBytes = (static_cast<int64_t>(res.depth) * res.width + 7) / 8;
  const int64_t bytes = std::min<int64_t>(
      limit, static_cast<int64_t>(res.height - 1) * res.pitch + rowBytes);
  for (int64_t i = 0; i < bytes; ++i) {
    if (i % 16 == 0) {
      if (i > 0) s += '\n';
      Append(s, "%08lx:", static_cast<unsigned long>(i));
    }
    Append(s, " %02x", res.pixels[i]);
  }
}

void Show(const char* title, const std::string& text) {
  std::fprintf(stderr, "%s\n%s\n", title, text.c_str());
  std::fflush(stderr);
}

}  // namespace

}  // namespace vantor::store

using namespace vantor::store;

extern "C" {

// The texts are built in memory: a shortage fails (-1, MEMORY) with nothing
// copied or shown.
int32_t mrHandleInfo(int32_t h, char* buffer, int32_t length) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    std::string text;
    Table& t = TheTable();
    std::shared_lock lock(t.mutex);
    text = DescribeLocked(t, h);
    if (buffer != nullptr && length > 0) {
      const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(length) - 1);
      std::memcpy(buffer, text.data(), n);
      buffer[n] = '\0';
      return static_cast<int32_t>(n);
    }
    const auto shownLength = static_cast<int32_t>(text.size());
    if (buffer == nullptr && length > 0) {
      if (t.Find(h) != nullptr) {
        text += '\n';
        AppendDumpLocked(t, h, length, text);
      }
    } else if (buffer != nullptr) {
      text += ' ';
      text += buffer;
      text += ' ';
    }
    lock.unlock();
    Show("mrHandleInfo", text);
    return shownLength;
  });
}

void mrMemRectsDisplay(void) {
  vantor::err::GuardedVoid(__func__, [&] {
    std::string text;
    {
      Table& t = TheTable();
      std::shared_lock lock(t.mutex);
      int32_t count = 0;
      int64_t total = 0;
      for (int32_t h = 1; h <= t.capacity(); ++h) {
        const Record* r = t.Find(h);
        if (r == nullptr) continue;
        ++count;
        if (IsOwned(*r)) total += r->storage;
      }
      Append(text, "Active Rectangles: %li of %li\nUsed Memory Size: %lli", static_cast<long>(count),
             static_cast<long>(t.capacity()), static_cast<long long>(total));
      for (int32_t h = 1; h <= t.capacity(); ++h) {
        if (t.Find(h) == nullptr) continue;
        std::string line = DescribeLocked(t, h);
        if (line.size() > 1023) line.resize(1023);
        text += '\n';
        text += line;
      }
    }
    Show("Memory Rectangles", text);
  });
}

}  // extern "C"
