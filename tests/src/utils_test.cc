#include "utils.h"

#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavutil/error.h>
}

namespace kelmora {
namespace {

TEST(LogAvErrorTest, WritesTextLibraryTextAndCode) {
  testing::internal::CaptureStderr();
  LogAvError("flush video failed", AVERROR(EINVAL));
  std::string line = testing::internal::GetCapturedStderr();
  EXPECT_EQ(line, "flush video failed : " + AvErrorString(AVERROR(EINVAL)) +
                      " (" + std::to_string(AVERROR(EINVAL)) + ")\n");
  EXPECT_EQ(AvErrorString(AVERROR(EINVAL)), "Invalid argument");
}

TEST(LogAvErrorTest, UnknownCodeGetsGenericText) {
  // Not one of the library's own codes: its generic text, whole, naming
  // the code.
  char library_text[AV_ERROR_MAX_STRING_SIZE * 4];
  av_strerror(-123456, library_text, sizeof(library_text));
  std::string text = AvErrorString(-123456);
  EXPECT_EQ(text, library_text);
  EXPECT_NE(text.find("123456"), std::string::npos) << text;
  EXPECT_NE(text, AvErrorString(AVERROR(EINVAL)));
}

// Packed 4:2:0 picture whose bytes encode their plane and position.
std::vector<uint8_t> MakePicture(int w, int h, uint8_t fill) {
  return std::vector<uint8_t>(w * h * 3 / 2, fill);
}

TEST(CopyRectYuvTest, TwoByTwoBoxCopiesFourLumaAndOneOfEachChroma) {
  std::vector<uint8_t> src = MakePicture(4, 4, 0);
  // Y of the top-left 2x2 box, then the first U and V samples.
  src[0] = 10; src[1] = 11; src[4] = 12; src[5] = 13;
  src[16] = 20;      // U(0,0)
  src[16 + 4] = 30;  // V(0,0)
  std::vector<uint8_t> dst = MakePicture(4, 4, 0xEE);
  utils::CopyRectYuv(src.data(), 4, 4, dst.data(), 4, 4, 0, 0, 2, 2, 2, 2);
  EXPECT_EQ(dst[2 * 4 + 2], 10);
  EXPECT_EQ(dst[2 * 4 + 3], 11);
  EXPECT_EQ(dst[3 * 4 + 2], 12);
  EXPECT_EQ(dst[3 * 4 + 3], 13);
  EXPECT_EQ(dst[16 + 1 * 2 + 1], 20);
  EXPECT_EQ(dst[20 + 1 * 2 + 1], 30);
  int changed = 0;
  for (uint8_t b : dst) changed += b != 0xEE;
  EXPECT_EQ(changed, 6);
}

TEST(CopyRectYuvDeathTest, OddBoxLeftOrBoxPastEdgeStops) {
  std::vector<uint8_t> src = MakePicture(4, 4, 0);
  std::vector<uint8_t> dst = MakePicture(4, 4, 0);
  EXPECT_DEATH(utils::CopyRectYuv(src.data(), 4, 4, dst.data(), 4, 4, 1, 0, 2,
                                  2, 0, 0),
               "box_left % 2 == 0");
  EXPECT_DEATH(utils::CopyRectYuv(src.data(), 4, 4, dst.data(), 4, 4, 2, 0, 4,
                                  2, 0, 0),
               "box_left \\+ box_width <= src_width");
}

}  // namespace
}  // namespace kelmora
