#include "video_encoder_rule.h"

#include <gtest/gtest.h>

#include "edit_instance.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "support/child_session.h"
#include "video_encoder_instance.h"

namespace kelmora {
namespace {

class VideoEncoderRuleTest : public ::testing::Test {
 protected:
  // The record only names the instance; no call reaches it here.
  pp::Instance* instance() { return &instance_; }
  void TearDown() override {
    UnregisterPPEncoders(instance());
    SetChromeVersion(0);
  }
  pp::Instance instance_{41};
};

TEST_F(VideoEncoderRuleTest, NeverWithoutRegisteredEncoders) {
  ASSERT_FALSE(ArePPEncodersRegistered());
  for (int version : {0, 45, 46, 47, 48, 60}) {
    SetChromeVersion(version);
    EXPECT_FALSE(CanUseBrowserEncoder(640, 480)) << version;
    EXPECT_FALSE(CanUseBrowserEncoder(1, 1)) << version;
  }
}

TEST_F(VideoEncoderRuleTest, SizeLimitsFollowTheBrowserVersion) {
  RegisterPPEncoders(instance());
  ASSERT_TRUE(ArePPEncodersRegistered());

  // No version known, or 45 and before: never.
  EXPECT_FALSE(CanUseBrowserEncoder(640, 480));
  SetChromeVersion(45);
  EXPECT_FALSE(CanUseBrowserEncoder(640, 480));

  SetChromeVersion(46);
  EXPECT_TRUE(CanUseBrowserEncoder(1920, 1088));
  EXPECT_TRUE(CanUseBrowserEncoder(640, 480));
  SetChromeVersion(47);
  EXPECT_FALSE(CanUseBrowserEncoder(1920, 1089));
  EXPECT_FALSE(CanUseBrowserEncoder(1921, 1080));
  EXPECT_FALSE(CanUseBrowserEncoder(2560, 1440));

  SetChromeVersion(48);
  EXPECT_TRUE(CanUseBrowserEncoder(4096, 2176));
  EXPECT_TRUE(CanUseBrowserEncoder(2560, 1440));
  EXPECT_FALSE(CanUseBrowserEncoder(4096, 2177));
  EXPECT_FALSE(CanUseBrowserEncoder(4097, 2176));

  // A later, lower version narrows again; a higher one lifts the limit.
  SetChromeVersion(46);
  EXPECT_FALSE(CanUseBrowserEncoder(2560, 1440));
  SetChromeVersion(60);
  EXPECT_TRUE(CanUseBrowserEncoder(2560, 1440));
}

TEST_F(VideoEncoderRuleTest, RecordFollowsTheLastInstance) {
  pp::Instance other_instance(42);
  pp::Instance* other = &other_instance;
  RegisterPPEncoders(instance());
  RegisterPPEncoders(other);
  // Destroying an instance that is not the recorded one changes nothing.
  UnregisterPPEncoders(instance());
  EXPECT_TRUE(ArePPEncodersRegistered());
  UnregisterPPEncoders(other);
  EXPECT_FALSE(ArePPEncodersRegistered());
  SetChromeVersion(48);
  EXPECT_FALSE(CanUseBrowserEncoder(640, 480));
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

template <typename InstanceClass>
class InstanceModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new InstanceClass(instance);
  }
};

// Both instances make the browser encoders usable from their start-up on,
// the last one started is the one recorded, and a destroyed one is forgotten.
template <typename InstanceClass>
void CheckInstanceRegistration() {
  std::string persistent = kelmora_test::MakeTempDir();
  std::string temporary = kelmora_test::MakeTempDir();
  kelmora_test::ChildResult result =
      kelmora_test::RunInChild([&](kelmora_test::ChildSession& session) {
        session.browser().SetFileSystems(persistent, temporary);
        std::string error;
        if (!session.browser().UseModule(new InstanceModule<InstanceClass>(), &error)) {
          session.Fail(error);
        }
        if (ArePPEncodersRegistered()) session.Fail("registered before any instance");
        PP_Instance first = session.Create();
        PP_Instance second = session.Create();
        if (!ArePPEncodersRegistered()) session.Fail("not registered after start-up");
        session.browser().DestroyInstance(first);
        if (!ArePPEncodersRegistered()) session.Fail("an older instance's end cleared the record");
        session.browser().DestroyInstance(second);
        if (ArePPEncodersRegistered()) session.Fail("still registered after the instance is gone");
      });
  EXPECT_TRUE(result.Succeeded()) << result.Describe();
}

TEST(InstanceRegistrationTest, EditInstanceRegistersAndIsForgotten) {
  CheckInstanceRegistration<EditInstance>();
}

TEST(InstanceRegistrationTest, VideoEncoderInstanceRegistersAndIsForgotten) {
  CheckInstanceRegistration<VideoEncoderInstance>();
}

}  // namespace
}  // namespace kelmora
