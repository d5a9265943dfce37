// The description parsers behind mrStackAxes on texts tifffile does not
// write: namespace prefixes, other plane orders and units, ImageJ's escapes.
#include <gtest/gtest.h>

#include <string>

#include "memrect/stack_axes_internal.h"

namespace vantor {
namespace {

VantorStackAxes Pages(int32_t pages) {
  VantorStackAxes a{};
  a.pages = pages;
  a.width = 8;
  a.height = 6;
  return a;
}

TEST(StackAxes, OmeWithPrefixOrderAndUnits) {
  VantorStackAxes a = Pages(12);
  std::string why;
  ASSERT_TRUE(ParseOmeAxes(
      "<ome:OME xmlns:ome='x'><ome:Image><ome:Pixels DimensionOrder='XYZTC' SizeX='8' "
      "SizeY='6' SizeC='2' SizeZ='3' SizeT='2' PhysicalSizeX='0.5' PhysicalSizeXUnit='nm' "
      "TimeIncrement='250' TimeIncrementUnit='ms'/></ome:Image></ome:OME>",
      "f.tif", &a, &why));
  EXPECT_EQ(a.kind, VANTOR_STACK_OME);
  EXPECT_EQ(a.strideZ, 1);
  EXPECT_EQ(a.strideT, 3);
  EXPECT_EQ(a.strideC, 6);
  EXPECT_STREQ(a.unit, "nm");
  EXPECT_DOUBLE_EQ(a.frameInterval, 0.25);
  // A UUID naming the file itself is no set; its size must still match.
  a = Pages(12);
  EXPECT_FALSE(ParseOmeAxes("<OME><Pixels DimensionOrder='XYCZT' SizeX='9' SizeY='6' SizeC='2' "
                            "SizeZ='3' SizeT='2'><UUID FileName='f.tif'/></Pixels></OME>",
                            "f.tif", &a, &why));
  EXPECT_TRUE(why.empty());
}

TEST(StackAxes, ImageJUnitsAndCounts) {
  VantorStackAxes a = Pages(6);
  ASSERT_TRUE(ParseImageJAxes("ImageJ=1.54f\nimages=6\nchannels=3\nframes=2\nunit=\\u00B5m\n"
                              "finterval=0.5\n", &a));
  EXPECT_EQ(a.channels, 3);
  EXPECT_EQ(a.times, 2);
  EXPECT_EQ(a.strideT, 3);
  EXPECT_STREQ(a.unit, "\xC2\xB5m");
  a = Pages(6);
  EXPECT_FALSE(ParseImageJAxes("ImageJ=1.54f\nimages=6\nchannels=3\nframes=x\n", &a));
  EXPECT_FALSE(ParseImageJAxes("ImageJ=1.54f\nimages=7\nchannels=3\nframes=2\n", &a));
}

}  // namespace
}  // namespace vantor
