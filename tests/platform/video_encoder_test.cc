// The browser's video encoder stand-in, called on the main thread as the
// browser-backed encoders call it, and how its calls complete: required,
// optional and blocking callbacks, aborts, frames handed back.

#include "ppapi/cpp/video_encoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "av_holders.h"
#include "ppapi/c/pp_errors.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppapi/utility/threading/simple_thread.h"
#include "ppplatform/browser.h"
#include "ppplatform/instance_resources.h"
#include "ppplatform/message_loop_impl.h"
#include "ppplatform/video_encoder_hooks.h"
#include "ppplatform/video_encoder_impl.h"
#include "support/bounded_child.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pp {
namespace {

// Collects every completion with its result and output.
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
  CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>> Profiles() {
    return factory_.NewCallbackWithOutput(&Client::OnProfiles);
  }

  void OnDone(int32_t result) { results.push_back(result); }
  void OnFrame(int32_t result, VideoFrame frame) {
    results.push_back(result);
    frames.push_back(frame);
  }
  void OnBuffer(int32_t result, PP_BitstreamBuffer buffer) {
    results.push_back(result);
    if (result == PP_OK) {
      buffers.push_back(buffer);
      data.emplace_back(static_cast<uint8_t*>(buffer.buffer),
                        static_cast<uint8_t*>(buffer.buffer) + buffer.size);
    }
  }
  void OnProfiles(int32_t result, const std::vector<PP_VideoProfileDescription>& list) {
    results.push_back(result);
    profiles = list;
  }

  // Runs the main loop until |count| completions arrived in all.
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
  std::vector<PP_BitstreamBuffer> buffers;
  std::vector<std::vector<uint8_t>> data;
  std::vector<PP_VideoProfileDescription> profiles;

 private:
  CompletionCallbackFactory<Client, ThreadSafeThreadTraits> factory_;
};

class VideoEncoderTest : public ::testing::Test {
 protected:
  // Another suite of this program may have made the runner's thread the
  // main thread already.
  static void SetUpTestSuite() {
    platform::BecomeMainThread();
    ASSERT_TRUE(platform::MessageLoopImpl::Current() && platform::MessageLoopImpl::Current()->is_main());
  }
  void SetUp() override { platform::ResetVideoEncoderHooks(); }

  // Initialises |encoder| for VP8 at |size|, waits for it and forgets the
  // completion.
  void Start(VideoEncoder* encoder, Client* client, const Size& size) {
    size_t before = client->results.size();
    ASSERT_EQ(encoder->Initialize(PP_VIDEOFRAME_FORMAT_I420, size, PP_VIDEOPROFILE_VP8_ANY,
                                  0, PP_HARDWAREACCELERATION_NONE, client->Done()),
              PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client->WaitFor(before + 1));
    ASSERT_EQ(client->results.back(), PP_OK);
    client->results.clear();
  }
};

