// The browser's media-stream tracks, fed directly as a source feeds them
// and called as the recorder calls them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/media_stream_audio_track.h"
#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppapi/utility/threading/simple_thread.h"
#include "ppplatform/browser.h"
#include "ppplatform/instance_resources.h"
#include "ppplatform/media_stream_audio_track_impl.h"
#include "ppplatform/media_stream_hooks.h"
#include "ppplatform/media_stream_video_track_impl.h"
#include "support/bounded_child.h"

namespace pp {
namespace {

using platform::MediaStreamAudioTrackImpl;
using platform::MediaStreamVideoTrackImpl;

// Collects completions with their results and outputs.
class Client {
 public:
  Client() : factory_(this) {}

  CompletionCallback Done() { return factory_.NewCallback(&Client::OnDone); }
  CompletionCallbackWithOutput<VideoFrame> Frame() {
    return factory_.NewCallbackWithOutput(&Client::OnFrame);
  }
  CompletionCallbackWithOutput<AudioBuffer> Buffer() {
    return factory_.NewCallbackWithOutput(&Client::OnBuffer);
  }
  void OnDone(int32_t result) { results.push_back(result); }
  void OnFrame(int32_t result, VideoFrame frame) {
    results.push_back(result);
    if (result == PP_OK) frames.push_back(frame);
  }
  void OnBuffer(int32_t result, AudioBuffer buffer) {
    results.push_back(result);
    if (result == PP_OK) buffers.push_back(buffer);
  }
  bool WaitFor(size_t count) {
    return platform::RunMainLoopUntil([&] { return results.size() >= count; }, 5000);
  }

  std::vector<int32_t> results;
  std::vector<VideoFrame> frames;
  std::vector<AudioBuffer> buffers;

 private:
  CompletionCallbackFactory<Client, ThreadSafeThreadTraits> factory_;
};

// Notes the thread that ran a frame completion.
class ThreadProbe {
 public:
  ThreadProbe() : factory_(this) {}
  CompletionCallbackWithOutput<VideoFrame> Frame() {
    return factory_.NewCallbackWithOutput(&ThreadProbe::OnFrame);
  }
  void OnFrame(int32_t result, VideoFrame) { ran.set_value({result, std::this_thread::get_id()}); }
  std::promise<std::pair<int32_t, std::thread::id>> ran;

 private:
  CompletionCallbackFactory<ThreadProbe, ThreadSafeThreadTraits> factory_;
};

// A source picture: left half dark, right half bright, chroma planes of
// two distinct values so that their order shows.
struct TestPicture {
  TestPicture(int width, int height) : width(width), height(height) {
    y.assign(width * height, 50);
    for (int row = 0; row < height; ++row)
      memset(&y[row * width + width / 2], 200, width - width / 2);
    u.assign((width / 2) * (height / 2), 90);
    v.assign((width / 2) * (height / 2), 170);
  }
  platform::I420Picture picture() const {
    return {{y.data(), u.data(), v.data()}, {width, width / 2, width / 2}, {width, height}};
  }
  int width, height;
  std::vector<uint8_t> y, u, v;
};

class MediaStreamTrackTest : public ::testing::Test {
 protected:
  // Another suite of this program may have made the runner's thread the
  // main thread already.
  static void SetUpTestSuite() { platform::BecomeMainThread(); }
  void SetUp() override {
    platform::ResetMediaStreamHooks();
    impl_ = MediaStreamVideoTrackImpl::Create("camera");
    track_ = MediaStreamVideoTrack(Resource(impl_));
  }
  void Configure(std::vector<int32_t> attributes) {
    attributes.push_back(PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE);
    size_t before = client_.results.size();
    ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.Configure(attributes.data(), client_.Done()));
    ASSERT_TRUE(client_.WaitFor(before + 1));
    ASSERT_EQ(PP_OK, client_.results.back());
  }
  bool Deliver(double time, const TestPicture& picture = TestPicture(64, 48)) {
    return impl_->DeliverFrame(picture.picture(), time);
  }
  platform::MediaStreamTrackRecord Record() {
    platform::MediaStreamTrackRecord record;
    EXPECT_TRUE(platform::GetMediaStreamTrackRecord("camera", &record));
    return record;
  }

