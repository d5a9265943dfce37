#include "app/plot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "app/test_support.h"

namespace {

using vantor::app::DriftPlotSvg;
using vantor::app::PlotPoint;
using vantor::app::WriteDriftPlot;

size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// rsvg-convert must turn the drawing into a PNG without complaint.
void ExpectRenders(const std::string& svg, const std::string& name) {
  vantor::test::TempDir dir;
  const std::string in = (dir / (name + ".svg")).string(), out = (dir / (name + ".png")).string();
  vantor::test::WriteFileBytes(in, svg);
  const std::string cmd = "rsvg-convert -o '" + out + "' '" + in + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  const std::string png = vantor::test::ReadFileBytes(out);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  if (const char* keep = std::getenv("VANTOR_KEEP_PLOTS")) {
    vantor::test::WriteFileBytes(std::string(keep) + "/" + name + ".svg", svg);
    vantor::test::WriteFileBytes(std::string(keep) + "/" + name + ".png", png);
  }
}

// No number that is not one, and none in exponent form.
void ExpectClean(const std::string& svg) {
  for (const char* bad : {"nan", "inf", "NaN", "Inf"}) EXPECT_EQ(svg.find(bad), std::string::npos) << bad;
  EXPECT_FALSE(std::regex_search(svg, std::regex("[=\" ,>][-0-9.]*[0-9][eE][-+]?[0-9]")));
}

TEST(DriftPlot, OneFrameAndAllEqualValues) {
  const std::string one = DriftPlotSvg({{1, 0.0, 0.0, PlotPoint::kOk}}, "one");
  ExpectClean(one);
  EXPECT_EQ(Count(one, "<circle cx="), 2u);  // a lone frame is a dot per component
  EXPECT_EQ(Count(one, "<polyline"), 0u);
  ExpectRenders(one, "one");

  std::vector<PlotPoint> flat;
  for (int f = 1; f <= 5; ++f) flat.push_back({f, 2.5, 2.5, PlotPoint::kOk});
  const std::string svg = DriftPlotSvg(flat, "flat");
  ExpectClean(svg);
  EXPECT_NE(svg.find(">2</text>"), std::string::npos);  // ticks around the value
  EXPECT_NE(svg.find(">3</text>"), std::string::npos);
  ExpectRenders(svg, "flat");
}

TEST(DriftPlot, QualitiesMarkersAndBrokenLines) {
  std::vector<PlotPoint> pts;
  for (int f = 1; f <= 40; ++f) {
    PlotPoint p{f, 0.3 * f, -0.1 * f + std::sin(f * 0.3), PlotPoint::kOk};
    if (f == 7) p.quality = PlotPoint::kRescued;
    if (f == 12 || f == 13) p.quality = PlotPoint::kSuspect;
    if (f == 20 || f == 31) p.quality = PlotPoint::kFailed;
    pts.push_back(p);
  }
  pts.push_back({41, std::nan(""), 1.0, PlotPoint::kOk});  // not a number: failed too
  const std::string svg = DriftPlotSvg(pts, "Drift of <a&b> \xff\"quoted\"");
  ExpectClean(svg);
  EXPECT_EQ(Count(svg, "<polyline"), 6u);  // each line broken at frames 20 and 31
  EXPECT_EQ(Count(svg, "xlink:href=\"#failed\""), 3u + 1u);  // + the legend's
  EXPECT_EQ(Count(svg, "xlink:href=\"#suspect\""), 2u * 2u + 1u);
  EXPECT_EQ(Count(svg, "xlink:href=\"#rescued\""), 2u + 1u);
  EXPECT_NE(svg.find("failed (3)"), std::string::npos);
  EXPECT_NE(svg.find("Drift of &lt;a&amp;b&gt; ?&quot;quoted&quot;"), std::string::npos);
  EXPECT_NE(svg.find(">frame</text>"), std::string::npos);
  EXPECT_NE(svg.find("(pixels)"), std::string::npos);
  ExpectRenders(svg, "qualities");
}

TEST(DriftPlot, MotionAddsTheAngleAndScalePanels) {
  std::vector<PlotPoint> pts;
  for (int f = 1; f <= 6; ++f)
    pts.push_back({f, 0.5 * f, -0.25 * f, f == 4 ? PlotPoint::kFailed : PlotPoint::kOk,
                   -1.5 * (f - 1), 1.0 + 0.002 * (f - 1)});
  const std::string plain = DriftPlotSvg(pts, "turning");
  const std::string svg = DriftPlotSvg(pts, "turning", true);
  ExpectClean(svg);
  EXPECT_EQ(plain.find("angle"), std::string::npos);
  EXPECT_NE(svg.find(">angle (degrees)</text>"), std::string::npos);
  EXPECT_NE(svg.find(">scale</text>"), std::string::npos);
  EXPECT_NE(svg.find(">-8</text>"), std::string::npos);  // the angle's axis reaches -7.5
  EXPECT_NE(svg.find(">1.01</text>"), std::string::npos);  // the scale's 1.01
  EXPECT_EQ(Count(svg, ">frame</text>"), 3u);
  // Each value's line breaks at the failed frame as DX and DY do.
  EXPECT_EQ(Count(svg, "<polyline"), 2 * Count(plain, "<polyline"));
  EXPECT_NE(svg.find("height=\"1052\""), std::string::npos);
  ExpectRenders(svg, "motion");
}

TEST(DriftPlot, TenThousandFramesAndWriting) {
  std::vector<PlotPoint> pts;
  for (int f = 0; f < 10000; ++f) {
    const auto q = f % 997 == 5 ? PlotPoint::kFailed : f % 501 == 3 ? PlotPoint::kSuspect
                                                                     : PlotPoint::kOk;
    pts.push_back({f, 0.002 * f + std::sin(f * 0.01), -0.001 * f, q});
  }
  const std::string svg = DriftPlotSvg(pts, "long");
  ExpectClean(svg);
  EXPECT_NE(svg.find(">10000</text>"), std::string::npos);  // x ticks 0, 2000, ... 10000
  EXPECT_NE(svg.find(">2000</text>"), std::string::npos);
  ExpectRenders(svg, "long");

  vantor::test::TempDir dir;
  std::string error;
  EXPECT_TRUE(WriteDriftPlot((dir / "p.svg").string(), pts, "long", &error)) << error;
  EXPECT_EQ(vantor::test::ReadFileBytes(dir / "p.svg"), svg);
  EXPECT_FALSE(WriteDriftPlot((dir / "missing" / "p.svg").string(), pts, "long", &error));
  EXPECT_NE(error.find("missing/p.svg: cannot write the plot: No such file"), std::string::npos)
      << error;
  // No frames at all still gives a drawing.
  ExpectRenders(DriftPlotSvg({}, ""), "empty");
}

}  // namespace
