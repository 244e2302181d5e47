// How calls complete, as the browser delivers completions, tried on the
// video encoder: required, optional and blocking callbacks, aborts, and
// frames that went back to their owner.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/video_encoder.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppplatform/browser.h"
#include "ppplatform/video_encoder_hooks.h"

namespace pp {
namespace {

class Client {
 public:
  Client() : factory_(this) {}

  CompletionCallback Done() { return factory_.NewCallback(&Client::OnDone); }
  CompletionCallback Optional() { return factory_.NewOptionalCallback(&Client::OnDone); }
  CompletionCallbackWithOutput<VideoFrame> Frame() {
    return factory_.NewCallbackWithOutput(&Client::OnFrame);
  }
  CompletionCallbackWithOutput<PP_BitstreamBuffer> Buffer() {
    return factory_.NewCallbackWithOutput(&Client::OnBuffer);
  }

  void OnDone(int32_t result) { results.push_back(result); }
  void OnFrame(int32_t result, VideoFrame frame) {
    results.push_back(result);
    frames.push_back(frame);
  }
  void OnBuffer(int32_t result, PP_BitstreamBuffer buffer) { results.push_back(result); }

  bool WaitFor(size_t count) {
    return platform::RunMainLoopUntil([&] { return results.size() >= count; }, 10000);
  }
  // What arrived once everything due has run.
  std::vector<int32_t> Settled() {
    platform::RunMainLoopUntilIdle();
    return results;
  }

  std::vector<int32_t> results;
  std::vector<VideoFrame> frames;

 private:
  CompletionCallbackFactory<Client, ThreadSafeThreadTraits> factory_;
};

class CompletionRulesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { platform::BecomeMainThread(); }
  void SetUp() override { platform::ResetVideoEncoderHooks(); }

  static void Start(VideoEncoder* encoder, Client* client) {
    size_t before = client->results.size();
    ASSERT_EQ(encoder->Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(32, 32),
                                  PP_VIDEOPROFILE_VP8_ANY, 0,
                                  PP_HARDWAREACCELERATION_NONE, client->Done()),
              PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client->WaitFor(before + 1));
    ASSERT_EQ(client->results.back(), PP_OK);
    client->results.clear();
  }
};

TEST_F(CompletionRulesTest, RequiredCallbacksGetImmediateFailuresLater) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  // Wrong state, a null resource, a bad argument: the call is pending and
  // the failure arrives on the loop, in call order.
  EXPECT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(VideoEncoder().Encode(VideoFrame(), false, client.Done()),
            PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(encoder.Initialize(PP_VIDEOFRAME_FORMAT_BGRA, Size(32, 32),
                               PP_VIDEOPROFILE_VP8_ANY, 0, PP_HARDWAREACCELERATION_NONE,
                               client.Done()),
            PP_OK_COMPLETIONPENDING);
  EXPECT_TRUE(client.results.empty());
  EXPECT_EQ(client.Settled(), (std::vector<int32_t>{PP_ERROR_FAILED, PP_ERROR_BADRESOURCE,
                                                    PP_ERROR_BADARGUMENT}));
  EXPECT_TRUE(client.frames.back().is_null());

  // A request while one is in progress.
  VideoEncoder ready(InstanceHandle(1));
  Start(&ready, &client);
  EXPECT_EQ(ready.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(ready.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(client.Settled(), std::vector<int32_t>{PP_ERROR_INPROGRESS});
  ready.Close();
}

TEST_F(CompletionRulesTest, OptionalCallbacksGetImmediateFailuresAsTheResult) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client);
  EXPECT_EQ(encoder.Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(32, 32),
                               PP_VIDEOPROFILE_VP8_ANY, 0, PP_HARDWAREACCELERATION_NONE,
                               client.Optional()),
            PP_ERROR_FAILED);
  EXPECT_EQ(encoder.Encode(VideoFrame(), false, client.Optional()), PP_ERROR_BADRESOURCE);
  EXPECT_TRUE(client.Settled().empty());
  // Work that takes its time still completes through the callback.
  ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(1));
  EXPECT_EQ(encoder.Encode(client.frames[0], false, client.Optional()),
            PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(client.Settled(), (std::vector<int32_t>{PP_OK, PP_OK}));
  encoder.Close();
}

TEST_F(CompletionRulesTest, BlockingCallbacksAreRefusedOnTheMainThread) {
  VideoEncoder encoder(InstanceHandle(1));
  EXPECT_EQ(encoder.Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(32, 32),
                               PP_VIDEOPROFILE_VP8_ANY, 0, PP_HARDWAREACCELERATION_NONE,
                               CompletionCallback()),
            PP_ERROR_BLOCKS_MAIN_THREAD);
  // Refused before it reached the encoder.
  EXPECT_EQ(platform::GetVideoEncoderRecord().initialize_calls, 0);
  VideoFrame frame;
  EXPECT_EQ(encoder.GetVideoFrame(CompletionCallbackWithOutput<VideoFrame>(&frame)),
            PP_ERROR_BLOCKS_MAIN_THREAD);
}