  Client client_;
  std::shared_ptr<MediaStreamVideoTrackImpl> impl_;
  MediaStreamVideoTrack track_;
};

TEST_F(MediaStreamTrackTest, FramesAreScaledToTheConfiguredSizeWithPlanesPackedYUV) {
  Configure({PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT, PP_VIDEOFRAME_FORMAT_I420,
             PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH, 32, PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT,
             24});
  int32_t value = 0;
  ASSERT_TRUE(Deliver(12.5));
  EXPECT_EQ(PP_OK, track_.GetAttrib(PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH, &value));
  EXPECT_EQ(32, value);
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(2));
  VideoFrame frame = client_.frames.at(0);
  Size size;
  ASSERT_TRUE(frame.GetSize(&size));
  EXPECT_EQ(Size(32, 24), size);
  EXPECT_EQ(12.5, frame.GetTimestamp());
  ASSERT_EQ(32u * 24 * 3 / 2, frame.GetDataBufferSize());
  const uint8_t* data = static_cast<const uint8_t*>(frame.GetDataBuffer());
  EXPECT_NEAR(50, data[12 * 32 + 4], 3);                      // left half of a middle row
  EXPECT_NEAR(200, data[12 * 32 + 28], 3);                    // right half
  EXPECT_NEAR(90, data[32 * 24 + 16 * 6 + 8], 2);             // U
  EXPECT_NEAR(170, data[32 * 24 + 16 * 12 + 16 * 6 + 8], 2);  // V after U

  // 0 keeps the source's own size; YV12 puts V first.
  ASSERT_EQ(PP_OK, track_.RecycleFrame(frame));
  Configure({PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT, PP_VIDEOFRAME_FORMAT_YV12});
  ASSERT_TRUE(Deliver(13));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(4));
  frame = client_.frames.at(1);
  ASSERT_TRUE(frame.GetSize(&size));
  EXPECT_EQ(Size(64, 48), size);
  data = static_cast<const uint8_t*>(frame.GetDataBuffer());
  EXPECT_EQ(170, data[64 * 48]);
  EXPECT_EQ(90, data[64 * 48 + 32 * 24]);

  // BGRA: four bytes a pixel, opaque, the bright half bright.
  ASSERT_EQ(PP_OK, track_.RecycleFrame(frame));
  Configure({PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT, PP_VIDEOFRAME_FORMAT_BGRA});
  ASSERT_TRUE(Deliver(14));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(6));
  frame = client_.frames.at(2);
  ASSERT_EQ(64u * 48 * 4, frame.GetDataBufferSize());
  data = static_cast<const uint8_t*>(frame.GetDataBuffer());
  const uint8_t* dark = data + (24 * 64 + 8) * 4;
  const uint8_t* bright = data + (24 * 64 + 56) * 4;
  EXPECT_EQ(255, dark[3]);
  EXPECT_LT(dark[1] + 60, bright[1]);
}

TEST_F(MediaStreamTrackTest, NoMoreThanTheBufferedFramesAreOutAndNewFramesAreDropped) {
  Configure({PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES, 2});
  // Nobody takes them: two wait, the rest is dropped, nothing queues up.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(i < 2, Deliver(i));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
    ASSERT_TRUE(client_.WaitFor(i + 2));
  }
  EXPECT_EQ(0, client_.frames[0].GetTimestamp());
  EXPECT_EQ(1, client_.frames[1].GetTimestamp());
  // Both lent: the next frame is dropped and a request waits for a free one.
  EXPECT_FALSE(Deliver(5));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  platform::RunMainLoopUntilIdle();
  EXPECT_EQ(3u, client_.results.size());
  // A recycled frame shows no picture any more; recycling it again fails.
  VideoFrame first = client_.frames[0];
  ASSERT_EQ(PP_OK, track_.RecycleFrame(first));
  EXPECT_EQ(nullptr, first.GetDataBuffer());
  EXPECT_EQ(PP_ERROR_BADRESOURCE, track_.RecycleFrame(first));
  ASSERT_TRUE(Deliver(6));
  ASSERT_TRUE(client_.WaitFor(4));
  EXPECT_EQ(6, client_.frames[2].GetTimestamp());
  platform::MediaStreamTrackRecord record = Record();
  EXPECT_EQ(3, record.delivered);
  EXPECT_EQ(4, record.dropped);
  EXPECT_EQ(2, record.max_lent);
}

