#include "timestamp_mapper.h"

#include <gtest/gtest.h>

namespace kelmora {
namespace {

TEST(TimestampMapperTest, UnstartedTimelineMapsEverythingToMinusOne) {
  TimestampMapper mapper;
  EXPECT_FALSE(mapper.HasStart());
  EXPECT_EQ(mapper.Map(0), -1);
  EXPECT_EQ(mapper.Map(123456), -1);
  mapper.SkipPause(3000);
  EXPECT_EQ(mapper.Map(5000), -1);
}

TEST(TimestampMapperTest, FirstTimestampIsTheStart) {
  TimestampMapper mapper;
  mapper.SetStart(5000);
  EXPECT_TRUE(mapper.HasStart());
  EXPECT_EQ(mapper.Map(5000), 0);
  EXPECT_EQ(mapper.Map(5040), 40);
}

TEST(TimestampMapperTest, PausesAreTakenOut) {
  TimestampMapper mapper;
  mapper.SetStart(5000);
  mapper.SkipPause(3000);
  EXPECT_EQ(mapper.Map(9040), 1040);
  mapper.SkipPause(1000);
  EXPECT_EQ(mapper.Map(9040), 40);
}

TEST(TimestampMapperTest, ReplacedTrackContinuesAtOffsetAndResetForgetsAll) {
  TimestampMapper mapper;
  mapper.SetStart(100);
  mapper.SkipPause(50);
  mapper.Reset();
  EXPECT_EQ(mapper.Map(100), -1);

  // A new track whose clock has another origin, joining at 7300 ms.
  mapper.SetStart(987654);
  mapper.set_offset(7300);
  EXPECT_EQ(mapper.Map(987654), 7300);
  EXPECT_EQ(mapper.Map(987687), 7333);
}

}  // namespace
}  // namespace kelmora
