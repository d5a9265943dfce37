// Morphological reconstruction. Binary masks: 4-connected growth on 32-pixel
// words, a cycle of row passes (a whole run of the mask grows at once inside a
// word, carried on to the next word) and column passes (carried down or up a
// whole column) until a cycle changes nothing. Grey images: raster passes
// with 8-connectivity that alternate down and up and revisit only rows next
// to a change.
#include "improc/recon.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "improc/recon_internal.h"

namespace vantor {
namespace {

// ---- Binary masks ----------------------------------------------------------

// One row as 32-bit words: pixel x in bit x % 32 of word x / 32. The last
// word holds last_bytes bytes of the row and last_bits pixels.
struct Words {
  int64_t count;
  int last_bytes;
  uint32_t last_mask;
};

Words MakeWords(int32_t width) {
  Words w;
  w.count = (static_cast<int64_t>(width) + 31) / 32;
  const int64_t row_bytes = (static_cast<int64_t>(width) + 7) / 8;
  w.last_bytes = static_cast<int>(row_bytes - 4 * (w.count - 1));
  const int bits = static_cast<int>(width - 32 * (w.count - 1));
  w.last_mask = bits == 32 ? ~0u : (1u << bits) - 1u;
  return w;
}

inline uint32_t Load(const uint8_t* row, int64_t i, const Words& w) {
  uint32_t v = 0;
  if (i + 1 < w.count) {
    std::memcpy(&v, row + 4 * i, 4);
    return v;
  }
  std::memcpy(&v, row + 4 * i, static_cast<size_t>(w.last_bytes));
  return v & w.last_mask;
}

// Stores word i; in the last word only the pixels inside the width.
inline void Store(uint8_t* row, int64_t i, uint32_t v, const Words& w) {
  if (i + 1 < w.count) {
    std::memcpy(row + 4 * i, &v, 4);
    return;
  }
  uint32_t old = 0;
  std::memcpy(&old, row + 4 * i, static_cast<size_t>(w.last_bytes));
  v = (old & ~w.last_mask) | (v & w.last_mask);
  std::memcpy(row + 4 * i, &v, static_cast<size_t>(w.last_bytes));
}

// The runs of m that hold a bit of seeds (seeds inside m): upward by the
// carry of an addition, downward by a doubling fill.
inline uint32_t FillRuns(uint32_t m, uint32_t seeds) {
  const uint32_t up = (((m + seeds) ^ m) & m) | seeds;
  uint32_t g = seeds, p = m;
  g |= p & (g >> 1);
  p &= p >> 1;
  g |= p & (g >> 2);
  p &= p >> 2;
  g |= p & (g >> 4);
  p &= p >> 4;
  g |= p & (g >> 8);
  p &= p >> 8;
  g |= p & (g >> 16);
  return up | g;
}

// Per row: whether it is known to be closed under growth along the row
// (a row pass changed nothing and the row has not changed since), and along
// the columns (checked against its neighbours, which have not changed since).
// Passes skip rows that are closed; the flags never change the result.
struct BinaryImage {
  const uint8_t* mask;
  ptrdiff_t mask_pitch;
  uint8_t* marker;
  ptrdiff_t marker_pitch;
  int32_t height;
  Words words;
  uint8_t* row_closed;     // height bytes, or null: never skip
  uint8_t* column_closed;  // height + 2 bytes, entry y + 1 for row y
  const uint8_t* MaskRow(int64_t y) const { return mask + static_cast<ptrdiff_t>(y) * mask_pitch; }
  uint8_t* MarkerRow(int64_t y) const { return marker + static_cast<ptrdiff_t>(y) * marker_pitch; }
  // Row y changed: its own row closure and its neighbours' column closure
  // no longer hold.
  void Changed(int64_t y) const {
    if (row_closed == nullptr) return;
    row_closed[y] = 0;
    column_closed[y] = 0;
    column_closed[y + 2] = 0;
  }
};

// Grows word i from its seeds and the adjoining pixels of the words before
// and after (bit 31 of before, bit 0 of after); true when it changed.
inline bool GrowWord(const BinaryImage& im, const uint8_t* mrow, uint8_t* krow, int64_t i,
                     uint32_t before, uint32_t after, uint32_t* out) {
  const uint32_t m = Load(mrow, i, im.words);
  const uint32_t k = Load(krow, i, im.words);
  *out = k;
  if (k == m) return false;
  const uint32_t seeds = (k | (before >> 31) | (after << 31)) & m;
  if (seeds == 0) return false;
  const uint32_t grown = FillRuns(m, seeds);
  if (grown == k) return false;
  Store(krow, i, grown, im.words);
  *out = grown;
  return true;
}

bool RowPass(const BinaryImage& im, bool left_to_right) {
  bool changed = false;
  const int64_t n = im.words.count;
  for (int64_t y = 0; y < im.height; ++y) {
    if (im.row_closed != nullptr && im.row_closed[y]) continue;
    const uint8_t* mrow = im.MaskRow(y);
    uint8_t* krow = im.MarkerRow(y);
    bool row_changed = false;
    uint32_t carry = 0;  // the adjoining pixel of the word updated just before
    uint32_t word;
    if (left_to_right) {
      for (int64_t i = 0; i < n; ++i) {
        const uint32_t after = i + 1 < n ? Load(krow, i + 1, im.words) & 1u : 0u;
        row_changed |= GrowWord(im, mrow, krow, i, carry, after, &word);
        carry = word & 0x80000000u;
      }
    } else {
      for (int64_t i = n - 1; i >= 0; --i) {
        const uint32_t before = i > 0 ? Load(krow, i - 1, im.words) : 0u;
        row_changed |= GrowWord(im, mrow, krow, i, before, carry, &word);
        carry = word & 1u;
      }
    }
    if (row_changed) {
      im.Changed(y);
      changed = true;
    } else if (im.row_closed != nullptr) {
      // No word grew even with its neighbours' pixels: closed both ways.
      im.row_closed[y] = 1;
    }
  }
  return changed;
}

// Every row's word becomes mask AND (marker OR the updated row before OR the
// row after), rows walked downwards or upwards.
bool ColumnPass(const BinaryImage& im, bool downwards) {
  bool changed = false;
  const int64_t n = im.words.count, h = im.height, full = n - 1;
  for (int64_t s = 0; s < h; ++s) {
    const int64_t y = downwards ? s : h - 1 - s;
    if (im.row_closed != nullptr) {
      if (im.column_closed[y + 1]) continue;
      im.column_closed[y + 1] = 1;
    }
    const int64_t prev = downwards ? y - 1 : y + 1, next = downwards ? y + 1 : y - 1;
    const uint8_t* mrow = im.MaskRow(y);
    uint8_t* krow = im.MarkerRow(y);
    // A missing neighbour row stands in as the row itself (adds nothing).
    const uint8_t* prow = prev >= 0 && prev < h ? im.MarkerRow(prev) : krow;
    const uint8_t* nrow = next >= 0 && next < h ? im.MarkerRow(next) : krow;
    uint32_t grew = 0;
    for (int64_t i = 0; i < full; ++i) {
      uint32_t k, p, q, m;
      std::memcpy(&k, krow + 4 * i, 4);
      std::memcpy(&p, prow + 4 * i, 4);
      std::memcpy(&q, nrow + 4 * i, 4);
      std::memcpy(&m, mrow + 4 * i, 4);
      const uint32_t g = m & (k | p | q);
      grew |= g & ~k;
      std::memcpy(krow + 4 * i, &g, 4);
    }
    const uint32_t k = Load(krow, full, im.words);
    const uint32_t g = Load(mrow, full, im.words) &
                       (k | Load(prow, full, im.words) | Load(nrow, full, im.words));
    if (g != k) {
      Store(krow, full, g, im.words);
      grew |= g & ~k;
    }
    if (grew != 0) {
      im.Changed(y);
      changed = true;
    }
  }
  return changed;
}

// ---- Grey images -------------------------------------------------------------

// Row flags: bit 0 the row must be visited by a downward pass (its upper
// neighbour changed), bit 1 by an upward pass (its lower neighbour changed).
constexpr uint8_t kDown = 1, kUp = 2;

// out = min(mask, max(marker and the three pixels of the adjacent row around
// each column)), then grown along the row both ways inside the mask.
void GrowRow(const uint8_t* mask, const uint8_t* marker, const uint8_t* adj, int32_t w,
             uint8_t* out) {
  if (adj == nullptr) {
    for (int32_t x = 0; x < w; ++x) out[x] = std::min(mask[x], marker[x]);
  } else {
    out[0] = std::min(mask[0], std::max({marker[0], adj[0], w > 1 ? adj[1] : adj[0]}));
    for (int32_t x = 1; x + 1 < w; ++x) {
      out[x] = std::min(mask[x], std::max(std::max(marker[x], adj[x]), std::max(adj[x - 1], adj[x + 1])));
    }
    if (w > 1) out[w - 1] = std::min(mask[w - 1], std::max({marker[w - 1], adj[w - 1], adj[w - 2]}));
  }
  uint8_t v = 0;
  for (int32_t x = 0; x < w; ++x) {
    v = std::max(out[x], std::min(v, mask[x]));
    out[x] = v;
  }
  v = 0;
  for (int32_t x = w - 1; x >= 0; --x) {
    v = std::max(out[x], std::min(v, mask[x]));
    out[x] = v;
  }
}

// The first step of the iteration, marker = min(mask, 3 x 3 dilation of
// marker), for markers that lie above the mask somewhere: after it the marker
// is nowhere above the mask and the raster passes give the same fixed point.
void FirstDilation(const uint8_t* mask, int32_t w, int32_t h, ptrdiff_t mp, uint8_t* marker,
                   ptrdiff_t kp, uint8_t* above, uint8_t* here) {
  auto row_max = [w](const uint8_t* r, uint8_t* acc, bool first) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t v = r[x];
      if (x > 0) v = std::max(v, r[x - 1]);
      if (x + 1 < w) v = std::max(v, r[x + 1]);
      acc[x] = first ? v : std::max(acc[x], v);
    }
  };
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* k = marker + static_cast<ptrdiff_t>(y) * kp;
    const uint8_t* m = mask + static_cast<ptrdiff_t>(y) * mp;
    // here: row maxima of the original rows y - 1 (kept in above), y, y + 1.
    uint8_t* row_copy = here + w;
    std::memcpy(row_copy, k, static_cast<size_t>(w));
    row_max(row_copy, here, true);
    if (y > 0) row_max(above, here, false);
    if (y + 1 < h) row_max(k + kp, here, false);
    std::memcpy(above, row_copy, static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) k[x] = std::min(m[x], here[x]);
  }
}