// As a browser's track does, the frames the module handed back and let go
// of are filled again; one it still holds is not.
TEST_F(MediaStreamTrackTest, FramesTheModuleLetGoOfAreFilledAgain) {
  Configure({PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES, 2});
  auto take = [&](double time, const TestPicture& picture) {
    EXPECT_TRUE(Deliver(time, picture));
    const size_t before = client_.results.size();
    EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
    EXPECT_TRUE(client_.WaitFor(before + 1));
    return client_.frames.back();
  };
  TestPicture dark(64, 48), bright(64, 48);
  bright.y.assign(bright.y.size(), 222);
  VideoFrame held = take(0, dark);
  const PP_Resource first = held.pp_resource();
  ASSERT_EQ(PP_OK, track_.RecycleFrame(held));
  const PP_Resource second = take(1, dark).pp_resource();
  EXPECT_NE(first, second);
  ASSERT_EQ(PP_OK, track_.RecycleFrame(client_.frames.back()));
  client_.frames.clear();

  held = VideoFrame();
  VideoFrame again = take(2, bright);
  EXPECT_TRUE(again.pp_resource() == first || again.pp_resource() == second);
  EXPECT_EQ(2, again.GetTimestamp());
  ASSERT_NE(nullptr, again.GetDataBuffer());
  EXPECT_EQ(222, static_cast<uint8_t*>(again.GetDataBuffer())[0]);
}

TEST_F(MediaStreamTrackTest, ImmediateFailuresReachRequiredCallbacksLaterAndOptionalOnesAtOnce) {
  Configure({});
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  // A second request, and a Configure while a request is out.
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  const int32_t bad[] = {PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH, -4,
                         PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.Configure(bad, client_.Done()));
  EXPECT_EQ(1u, client_.results.size());  // none ran inside its call
  ASSERT_TRUE(client_.WaitFor(3));
  EXPECT_EQ(PP_ERROR_INPROGRESS, client_.results[1]);
  EXPECT_EQ(PP_ERROR_INPROGRESS, client_.results[2]);

  // A blocking request is refused on the main thread.
  EXPECT_EQ(PP_ERROR_BLOCKS_MAIN_THREAD,
            track_.GetFrame(CompletionCallbackWithOutput<VideoFrame>()));

  CompletionCallbackWithOutput<VideoFrame> optional = client_.Frame();
  optional.set_flags(PP_COMPLETIONCALLBACK_FLAG_OPTIONAL);
  EXPECT_EQ(PP_ERROR_INPROGRESS, track_.GetFrame(optional));

  // Failures the hooks arm arrive the same way.
  ASSERT_TRUE(Deliver(1));
  ASSERT_TRUE(client_.WaitFor(4));
  track_.RecycleFrame(client_.frames.back());
  // A frame on its way still counts as a request in progress.
  ASSERT_TRUE(Deliver(2));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  EXPECT_EQ(PP_ERROR_INPROGRESS, track_.GetFrame(optional));
  ASSERT_TRUE(client_.WaitFor(5));
  track_.RecycleFrame(client_.frames.back());
  client_.results.pop_back();
  platform::FailMediaStreamCall(platform::MediaStreamCall::kVideoGetFrame, PP_ERROR_NOMEMORY);
  platform::FailMediaStreamCall(platform::MediaStreamCall::kVideoConfigure, PP_ERROR_FAILED);
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(5));
  EXPECT_EQ(PP_ERROR_NOMEMORY, client_.results[4]);
  const int32_t none[] = {PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.Configure(none, client_.Done()));
  ASSERT_TRUE(client_.WaitFor(6));
  EXPECT_EQ(PP_ERROR_FAILED, client_.results[5]);
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, track_.Configure(bad, client_.Done()));
  ASSERT_TRUE(client_.WaitFor(7));
  EXPECT_EQ(PP_ERROR_BADARGUMENT, client_.results[6]);
}