TEST_F(VideoEncoderTest, EncodesFramesIntoDecodableVp8WithKeyframesOnRequest) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  EXPECT_EQ(encoder.GetFramesRequired(), PP_ERROR_FAILED);  // not started
  Start(&encoder, &client, Size(64, 48));
  EXPECT_GT(encoder.GetFramesRequired(), 0);
  Size coded;
  ASSERT_EQ(encoder.GetFrameCodedSize(&coded), PP_OK);
  EXPECT_EQ(coded, Size(64, 48));

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_VP8);
  kelmora::CodecContextPtr decoder(avcodec_alloc_context3(codec));
  ASSERT_EQ(avcodec_open2(decoder.get(), codec, nullptr), 0);
  kelmora::PacketPtr packet(av_packet_alloc());
  kelmora::FramePtr picture(av_frame_alloc());
  int decoded = 0;
  for (int i = 0; i < 4; ++i) {
    client.results.clear();
    // Completions come later, on this thread's loop, never inside the call.
    ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
    EXPECT_TRUE(client.results.empty());
    ASSERT_TRUE(client.WaitFor(1));
    ASSERT_EQ(client.results[0], PP_OK);
    VideoFrame frame = client.frames.back();
    ASSERT_GE(frame.GetDataBufferSize(), 64u * 48u * 3 / 2);
    memset(frame.GetDataBuffer(), 40 * i, frame.GetDataBufferSize());
    ASSERT_EQ(encoder.Encode(frame, i == 2, client.Done()), PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client.WaitFor(2));
    ASSERT_EQ(client.results[1], PP_OK);
    ASSERT_EQ(encoder.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client.WaitFor(3));
    ASSERT_EQ(client.results[2], PP_OK);
    EXPECT_EQ(PP_ToBool(client.buffers.back().key_frame), i == 0 || i == 2) << i;

    av_new_packet(packet.get(), static_cast<int>(client.data.back().size()));
    memcpy(packet->data, client.data.back().data(), client.data.back().size());
    ASSERT_EQ(avcodec_send_packet(decoder.get(), packet.get()), 0);
    av_packet_unref(packet.get());
    while (avcodec_receive_frame(decoder.get(), picture.get()) == 0) {
      EXPECT_EQ(picture->width, 64);
      ++decoded;
    }
    encoder.RecycleBitstreamBuffer(client.buffers.back());
  }
  EXPECT_EQ(decoded, 4);

  platform::VideoEncoderRecord record = platform::GetVideoEncoderRecord();
  EXPECT_EQ(record.frames_encoded, 4);
  EXPECT_EQ(record.keyframes_requested, 1);
  EXPECT_EQ(record.buffers_recycled, 4);
  EXPECT_EQ(record.open_encoders, 1);
  encoder.Close();
  EXPECT_EQ(platform::GetVideoEncoderRecord().open_encoders, 0);
}

// The engine starts on the browser's thread: the caller's loop goes on
// while a slow start (a minute, on purpose) is in hand, and a close in the
// meantime aborts the start without waiting for it.
TEST_F(VideoEncoderTest, StartsOffTheCallersThreadAndACloseDoesNotWaitForIt) {
  platform::SetVideoEncoderStartDelay(60000);
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  ASSERT_EQ(encoder.Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(64, 48), PP_VIDEOPROFILE_VP8_ANY,
                               0, PP_HARDWAREACCELERATION_NONE, client.Done()),
            PP_OK_COMPLETIONPENDING);
  bool ran = false;
  platform::MessageLoopImpl::Current()->PostWork(
      platform::MakeFunctionCallback([&](int32_t) { ran = true; }), 0, PP_OK);
  ASSERT_TRUE(platform::RunMainLoopUntil([&] { return ran; }, 10000));
  EXPECT_TRUE(client.results.empty());
  EXPECT_EQ(encoder.GetFramesRequired(), PP_ERROR_FAILED);
  encoder.Close();
  ASSERT_TRUE(client.WaitFor(1));
  EXPECT_EQ(client.results, std::vector<int32_t>{PP_ERROR_ABORTED});
  EXPECT_EQ(platform::GetVideoEncoderRecord().open_encoders, 0);
}

TEST_F(VideoEncoderTest, CloseAbortsPendingAndQueuedCompletions) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client, Size(32, 32));
  // Nothing encoded yet: the buffer request waits.
  ASSERT_EQ(encoder.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  // A second request fails, through its callback.
  EXPECT_EQ(encoder.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  // Completed by the encoder but not yet run on the loop.
  ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  encoder.Close();
  ASSERT_TRUE(client.WaitFor(3));
  EXPECT_EQ(client.results, (std::vector<int32_t>{PP_ERROR_INPROGRESS, PP_ERROR_ABORTED,
                                                  PP_ERROR_ABORTED}));
  EXPECT_TRUE(client.frames.back().is_null());
  EXPECT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(4));
  EXPECT_EQ(client.results.back(), PP_ERROR_FAILED);
}

