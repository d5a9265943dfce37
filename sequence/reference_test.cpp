// Fixed references: the mean of the first frames takes the first frame's
// noise out of every result, a template gives frame 1 its own displacement,
// and references that cannot be had fail the run with a message saying so.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "generic/errors.h"
#include "sequence/sequence.h"
#include "tools/synthetic_image.h"
#include "tools/temp_folder.h"

namespace {

struct SeqDeleter {
  void operator()(Sequence* s) const { SequenceFree(s); }
};
using SeqPtr = std::unique_ptr<Sequence, SeqDeleter>;

constexpr int kW = 160, kH = 120;

// Frame k's true displacement of the field (rows as memory holds them).
double Tx(int k) { return 0.31 * k; }
double Ty(int k) { return -0.17 * k; }

// 8-bit frames of a blob field drifting by (Tx, Ty), with noise of sigma.
struct Frames {
  std::vector<std::vector<uint8_t>> pixels;
  SeqPtr seq{SequenceCreate()};
  Frames(int count, double sigma, uint32_t seed) {
    const auto blobs = vantor::tools::MakeBlobs(kW, kH, 40, 7);
    for (int k = 0; k < count; ++k) {
      auto v = vantor::tools::RenderValues(blobs, kW, kH, Tx(k), Ty(k));
      vantor::tools::AddNoise(v, sigma, seed + k);
      pixels.push_back(vantor::tools::ToBytes(v));
    }
    for (auto& p : pixels)
      EXPECT_EQ(SequenceAddMemory(seq.get(), p.data(), kW, kH, kW, kSequenceU8, 0), 0);
  }
};

SequenceOptions Options(int32_t mode, int32_t threads) {
  SequenceOptions o;
  SequenceDefaultOptions(&o);
  o.mode = mode;
  o.threads = threads;
  return o;
}

std::vector<SequenceFrame> Results(Sequence* s) {
  std::vector<SequenceFrame> out(static_cast<size_t>(SequenceCount(s)));
  for (int32_t k = 1; k <= SequenceCount(s); ++k) EXPECT_EQ(SequenceResult(s, k, &out[k - 1]), 0);
  return out;
}

// RMS error of dxFirst, dyFirst against the truth over frames 2..n
// (frame k + 1 lies at -(T(k) - T(0)) of the first).
double RmsError(const std::vector<SequenceFrame>& r) {
  double sum = 0;
  for (size_t k = 1; k < r.size(); ++k) {
    const double ex = r[k].dxFirst + (Tx(int(k)) - Tx(0)), ey = r[k].dyFirst + (Ty(int(k)) - Ty(0));
    sum += ex * ex + ey * ey;
  }
  return std::sqrt(sum / double(r.size() - 1));
}

TEST(Reference, TheMeanOfTheFirstFramesBeatsANoisyFirstFrameOnEveryThreadCount) {
  // Noise this strong adds a noise-times-noise error to every pair; against
  // the mean the reference's share of it falls with the frames averaged. (To
  // first order the mean, made on frame 1's grid, keeps frame 1's own noise
  // offset: that part no reference can take out of "from the first".)
  double errFirst = 0, errMean = 0;
  for (uint32_t seed : {500u, 501u, 503u}) {
    Frames f(16, 45.0, seed);
    SequenceOptions first = Options(kSequenceFirst, 2), mean = Options(kSequenceMean, 1);
    mean.meanFrames = 8;
    ASSERT_EQ(SequenceRun(f.seq.get(), &first, nullptr, nullptr), 16) << mrLastError();
    errFirst += RmsError(Results(f.seq.get()));
    ASSERT_EQ(SequenceRun(f.seq.get(), &mean, nullptr, nullptr), 16) << mrLastError();
    const auto b = Results(f.seq.get());
    errMean += RmsError(b);
    // Frame 1 is measured against the mean (near 0, not set to 0); every reference is 0.
    EXPECT_NE(b[0].result.dx, 0.0);
    EXPECT_LT(std::hypot(b[0].dxFirst, b[0].dyFirst), 0.25);  // 0.21 at most (seed 503)
    EXPECT_EQ(b[5].reference, 0);
    if (seed != 500) continue;
    mean.threads = 2;
    ASSERT_EQ(SequenceRun(f.seq.get(), &mean, nullptr, nullptr), 16);
    const auto c = Results(f.seq.get());
    for (size_t k = 0; k < b.size(); ++k) {
      EXPECT_EQ(b[k].result.dx, c[k].result.dx) << k;
      EXPECT_EQ(b[k].result.dy, c[k].result.dy) << k;
    }
  }
  // 0.957 against 1.031 (1.051 before the first frame's blobs, few and faint
  // in this noise, were measured by a model of their spots).
  EXPECT_LT(errMean, 0.95 * errFirst) << errFirst << " " << errMean;
}

TEST(Reference, ATemplateGivesFrameOneItsShiftAndTheOthersTheirs) {
  Frames f(4, 3.0, 900);
  // The template: the field moved by (2.4, -1.3), as caller memory, without
  // noise: its spread holds none of the frames' noise, so that the two are
  // only comparable by their signals.
  const auto blobs = vantor::tools::MakeBlobs(kW, kH, 40, 7);
  const auto tv = vantor::tools::RenderValues(blobs, kW, kH, 2.4, -1.3);
  const auto t = vantor::tools::ToBytes(tv);
  SequenceOptions o = Options(kSequenceTemplate, 2);
  o.templateData = t.data();
  o.templateWidth = kW;
  o.templateHeight = kH;
  o.templateStride = kW;
  o.templateLayout = kSequenceU8;
  ASSERT_EQ(SequenceRun(f.seq.get(), &o, nullptr, nullptr), 4) << mrLastError();
  const auto r = Results(f.seq.get());
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(r[k].dxFirst, 2.4 - Tx(k), 0.05) << k;
    EXPECT_NEAR(r[k].dyFirst, -1.3 - Ty(k), 0.05) << k;
    EXPECT_EQ(r[k].result.quality, kDriftOk);
  }
}

TEST(Reference, ReferencesThatCannotBeHadFailTheRunWithTheirCause) {
  Frames f(5, 2.0, 700);
  SequenceOptions mean = Options(kSequenceMean, 2);
  mean.meanFrames = 0;
  EXPECT_EQ(SequenceRun(f.seq.get(), &mean, nullptr, nullptr), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  mean.meanFrames = 6;
  EXPECT_EQ(SequenceRun(f.seq.get(), &mean, nullptr, nullptr), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_STREQ(mrLastError(), "reference mean:6: the sequence holds 5 frames; give mean:1 to mean:5");

  vantor::test::TempFolder dir;
  const std::string missing = dir / "none.tif";
  SequenceOptions t = Options(kSequenceTemplate, 2);
  t.templatePath = missing.c_str();
  EXPECT_EQ(SequenceRun(f.seq.get(), &t, nullptr, nullptr), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FILE);
  EXPECT_EQ(std::string(mrLastError()).rfind("reference " + missing + ": ", 0), 0u) << mrLastError();

  std::vector<uint8_t> small(100 * 80, 9);
  SequenceOptions m = Options(kSequenceTemplate, 2);
  m.templateData = small.data();
  m.templateWidth = 100;
  m.templateHeight = 80;
  m.templateStride = 100;
  EXPECT_EQ(SequenceRun(f.seq.get(), &m, nullptr, nullptr), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  EXPECT_STREQ(mrLastError(), "reference array: the template is 100 x 80 pixels, the frames 160 x 120");
}

}  // namespace