bool AboveMask(const uint8_t* mask, int32_t w, int32_t h, ptrdiff_t mp, const uint8_t* marker,
               ptrdiff_t kp) {
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* m = mask + static_cast<ptrdiff_t>(y) * mp;
    const uint8_t* k = marker + static_cast<ptrdiff_t>(y) * kp;
    uint8_t above = 0;
    for (int32_t x = 0; x < w; ++x) above |= static_cast<uint8_t>(k[x] > m[x]);
    if (above) return true;
  }
  return false;
}

}  // namespace

int32_t GreyReconstruct(const uint8_t* mask, int32_t width, int32_t height, ptrdiff_t maskPitch,
                        uint8_t* marker, ptrdiff_t markerPitch) {
  if (width <= 0 || height <= 0) return 2;
  std::vector<uint8_t> flags, row, rows;
  try {
    flags.assign(static_cast<size_t>(height) + 2, 0);
    row.resize(static_cast<size_t>(width));
    rows.resize(3 * static_cast<size_t>(width));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (AboveMask(mask, width, height, maskPitch, marker, markerPitch)) {
    FirstDilation(mask, width, height, maskPitch, marker, markerPitch, rows.data(),
                  rows.data() + width);
  }
  // flags[y + 1] belongs to row y; the two ends stand for the rows outside.
  std::fill(flags.begin() + 1, flags.end() - 1, static_cast<uint8_t>(kDown | kUp));
  auto marker_row = [&](int32_t y) { return marker + static_cast<ptrdiff_t>(y) * markerPitch; };
  int32_t passes = 0;
  for (bool down = true;; down = !down) {
    const uint8_t need = down ? kDown : kUp;
    bool changed = false;
    for (int32_t s = 0; s < height; ++s) {
      const int32_t y = down ? s : height - 1 - s;
      uint8_t& flag = flags[static_cast<size_t>(y) + 1];
      if ((flag & need) == 0) continue;
      flag = static_cast<uint8_t>(flag & ~need);
      const int32_t adj_y = down ? y - 1 : y + 1;
      const uint8_t* adj = adj_y >= 0 && adj_y < height ? marker_row(adj_y) : nullptr;
      uint8_t* k = marker_row(y);
      GrowRow(mask + static_cast<ptrdiff_t>(y) * maskPitch, k, adj, width, row.data());
      if (std::memcmp(row.data(), k, static_cast<size_t>(width)) == 0) continue;
      std::memcpy(k, row.data(), static_cast<size_t>(width));
      changed = true;
      // The row below must look up at this one, the row above down at it.
      flags[static_cast<size_t>(y) + 2] |= kDown;
      flags[static_cast<size_t>(y)] |= kUp;
    }
    ++passes;
    if (passes >= 2 && !changed &&
        std::all_of(flags.begin() + 1, flags.end() - 1, [](uint8_t f) { return f == 0; })) {
      break;
    }
  }
  return passes;
}

}  // namespace vantor

