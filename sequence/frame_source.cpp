// Frames of a sequence read into the measurement's working form: files and
// pages through the library's readers, caller memory copied into a rectangle
// (turned upside down when its first row is the top, so that every source is
// measured in the same orientation), then reduced to 8-bit grey one way for all.
#include "sequence/frame_source.h"

#include <cstddef>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "generic/errors.h"
#include "memrect/convert.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/stack_axes.h"
#include "sequence/sequence.h"

namespace vantor::seq {

namespace {

bool MemoryShort() { return mrLastErrorKind() == VANTOR_ERROR_MEMORY; }

// 4-bit pixels (pixel 0 in the low nibble of its byte) spread over 0..255.
int32_t NibblesToGrey(int32_t source, int32_t grey) {
  int32_t w = 0, h = 0, sp = 0, gp = 0;
  void* s = nullptr;
  void* g = nullptr;
  if (mrGetExtendedInfo(source, &w, &h, &sp, &s) != 4 ||
      mrGetExtendedInfo(grey, &w, &h, &gp, &g) != 8)
    return -1;
  for (int32_t y = 0; y < h; ++y) {
    const auto* in = static_cast<const uint8_t*>(s) + static_cast<ptrdiff_t>(y) * sp;
    auto* out = static_cast<uint8_t*>(g) + static_cast<ptrdiff_t>(y) * gp;
    for (int32_t x = 0; x < w; ++x)
      out[x] = static_cast<uint8_t>(17 * ((in[x / 2] >> (4 * (x % 2))) & 0x0F));
  }
  return 0;
}

// A new rectangle whose pitch passes the colour conversion's width test
// (pitch / width equal to the bytes of a pixel): the 4-byte rows unless the
// frame is so narrow that padding breaks it.
int32_t CreateTight(int32_t depth, int32_t width, int32_t height) {
  const int32_t bytes = depth / 8;
  const int64_t padded = ((static_cast<int64_t>(depth) * width + 31) / 32) * 4;
  if (width > 0 && padded / width != bytes) return mrCreateRoundPitch(depth, width, height, 1);
  return mrCreate(depth, width, height);
}

// Caller memory as a rectangle of its own depth (float32 widened to doubles),
// row 0 the bottom of the picture.
int32_t CopyMemory(const FrameSource& src) {
  const int32_t depth = LayoutDepth(src.layout);
  const int32_t w = src.width, h = src.height;
  const int32_t h1 = depth == 24 || depth == 48 ? CreateTight(depth, w, h) : mrCreate(depth, w, h);
  if (h1 < 1) return -1;
  int32_t pitch = 0;
  void* base = nullptr;
  mrGetExtendedInfo(h1, nullptr, nullptr, &pitch, &base);
  const size_t rowBytes = static_cast<size_t>(w) * static_cast<size_t>(LayoutBytes(src.layout));
  for (int32_t y = 0; y < h; ++y) {
    const int32_t from = src.topRowFirst ? h - 1 - y : y;
    const auto* in = static_cast<const uint8_t*>(src.data) + from * src.stride;
    auto* out = static_cast<uint8_t*>(base) + static_cast<ptrdiff_t>(y) * pitch;
    if (src.layout == kSequenceF32) {
      auto* d = reinterpret_cast<double*>(out);
      for (int32_t x = 0; x < w; ++x) {
        float v;
        std::memcpy(&v, in + 4 * static_cast<size_t>(x), sizeof v);
        d[x] = v;
      }
    } else {
      std::memcpy(out, in, rowBytes);
    }
  }
  return h1;
}

// The 8-bit grey rectangle of a frame at its own depth.
int32_t ToGrey(int32_t source, int32_t depth, int32_t w, int32_t h, GreyRange* range,
               RectOwner* grey) {
  grey->reset(mrCreate(8, w, h));
  if (!*grey) {
    grey->release();
    return -1;
  }
  if (depth == 24) return mrRGBtoGray(source, grey->get(), -4, 0, 0);
  if (depth == 4) return NibblesToGrey(source, grey->get());
  if (depth == 64) {
    GreyRange& r = *range;
    if (!r.set) {
      if (mrFiniteMinMax(source, &r.lo, &r.hi) < 0) r.lo = r.hi = 0;
      if (r.hi <= r.lo) r.hi = r.lo + 1.0;  // a flat first frame: any range will do
      r.set = true;
    }
    return mrDoubleToGrey(source, grey->get(), r.lo, r.hi) >= 0 ? 0 : -1;
  }
  if (depth == 48) {
    // 16-bit colour: the mean of the channels first, then the automatic shift.
    RectOwner wide(CreateTight(16, w, h));
    if (wide.get() < 1 || mrRGBtoGray(source, wide.get(), -4, 0, 0) < 0) return -1;
    return mrConvert(wide.get(), grey->get(), -1);
  }
  return mrConvert(source, grey->get(), -1);
}

// The page of channel c and slice z (0-based) of a time point.
int32_t PageOf(const FrameSource& src, int32_t c, int32_t z) {
  return src.page + c * src.strideC + z * src.strideZ;
}

template <typename T>
void Accumulate(const void* base, int32_t pitch, int32_t w, int32_t h, bool mean, bool first,
                double* sum, void* maxBase) {
  for (int32_t y = 0; y < h; ++y) {
    const T* in = reinterpret_cast<const T*>(static_cast<const uint8_t*>(base) +
                                             static_cast<ptrdiff_t>(y) * pitch);
    double* acc = sum + static_cast<size_t>(y) * static_cast<size_t>(w);
    T* m = reinterpret_cast<T*>(static_cast<uint8_t*>(maxBase) + static_cast<ptrdiff_t>(y) * pitch);
    for (int32_t x = 0; x < w; ++x) {
      if (mean)
        acc[x] += static_cast<double>(in[x]);
      else if (!first && in[x] > m[x])  // NaN never wins
        m[x] = in[x];
    }
  }
}

template <typename T>
void StoreMean(const double* sum, int32_t n, void* base, int32_t pitch, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; ++y) {
    T* out = reinterpret_cast<T*>(static_cast<uint8_t*>(base) + static_cast<ptrdiff_t>(y) * pitch);
    const double* acc = sum + static_cast<size_t>(y) * static_cast<size_t>(w);
    for (int32_t x = 0; x < w; ++x) {
      const double v = acc[x] / n;
      out[x] = std::is_floating_point_v<T> ? static_cast<T>(v) : static_cast<T>(std::floor(v + 0.5));
    }
  }
}

// One time point of a hyperstack as the run measures it: the chosen channel's
// slice, or the maximum or mean over its slices, at the pages' depth. The
// handle, or -1 with *reason set.
int32_t LoadTimePoint(const FrameSource& src, const VantorLoadLimits& limits, std::string* reason) {
  const int32_t c = src.channel - 1;
  if (src.channel > src.channels || src.z > src.slices) {  // a file followed after the check
    const bool channel = src.channel > src.channels;
    *reason = (channel ? "channel " + std::to_string(src.channel) : "z " + std::to_string(src.z)) +
              ": the file has " + std::to_string(channel ? src.channels : src.slices) +
              (channel ? " channels" : " slices");
    return -1;
  }
  if (src.slices == 1 || src.z >= 1) {
    const int32_t h = mrReadFileLimited(src.path.c_str(), PageOf(src, c, std::max(0, src.z - 1)),
                                        &limits);
    if (h < 1) *reason = mrLastLoadError();
    return h;
  }
  const bool mean = src.z == kSequenceZMean;
  RectOwner result;
  std::vector<double> sum;
  int32_t w = 0, h = 0, depth = 0, pitch = 0;
  void* base = nullptr;
  for (int32_t z = 0; z < src.slices; ++z) {
    RectOwner page(mrReadFileLimited(src.path.c_str(), PageOf(src, c, z), &limits));
    if (page.get() < 1) {
      page.release();
      *reason = mrLastLoadError();
      return -1;
    }
    int32_t pw = 0, ph = 0, pp = 0;
    void* pb = nullptr;
    const int32_t pd = mrGetExtendedInfo(page.get(), &pw, &ph, &pp, &pb);
    if (z == 0) {
      w = pw, h = ph, depth = pd, pitch = pp, base = pb;
      if (depth != 8 && depth != 16 && depth != 32 && depth != 64) {
        *reason = std::to_string(depth) + "-bit pages cannot be projected over z";
        return -1;
      }
      if (mean) sum.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0.0);
      result = std::move(page);
    } else if (pw != w || ph != h || pd != depth) {
      *reason = "slice " + std::to_string(z + 1) + " differs from slice 1 in size or depth";
      return -1;
    }
    const void* from = z == 0 ? base : pb;
    switch (depth) {
      case 8: Accumulate<uint8_t>(from, pitch, w, h, mean, z == 0, sum.data(), base); break;
      case 16: Accumulate<uint16_t>(from, pitch, w, h, mean, z == 0, sum.data(), base); break;
      case 32: Accumulate<int32_t>(from, pitch, w, h, mean, z == 0, sum.data(), base); break;
      default: Accumulate<double>(from, pitch, w, h, mean, z == 0, sum.data(), base); break;
    }
  }
  if (mean) {
    switch (depth) {
      case 8: StoreMean<uint8_t>(sum.data(), src.slices, base, pitch, w, h); break;
      case 16: StoreMean<uint16_t>(sum.data(), src.slices, base, pitch, w, h); break;
      case 32: StoreMean<int32_t>(sum.data(), src.slices, base, pitch, w, h); break;
      default: StoreMean<double>(sum.data(), src.slices, base, pitch, w, h); break;
    }
  }
  return result.release();
}

}  // namespace