TEST_F(VideoEncoderTest, FrameRequestWaitsForAFreeFrame) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client, Size(32, 32));
  const int held = encoder.GetFramesRequired();
  for (int i = 0; i < held; ++i) {
    ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client.WaitFor(i + 1));
  }
  ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
  platform::RunMainLoopUntilIdle();
  EXPECT_EQ(client.results.size(), static_cast<size_t>(held));
  // Handing one back serves the waiting request.
  ASSERT_EQ(encoder.Encode(client.frames[0], false, client.Done()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(held + 2));
  EXPECT_EQ(client.frames.size(), static_cast<size_t>(held + 1));
  EXPECT_FALSE(client.frames.back().is_null());
  // A frame the client does not hold (any more) is refused.
  ASSERT_EQ(encoder.Encode(client.frames[1], false, client.Done()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(held + 3));
  client.results.clear();
  ASSERT_EQ(encoder.Encode(client.frames[1], false, client.Done()), PP_OK_COMPLETIONPENDING);
  ASSERT_EQ(encoder.Encode(VideoFrame(), false, client.Done()), PP_OK_COMPLETIONPENDING);
  ASSERT_TRUE(client.WaitFor(2));
  EXPECT_EQ(client.results,
            (std::vector<int32_t>{PP_ERROR_BADRESOURCE, PP_ERROR_BADRESOURCE}));
  encoder.Close();
}

TEST_F(VideoEncoderTest, HooksChangeCodedSizeAndFailOneStep) {
  platform::SetVideoEncoderCodedSize(PP_MakeSize(64, 64));
  platform::FailVideoEncoderStep(platform::VideoEncoderStep::kEncode, PP_ERROR_FAILED, 2);
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client, Size(64, 48));
  Size coded;
  ASSERT_EQ(encoder.GetFrameCodedSize(&coded), PP_OK);
  EXPECT_EQ(coded, Size(64, 64));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(encoder.GetVideoFrame(client.Frame()), PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client.WaitFor(2 * i + 1));
    Size frame_size;
    ASSERT_TRUE(client.frames.back().GetSize(&frame_size));
    EXPECT_EQ(frame_size, Size(64, 64));
    ASSERT_EQ(encoder.Encode(client.frames.back(), false, client.Done()),
              PP_OK_COMPLETIONPENDING);
    ASSERT_TRUE(client.WaitFor(2 * i + 2));
  }
  // Only the second encode failed.
  EXPECT_EQ(client.results[1], PP_OK);
  EXPECT_EQ(client.results[3], PP_ERROR_FAILED);
  EXPECT_EQ(client.results[5], PP_OK);
  EXPECT_EQ(platform::GetVideoEncoderRecord().frames_encoded, 2);
  encoder.Close();
}

// The completion rules, as a browser applies them to every resource.

TEST_F(VideoEncoderTest, RequiredCallbacksGetImmediateFailuresLater) {
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
  Start(&ready, &client, Size(32, 32));
  EXPECT_EQ(ready.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(ready.GetBitstreamBuffer(client.Buffer()), PP_OK_COMPLETIONPENDING);
  EXPECT_EQ(client.Settled(), std::vector<int32_t>{PP_ERROR_INPROGRESS});
  ready.Close();
}

TEST_F(VideoEncoderTest, OptionalCallbacksGetImmediateFailuresAsTheResult) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client, Size(32, 32));
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