TEST_F(MediaStreamTrackTest, EndCloseAndReleaseAbortOrFailWhatIsPending) {
  // The source ends: the waiting request fails, later ones fail too.
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track_.GetFrame(client_.Frame()));
  EXPECT_TRUE(platform::EndMediaStreamTrack("camera"));
  EXPECT_TRUE(track_.HasEnded());
  ASSERT_TRUE(client_.WaitFor(1));
  EXPECT_EQ(PP_ERROR_FAILED, client_.results[0]);

  // Close: a delivery already on its way is aborted, the lent frame goes.
  auto other = MediaStreamVideoTrackImpl::Create("screen");
  MediaStreamVideoTrack screen{Resource(other)};
  TestPicture picture(16, 16);
  ASSERT_TRUE(other->DeliverFrame(picture.picture(), 1));
  ASSERT_TRUE(other->DeliverFrame(picture.picture(), 2));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, screen.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(2));
  VideoFrame held = client_.frames.back();
  ASSERT_NE(nullptr, held.GetDataBuffer());
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, screen.GetFrame(client_.Frame()));
  screen.Close();
  ASSERT_TRUE(client_.WaitFor(3));
  EXPECT_EQ(PP_ERROR_ABORTED, client_.results[2]);
  EXPECT_EQ(nullptr, held.GetDataBuffer());
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, screen.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(4));
  EXPECT_EQ(PP_ERROR_FAILED, client_.results[3]);

  // The module's last reference: its request is aborted, the page's track
  // lives on and can be handed over again.
  auto page = MediaStreamVideoTrackImpl::Create("page");
  {
    MediaStreamVideoTrack module_side{Resource(page)};
    ASSERT_EQ(PP_OK_COMPLETIONPENDING, module_side.GetFrame(client_.Frame()));
  }
  ASSERT_TRUE(client_.WaitFor(5));
  EXPECT_EQ(PP_ERROR_ABORTED, client_.results[4]);
  MediaStreamVideoTrack again{Resource(page)};
  ASSERT_TRUE(page->DeliverFrame(picture.picture(), 3));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, again.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(6));
  EXPECT_EQ(PP_OK, client_.results[5]);

  // The instance it was handed to goes: aborted, and the module's
  // references lead nowhere.
  const PP_Instance instance = 4242;
  platform::InstanceResources::Add(instance, page);
  client_.frames.clear();
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, again.GetFrame(client_.Frame()));
  platform::InstanceResources::Release(instance);
  ASSERT_TRUE(client_.WaitFor(7));
  EXPECT_EQ(PP_ERROR_ABORTED, client_.results[6]);
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, again.GetFrame(client_.Frame()));
  ASSERT_TRUE(client_.WaitFor(8));
  EXPECT_EQ(PP_ERROR_BADRESOURCE, client_.results[7]);
}