int32_t AppendFileFrames(const std::string& path, const std::string& name, bool outOfOrder,
                         std::vector<FrameSource>* out) {
  mrClearLastError();
  const int32_t pages = mrPageCount(path.c_str());
  if (pages < 1 && mrLastErrorKind() == VANTOR_ERROR_MEMORY) return -1;
  if (pages <= 1) {
    out->push_back({path, name, 0, outOfOrder});
    return 0;
  }
  VantorStackAxes axes{};
  mrClearLastError();
  if (mrStackAxes(path.c_str(), &axes) < 0) {
    if (mrLastErrorKind() == VANTOR_ERROR_MEMORY || mrLastErrorKind() == VANTOR_ERROR_FORMAT)
      return -1;
    axes = VantorStackAxes{};  // unreadable now: the pages, as the loads will tell
  }
  if (axes.kind == VANTOR_STACK_PLAIN || axes.pages != pages) {
    for (int32_t page = 1; page <= pages; ++page)
      out->push_back({path, name + "[" + std::to_string(page) + "]", page, outOfOrder});
    return 0;
  }
  // A file of slices only: they are the time points (a time-lapse saved as a z-stack).
  if (axes.times == 1 && axes.slices > 1) {
    axes.times = axes.slices;
    axes.strideT = axes.strideZ;
    axes.slices = 1;
  }
  for (int32_t t = 0; t < axes.times; ++t) {
    FrameSource f{path, name + "[t=" + std::to_string(t + 1) + "]", 1 + t * axes.strideT,
                  outOfOrder};
    f.timePoint = t + 1;
    f.channels = axes.channels;
    f.slices = axes.slices;
    f.strideC = axes.strideC;
    f.strideZ = axes.strideZ;
    out->push_back(std::move(f));
  }
  return 0;
}

