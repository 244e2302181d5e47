// Resources belong to instances: made for one, or handed to one by the
// page; an instance's destruction releases them and aborts their calls.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/cpp/video_encoder.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppplatform/instance_resources.h"
#include "ppplatform/video_encoder_hooks.h"
#include "support/child_session.h"

namespace {

using kelmora_test::ChildResult;
using kelmora_test::ChildSession;
using kelmora_test::RunInChild;

// What the instances of the child saw; the child checks it.
struct Seen {
  std::vector<int32_t> results;
  pp::Var last_message;
};
Seen seen;

// On "encoder": makes an encoder, initialises it and asks for a buffer,
// which stays pending (nothing is encoded). Keeps every other message. Its
// destructor says goodbye to the page.
class HoldingInstance : public pp::Instance {
 public:
  explicit HoldingInstance(PP_Instance instance) : pp::Instance(instance), factory_(this) {}
  ~HoldingInstance() override { PostMessage(pp::Var("goodbye")); }

  void HandleMessage(const pp::Var& message) override {
    seen.last_message = message;
    if (message != pp::Var("encoder")) return;
    encoder_ = pp::VideoEncoder(this);
    encoder_.Initialize(PP_VIDEOFRAME_FORMAT_I420, pp::Size(32, 32), PP_VIDEOPROFILE_VP8_ANY,
                        0, PP_HARDWAREACCELERATION_NONE,
                        factory_.NewCallback(&HoldingInstance::OnInitialized));
  }

  pp::VideoEncoder encoder_;

 private:
  // Outlives the instance, so that the abort is seen after the destruction.
  struct Observer {
    void OnBuffer(int32_t result, PP_BitstreamBuffer) { seen.results.push_back(result); }
  };

  void OnInitialized(int32_t result) {
    seen.results.push_back(result);
    static Observer observer;
    static auto* observer_factory = new pp::CompletionCallbackFactory<Observer>(&observer);
    encoder_.GetBitstreamBuffer(observer_factory->NewCallbackWithOutput(&Observer::OnBuffer));
  }

  pp::CompletionCallbackFactory<HoldingInstance> factory_;
};

class HoldingModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new HoldingInstance(instance);
  }
};

void UseHoldingModule(ChildSession& session) {
  seen = Seen();
  std::string error;
  if (!session.browser().UseModule(new HoldingModule(), &error)) session.Fail(error);
}

TEST(InstanceResourcesTest, DestructionAbortsTheCallsOfItsResourcesAndReleasesThem) {
  ChildResult result = RunInChild([](ChildSession& session) {
    UseHoldingModule(session);
    PP_Instance instance = session.Create();
    session.browser().PostToInstance(instance, pp::Var("encoder"));
    if (!session.browser().RunUntil([] { return seen.results.size() == 1; }, 10000))
      session.Fail("not initialised");
    if (seen.results[0] != PP_OK) session.Fail("initialise failed");
    session.browser().RunUntilIdle();
    if (pp::platform::GetVideoEncoderRecord().waiting_requests != 1)
      session.Fail("no buffer request waits");
    // The module keeps a reference past the instance.
    auto* holder = static_cast<HoldingInstance*>(pp::Module::Get()->InstanceForPPInstance(instance));
    pp::VideoEncoder kept = holder->encoder_;
    if (pp::platform::InstanceResources::Count(instance) != 1) session.Fail("not the instance's");

    session.browser().DestroyInstance(instance);
    if (!session.browser().RunUntil([] { return seen.results.size() == 2; }, 10000))
      session.Fail("the buffer request never completed");
    if (seen.results[1] != PP_ERROR_ABORTED) session.Fail("not aborted");
    if (pp::platform::GetVideoEncoderRecord().waiting_requests != 0)
      session.Fail("the request still waits");
    if (pp::platform::GetVideoEncoderRecord().open_encoders != 0)
      session.Fail("the encoder is still open");
    if (pp::platform::InstanceResources::Count(instance) != 0) session.Fail("still counted");
    if (kept.GetFramesRequired() != PP_ERROR_BADRESOURCE)
      session.Fail("the kept reference still leads to the encoder");
  });
  EXPECT_TRUE(result.Succeeded()) << result.Describe();
  // Posted by the destructor, to a page that is gone.
  EXPECT_TRUE(result.Messages().empty()) << result.Describe();
}

TEST(InstanceResourcesTest, AResourceInAPageMessageBecomesTheReceivingInstances) {
  ChildResult result = RunInChild([](ChildSession& session) {
    UseHoldingModule(session);
    PP_Instance first = session.Create();
    PP_Instance second = session.Create();
    pp::VideoEncoder encoder{pp::InstanceHandle(first)};
    // Deep inside the message.
    pp::VarArray list;
    list.Set(0, pp::Var(1));
    list.Set(1, pp::Var(encoder));
    pp::VarDictionary message;
    message.Set(pp::Var("tracks"), list);
    session.browser().PostToInstance(second, message);
    session.browser().RunUntilIdle();
    if (seen.last_message.is_undefined()) session.Fail("not delivered");
    if (encoder.object()->instance() != second) session.Fail("not the second's");
    if (pp::platform::InstanceResources::Count(first) != 0) session.Fail("still the first's");

    session.browser().DestroyInstance(first);
    if (encoder.object()->is_released()) session.Fail("released with the first");
    session.browser().DestroyInstance(second);
    if (!encoder.object()->is_released()) session.Fail("kept after the second");
  });
  EXPECT_TRUE(result.Succeeded()) << result.Describe();
}

}  // namespace