TEST_F(CompletionRulesTest, BlockingCallsWaitForTheirResultOffTheMainThread) {
  VideoEncoder encoder(InstanceHandle(1));
  // A thread without a loop: blocking calls need none.
  std::thread worker([&] {
    EXPECT_EQ(encoder.Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(32, 32),
                                 PP_VIDEOPROFILE_VP8_ANY, 0, PP_HARDWAREACCELERATION_NONE,
                                 CompletionCallback()),
              PP_OK);
    EXPECT_GT(encoder.GetFramesRequired(), 0);
    VideoFrame frame;
    ASSERT_EQ(encoder.GetVideoFrame(CompletionCallbackWithOutput<VideoFrame>(&frame)), PP_OK);
    ASSERT_NE(frame.GetDataBuffer(), nullptr);
    memset(frame.GetDataBuffer(), 128, frame.GetDataBufferSize());
    EXPECT_EQ(encoder.Encode(frame, true, CompletionCallback()), PP_OK);
    PP_BitstreamBuffer buffer = {};
    ASSERT_EQ(encoder.GetBitstreamBuffer(
                  CompletionCallbackWithOutput<PP_BitstreamBuffer>(&buffer)),
              PP_OK);
    EXPECT_GT(buffer.size, 0u);
    EXPECT_TRUE(PP_ToBool(buffer.key_frame));
    encoder.RecycleBitstreamBuffer(buffer);
    // Immediate failures are the result.
    EXPECT_EQ(encoder.Encode(frame, false, CompletionCallback()), PP_ERROR_BADRESOURCE);
    // Nothing more to give: waits until the main thread closes.
    EXPECT_EQ(encoder.GetBitstreamBuffer(
                  CompletionCallbackWithOutput<PP_BitstreamBuffer>(&buffer)),
              PP_ERROR_ABORTED);
  });
  ASSERT_TRUE(platform::RunMainLoopUntil(
      [] { return platform::GetVideoEncoderRecord().waiting_requests == 1; }, 10000));
  encoder.Close();
  worker.join();
  EXPECT_EQ(platform::GetVideoEncoderRecord().frames_encoded, 1);
  EXPECT_EQ(platform::GetVideoEncoderRecord().waiting_requests, 0);
}

TEST_F(CompletionRulesTest, ReleasingTheLastReferenceAbortsAlsoScheduledResults) {
  auto encoder = std::make_unique<VideoEncoder>(InstanceHandle(1));
  Client client;
  Start(encoder.get(), &client);
  // Another reference going changes nothing.
  { VideoEncoder copy(*encoder); }
  EXPECT_EQ(platform::GetVideoEncoderRecord().open_encoders, 1);
  ASSERT_EQ(encoder->GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  // Served at once: its result is already on the loop.
  ASSERT_EQ(encoder->GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  encoder.reset();
  EXPECT_EQ(client.Settled(), (std::vector<int32_t>{PP_ERROR_ABORTED, PP_ERROR_ABORTED}));
  EXPECT_TRUE(client.frames.back().is_null());
  EXPECT_EQ(platform::GetVideoEncoderRecord().open_encoders, 0);
}

TEST_F(CompletionRulesTest, AFrameHandedBackIsGoneForTheModule) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client);
  ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(1));
  VideoFrame frame = client.frames[0];
  uint8_t* data = static_cast<uint8_t*>(frame.GetDataBuffer());
  ASSERT_NE(data, nullptr);
  const uint32_t size = frame.GetDataBufferSize();
  memset(data, 200, size);
  ASSERT_EQ(encoder.Encode(frame, false, client.Done()), PP_OK_COMPLETIONPENDING);
  // Gone at once, not only when the encode completes.
  EXPECT_EQ(frame.GetDataBuffer(), nullptr);
  EXPECT_EQ(frame.GetDataBufferSize(), size);
#if defined(__SANITIZE_ADDRESS__)
  // A pointer kept from before is caught.
  EXPECT_DEATH(data[size / 2] = 1, "use-after-free");
#endif
  ASSERT_TRUE(client.WaitFor(2));
  // Lent again, the module sees a buffer again.
  ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(3));
  EXPECT_NE(client.frames.back().GetDataBuffer(), nullptr);
  encoder.Close();
  // Frames still lent go back with the close.
  EXPECT_EQ(client.frames.back().GetDataBuffer(), nullptr);
}

}  // namespace
}  // namespace pp