int32_t MakeGrey(int32_t source, GreyRange* range, RectOwner* grey) {
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(source, &w, &h);
  if (depth == 8) {
    grey->reset(mrCopyAs(source));
    if (!*grey) return grey->release(), -1;
    return 0;
  }
  return ToGrey(source, depth, w, h, range, grey) < 0 ? -1 : 0;
}

int32_t LayoutBytes(int32_t layout) {
  switch (layout) {
    case kSequenceU8: return 1;
    case kSequenceU16: return 2;
    case kSequenceF32: return 4;
    case kSequenceF64: return 8;
    case kSequenceRgb8: return 3;
    case kSequenceRgb16: return 6;
    default: return 0;
  }
}

int32_t LayoutDepth(int32_t layout) {
  switch (layout) {
    case kSequenceU8: return 8;
    case kSequenceU16: return 16;
    case kSequenceF32:
    case kSequenceF64: return 64;
    case kSequenceRgb8: return 24;
    case kSequenceRgb16: return 48;
    default: return 0;
  }
}

uint64_t WorkingBytesPerPixel(int32_t method) {
  // Grey 1 and, as measured on 9-megapixel frames (peak resident memory per
  // frame held, reference frames included), the search's pyramid 2 and the
  // precise method's float frame, pyramid and reference images 8.
  switch (method) {
    case kDriftClassic: return 1;
    case kDriftPrecise: return 9;
    default: return 3;
  }
}

int32_t LoadFrame(const FrameSource& src, bool keepOriginal, const VantorLoadLimits& limits,
                  GreyRange* range, LoadedFrame* out, std::string* reason) {
  RectOwner source;
  if (src.data != nullptr) {
    source.reset(CopyMemory(src));
    if (!source) {
      source.release();
      *reason = "out of memory";
      return -1;
    }
  } else if (src.timePoint >= 1) {
    source.reset(LoadTimePoint(src, limits, reason));
    if (source.get() < 1) {
      source.release();
      return MemoryShort() ? -1 : 0;
    }
  } else {
    source.reset(mrReadFileLimited(src.path.c_str(), src.page, &limits));
    if (source.get() < 1) {
      source.release();
      *reason = mrLastLoadError();
      return MemoryShort() ? -1 : 0;
    }
  }
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(source.get(), &w, &h);
  if (depth == 8) {
    out->grey = std::move(source);
    return 1;
  }
  RectOwner grey;
  const int32_t converted = ToGrey(source.get(), depth, w, h, range, &grey);
  if (converted < 0) {
    // Comparing the zeros of a failed conversion would give a meaningless row.
    if (MemoryShort() || !grey) {
      *reason = "out of memory";
      return -1;
    }
    *reason = std::to_string(depth) + "-bit pixels cannot be converted to grey";
    return 0;
  }
  out->grey = std::move(grey);
  if (keepOriginal) out->original = std::move(source);
  return 1;
}

}  // namespace vantor::seq