TEST_F(VideoEncoderTest, BlockingCallbacksAreRefusedOnTheMainThread) {
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

TEST_F(VideoEncoderTest, BlockingCallsWaitForTheirResultOffTheMainThread) {
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

TEST_F(VideoEncoderTest, ReleasingTheLastReferenceAbortsAlsoScheduledResults) {
  auto encoder = std::make_unique<VideoEncoder>(InstanceHandle(1));
  Client client;
  Start(encoder.get(), &client, Size(32, 32));
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

TEST_F(VideoEncoderTest, AFrameHandedBackIsGoneForTheModule) {
  VideoEncoder encoder(InstanceHandle(1));
  Client client;
  Start(&encoder, &client, Size(32, 32));
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


// Callbacks that carry a reference to the encoder along, as a module's
// callbacks may: the last of them to go may take the module's last
// reference with it. Completions run on any thread.
class EncoderKeeper {
 public:
  EncoderKeeper() : factory_(this) {}

  CompletionCallbackWithOutput<PP_BitstreamBuffer> Buffer(const VideoEncoder& encoder) {
    return factory_.NewCallbackWithOutput(&EncoderKeeper::OnBuffer, encoder);
  }
  CompletionCallbackWithOutput<VideoFrame> Frame(const VideoEncoder& encoder) {
    return factory_.NewCallbackWithOutput(&EncoderKeeper::OnFrame, encoder);
  }
  void OnBuffer(int32_t result, PP_BitstreamBuffer, VideoEncoder) { Note(result); }
  void OnFrame(int32_t result, VideoFrame, VideoEncoder) { Note(result); }

  std::vector<int32_t> results() {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
  }
  // Waits a bounded time for |count| completions in all.
  bool WaitFor(size_t count) {
    for (int i = 0; i < 1000 && results().size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return results().size() >= count;
  }

 private:
  void Note(int32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back(result);
  }

  std::mutex mutex_;
  std::vector<int32_t> results_;
  CompletionCallbackFactory<EncoderKeeper, ThreadSafeThreadTraits> factory_;
};

// A started encoder of |instance|, its completion forgotten; null when it
// does not start. For forked children, where gtest's assertions do not
// reach the parent.
std::unique_ptr<VideoEncoder> StartedInChild(PP_Instance instance, Client* client) {
  auto encoder = std::make_unique<VideoEncoder>(InstanceHandle(instance));
  if (encoder->Initialize(PP_VIDEOFRAME_FORMAT_I420, Size(32, 32), PP_VIDEOPROFILE_VP8_ANY, 0,
                          PP_HARDWAREACCELERATION_NONE,
                          client->Done()) != PP_OK_COMPLETIONPENDING ||
      !client->WaitFor(1) || client->results.back() != PP_OK) {
    return nullptr;
  }
  client->results.clear();
  return encoder;
}

// A started encoder of |instance| whose only module reference is the
// callback of a waiting request (for a frame, all of them lent, or for a
// buffer, none encoded), asked on a thread that has ended since: its abort
// finds the caller's loop gone, and the callback goes at once.
std::shared_ptr<platform::VideoEncoderImpl> LeaveRequestHoldingEncoder(
    PP_Instance instance, bool frame, EncoderKeeper* keeper) {
  Client client;
  auto encoder = StartedInChild(instance, &client);
  if (!encoder) return nullptr;
  for (int i = 0; frame && i < encoder->GetFramesRequired(); ++i) {
    if (encoder->GetVideoFrame(client.Frame()) != PP_OK_COMPLETIONPENDING ||
        !client.WaitFor(i + 1)) {
      return nullptr;
    }
  }
  auto impl = encoder->object_as<platform::VideoEncoderImpl>();
  SimpleThread caller{InstanceHandle(instance)};
  if (!caller.Start()) return nullptr;
  std::promise<int32_t> asked;
  caller.message_loop().PostWork(platform::MakeFunctionCallback([&](int32_t) {
    VideoEncoder copy(*encoder);
    asked.set_value(frame ? copy.GetVideoFrame(keeper->Frame(copy))
                          : copy.GetBitstreamBuffer(keeper->Buffer(copy)));
  }));
  int32_t result = asked.get_future().get();
  caller.Join();
  encoder.reset();
  if (result != PP_OK_COMPLETIONPENDING || impl->module_references() != 1) return nullptr;
  return impl;
}

// Closed, or left by its destroyed instance, the encoder aborts the
// request, and the callback goes with it, taking the last reference: the
// release that follows must not wait for the encoder's own lock, and the
// encoder must not keep the callback, which would keep it alive for good.
TEST_F(VideoEncoderTest, ACallbackHoldingTheLastReferenceGoesWithItsAbortedRequest) {
  EXPECT_TRUE(kelmora_test::EndsInChild([] {
    const int open = platform::GetVideoEncoderRecord().open_encoders;
    EncoderKeeper keeper;
    auto closed = LeaveRequestHoldingEncoder(5151, false, &keeper);
    if (!closed) return 2;
    closed->Close();
    if (closed->module_references() != 0) return 3;

    auto orphaned = LeaveRequestHoldingEncoder(5152, true, &keeper);
    if (!orphaned) return 4;
    platform::InstanceResources::Release(5152);
    if (orphaned->module_references() != 0) return 5;
    if (platform::GetVideoEncoderRecord().open_encoders != open) return 6;
    // The callers' loops were gone: nothing ran.
    return keeper.results().empty() ? 0 : 7;
  }, "the encoder's release waited on its own lock"));
}

// A loop that ran a callback holding the module's last reference to the
// encoder lets go of it before taking its own lock again: the encoder's
// release posts the abort of its waiting request to that same loop. Here
// the main loop, below a thread's own.
TEST_F(VideoEncoderTest, TheMainLoopLetsGoOfARunCallbackBeforeItsOwnLock) {
  EXPECT_TRUE(kelmora_test::EndsInChild([] {
    EncoderKeeper keeper;
    Client client;
    auto encoder = StartedInChild(1, &client);
    if (!encoder) return 2;
    // Waits: nothing was encoded.
    if (encoder->GetBitstreamBuffer(client.Buffer()) != PP_OK_COMPLETIONPENDING) return 3;
    // Refused, since one waits: the failure is on its way to this loop with
    // the reference.
    if (encoder->GetBitstreamBuffer(keeper.Buffer(*encoder)) != PP_OK_COMPLETIONPENDING) {
      return 4;
    }
    auto impl = encoder->object_as<platform::VideoEncoderImpl>();
    encoder.reset();
    if (impl->module_references() != 1) return 5;
    if (!client.WaitFor(1) || client.results[0] != PP_ERROR_ABORTED) return 6;
    if (keeper.results() != std::vector<int32_t>{PP_ERROR_INPROGRESS}) return 7;
    return impl->module_references() == 0 ? 0 : 8;
  }, "the main loop's release of a callback waited on the loop's own lock"));
}

TEST_F(VideoEncoderTest, AThreadsLoopLetsGoOfARunCallbackBeforeItsOwnLock) {
  EXPECT_TRUE(kelmora_test::EndsInChild([] {
    EncoderKeeper keeper;
    Client client;
    auto encoder = StartedInChild(1, &client);
    if (!encoder) return 2;
    auto impl = encoder->object_as<platform::VideoEncoderImpl>();
    SimpleThread worker{InstanceHandle(1)};
    if (!worker.Start()) return 3;
    std::promise<bool> asked;
    std::promise<void> released;
    std::future<void> may_go = released.get_future();
    worker.message_loop().PostWork(platform::MakeFunctionCallback([&](int32_t) {
      VideoEncoder copy(*encoder);
      const bool waits =
          copy.GetBitstreamBuffer(keeper.Buffer(VideoEncoder())) == PP_OK_COMPLETIONPENDING;
      const bool refused =
          copy.GetBitstreamBuffer(keeper.Buffer(copy)) == PP_OK_COMPLETIONPENDING;
      asked.set_value(waits && refused);
      // The refusal runs after this item, once the main thread's reference
      // is gone.
      may_go.wait();
    }));
    if (!asked.get_future().get()) return 4;
    encoder.reset();
    released.set_value();
    if (!keeper.WaitFor(2)) return 5;
    if (keeper.results() != std::vector<int32_t>{PP_ERROR_INPROGRESS, PP_ERROR_ABORTED}) {
      return 6;
    }
    return impl->module_references() == 0 ? 0 : 7;
  }, "a thread's loop's release of a callback waited on the loop's own lock"));
}

}  // namespace
}  // namespace pp