extern "C" void MaskReconMask(const uint8_t* maskPixels, int32_t width, int32_t height,
                              int32_t maskPitch, uint8_t* markerPixels, int32_t markerPitch) {
  if (maskPixels == nullptr || markerPixels == nullptr || width <= 0 || height <= 0) return;
  // Without memory for the row flags every pass visits every row.
  std::vector<uint8_t> flags;
  try {
    flags.assign(2 * static_cast<size_t>(height) + 2, 0);
  } catch (const std::bad_alloc&) {
    flags.clear();
  }
  vantor::BinaryImage im{maskPixels, maskPitch, markerPixels, markerPitch, height,
                         vantor::MakeWords(width),
                         flags.empty() ? nullptr : flags.data(),
                         flags.empty() ? nullptr : flags.data() + height};
  // Restrict the marker to the mask.
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* m = im.MaskRow(y);
    uint8_t* k = im.MarkerRow(y);
    for (int64_t i = 0; i < im.words.count; ++i) {
      const uint32_t kw = vantor::Load(k, i, im.words);
      const uint32_t both = kw & vantor::Load(m, i, im.words);
      if (both != kw) vantor::Store(k, i, both, im.words);
    }
  }
  for (;;) {
    bool changed = vantor::RowPass(im, true);
    changed |= vantor::ColumnPass(im, true);
    changed |= vantor::RowPass(im, false);
    changed |= vantor::ColumnPass(im, false);
    if (!changed) break;
  }
}