TEST_F(MediaStreamTrackTest, CompletionsRunOnTheLoopOfTheCallingThread) {
  SimpleThread worker{InstanceHandle(1)};
  ASSERT_TRUE(worker.Start());
  ThreadProbe probe;
  std::future<std::pair<int32_t, std::thread::id>> ran = probe.ran.get_future();
  std::promise<std::thread::id> caller;
  MediaStreamVideoTrack track = track_;
  int32_t blocking_configure = PP_OK_COMPLETIONPENDING;
  int32_t blocking_get = PP_OK_COMPLETIONPENDING;
  VideoFrame blocking_frame;
  worker.message_loop().PostWork(platform::MakeFunctionCallback([&](int32_t) {
    // Off the main thread a blocking call waits for its result.
    const int32_t none[] = {PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};
    blocking_configure = track.Configure(none, CompletionCallback());
    blocking_get = track.GetFrame(CompletionCallbackWithOutput<VideoFrame>(&blocking_frame));
    track.RecycleFrame(blocking_frame);
    caller.set_value(std::this_thread::get_id());
    track.GetFrame(probe.Frame());
  }));
  // Frames come from a source's thread; the main loop never runs.
  auto impl = impl_;
  std::atomic<bool> done{false};
  std::thread source([impl, &done] {
    TestPicture picture(8, 8);
    for (int i = 0; i < 500 && !done; ++i) {
      impl->DeliverFrame(picture.picture(), i);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::future<std::thread::id> called = caller.get_future();
  bool finished = ran.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  done = true;
  source.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(PP_OK, blocking_configure);
  EXPECT_EQ(PP_OK, blocking_get);
  EXPECT_FALSE(blocking_frame.is_null());
  std::pair<int32_t, std::thread::id> completion = ran.get();
  EXPECT_EQ(PP_OK, completion.first);
  EXPECT_EQ(called.get(), completion.second);
  worker.Join();
}

// A frame request whose callback keeps the only module reference to its
// track, made on a thread whose loop is gone by the time the request ends:
// the callback dies with the request, and with it the track's last
// reference, whose release aborts what the track has in flight.
class TrackKeeper {
 public:
  TrackKeeper() : factory_(this) {}
  CompletionCallbackWithOutput<VideoFrame> Frame(const MediaStreamVideoTrack& track) {
    return factory_.NewCallbackWithOutput(&TrackKeeper::OnFrame, track);
  }
  void OnFrame(int32_t, VideoFrame, MediaStreamVideoTrack) {}

 private:
  CompletionCallbackFactory<TrackKeeper, ThreadSafeThreadTraits> factory_;
};

// Leaves |impl| with a pending request that holds its last module
// reference, asked on a thread that has ended since.
bool LeaveRequestHoldingTrack(const std::shared_ptr<MediaStreamVideoTrackImpl>& impl,
                              TrackKeeper* keeper) {
  SimpleThread caller{InstanceHandle(1)};
  if (!caller.Start()) return false;
  std::promise<int32_t> asked;
  caller.message_loop().PostWork(platform::MakeFunctionCallback([&](int32_t) {
    MediaStreamVideoTrack track{Resource(impl)};
    asked.set_value(track.GetFrame(keeper->Frame(track)));
  }));
  int32_t result = asked.get_future().get();
  caller.Join();
  return result == PP_OK_COMPLETIONPENDING && impl->module_references() == 1;
}

// The track ends, or the instance that held it goes: either way the
// request's callback, and the last reference, go too. Run in a child that
// the parent ends when it hangs.
TEST(MediaStreamTrackReleaseTest, ACallbackHoldingTheLastReferenceEndsWithItsRequest) {
  EXPECT_TRUE(kelmora_test::EndsInChild([] {
    platform::BecomeMainThread();
    TrackKeeper keeper;
    auto ended = MediaStreamVideoTrackImpl::Create("ended under its callback");
    if (!LeaveRequestHoldingTrack(ended, &keeper)) return 2;
    ended->End();
    if (!ended->HasEnded() || ended->module_references() != 0) return 3;

    auto orphaned = MediaStreamVideoTrackImpl::Create("orphaned under its callback");
    const PP_Instance instance = 4343;
    platform::InstanceResources::Add(instance, orphaned);
    if (!LeaveRequestHoldingTrack(orphaned, &keeper)) return 4;
    platform::InstanceResources::Release(instance);
    if (orphaned->module_references() != 0) return 5;
    return 0;
  }, "the track's release waited on its own lock"));
}

TEST(MediaStreamAudioTrackTest, SoundIsCutIntoBuffersOfTheConfiguredDuration) {
  platform::BecomeMainThread();
  auto impl = MediaStreamAudioTrackImpl::Create("microphone");
  MediaStreamAudioTrack track{Resource(impl)};
  Client client;
  const int32_t unsupported[] = {PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_RATE, 48000,
                                 PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.Configure(unsupported, client.Done()));
  const int32_t attributes[] = {PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS, 3,
                                PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION, 20,
                                PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.Configure(attributes, client.Done()));
  ASSERT_TRUE(client.WaitFor(2));
  EXPECT_EQ(PP_ERROR_NOTSUPPORTED, client.results[0]);
  EXPECT_EQ(PP_OK, client.results[1]);

  // 84 ms of stereo in 7 ms pieces counting up: four whole 20 ms buffers,
  // of which three fit, each a seamless run of the count.
  std::vector<int16_t> piece(336 * 2);
  int16_t count = 0;
  for (int i = 0; i < 12; ++i) {
    for (size_t s = 0; s < piece.size(); s += 2) piece[s] = piece[s + 1] = count++;
    impl->DeliverSamples(piece.data(), 336, PP_AUDIOBUFFER_SAMPLERATE_48000, 2, 5.0 + i * 0.007);
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.GetBuffer(client.Buffer()));
    ASSERT_TRUE(client.WaitFor(3 + i));
  }
  ASSERT_EQ(3u, client.buffers.size());
  for (int i = 0; i < 3; ++i) {
    AudioBuffer& buffer = client.buffers[i];
    EXPECT_EQ(PP_AUDIOBUFFER_SAMPLERATE_48000, buffer.GetSampleRate());
    EXPECT_EQ(PP_AUDIOBUFFER_SAMPLESIZE_16_BITS, buffer.GetSampleSize());
    EXPECT_EQ(2u, buffer.GetNumberOfChannels());
    ASSERT_EQ(960u, buffer.GetNumberOfSamples());
    ASSERT_EQ(960u * 4, buffer.GetDataBufferSize());
    EXPECT_NEAR(5.0 + i * 0.02, buffer.GetTimestamp(), 1e-9);
    const int16_t* samples = static_cast<const int16_t*>(buffer.GetDataBuffer());
    EXPECT_EQ(i * 960, samples[0]);
    EXPECT_EQ(i * 960 + 959, samples[959 * 2 + 1]);
  }
  // All three lent: a full buffer is dropped; a gap and a new format start
  // afresh.
  platform::MediaStreamTrackRecord record;
  ASSERT_TRUE(platform::GetMediaStreamTrackRecord("microphone", &record));
  EXPECT_EQ(1, record.dropped);
  for (AudioBuffer& buffer : client.buffers) ASSERT_EQ(PP_OK, track.RecycleBuffer(buffer));
  EXPECT_EQ(nullptr, client.buffers[0].GetDataBuffer());
  std::vector<int16_t> mono(441 * 2, 7);
  impl->DeliverSamples(mono.data(), 441, PP_AUDIOBUFFER_SAMPLERATE_44100, 1, 6.0);
  impl->DeliverSamples(mono.data(), 441 * 2, PP_AUDIOBUFFER_SAMPLERATE_44100, 1, 6.0 + 0.01);
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.GetBuffer(client.Buffer()));
  ASSERT_TRUE(client.WaitFor(6));
  AudioBuffer& mono_buffer = client.buffers.back();
  EXPECT_EQ(PP_AUDIOBUFFER_SAMPLERATE_44100, mono_buffer.GetSampleRate());
  EXPECT_EQ(1u, mono_buffer.GetNumberOfChannels());
  EXPECT_EQ(882u, mono_buffer.GetNumberOfSamples());
  EXPECT_NEAR(6.0, mono_buffer.GetTimestamp(), 1e-9);
  int32_t value = 0;
  EXPECT_EQ(PP_OK, track.GetAttrib(PP_MEDIASTREAMAUDIOTRACK_ATTRIB_CHANNELS, &value));
  EXPECT_EQ(1, value);
  EXPECT_EQ(PP_OK, track.GetAttrib(PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION, &value));
  EXPECT_EQ(20, value);
}

TEST(MediaStreamAudioTrackTest, CallsFollowTheCompletionRules) {
  platform::BecomeMainThread();
  platform::ResetMediaStreamHooks();
  auto impl = MediaStreamAudioTrackImpl::Create("second microphone");
  MediaStreamAudioTrack track{Resource(impl)};
  Client client;
  // An armed failure, then a request that waits, a second one, and Close.
  const int32_t none[] = {PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};
  platform::FailMediaStreamCall(platform::MediaStreamCall::kAudioConfigure, PP_ERROR_NOMEMORY);
  platform::FailMediaStreamCall(platform::MediaStreamCall::kAudioGetBuffer, PP_ERROR_FAILED);
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.Configure(none, client.Done()));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.GetBuffer(client.Buffer()));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.GetBuffer(client.Buffer()));
  ASSERT_EQ(PP_OK_COMPLETIONPENDING, track.GetBuffer(client.Buffer()));
  ASSERT_TRUE(client.WaitFor(3));
  EXPECT_EQ(PP_ERROR_NOMEMORY, client.results[0]);
  EXPECT_EQ(PP_ERROR_FAILED, client.results[1]);
  EXPECT_EQ(PP_ERROR_INPROGRESS, client.results[2]);
  track.Close();
  ASSERT_TRUE(client.WaitFor(4));
  EXPECT_EQ(PP_ERROR_ABORTED, client.results[3]);
  EXPECT_TRUE(track.HasEnded());
}

}  // namespace
}  // namespace pp
