// The audio side of a cut in the pump itself: a cut time chosen from the
// pump's position before its next buffer came in.

#include <gtest/gtest.h>

#include <vector>

#include "audio_track_pump.h"
#include "core_clock.h"
#include "pp_test_browser.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/media_stream_audio_track.h"
#include "ppapi/cpp/module.h"
#include "ppplatform/browser.h"
#include "ppplatform/media_stream_audio_track_impl.h"
#include "ticker_timer.h"

namespace kelmora {
namespace {

using testing_support::TestBrowser;

class CutDone {
 public:
  CutDone() : factory_(this) {}
  pp::CompletionCallback Callback() { return factory_.NewCallback(&CutDone::OnDone); }
  void OnDone(int32_t) { done = true; }
  bool done = false;

 private:
  pp::CompletionCallbackFactory<CutDone> factory_;
};

// |ms| of 48 kHz stereo captured from |start| seconds of the time ticks.
void Deliver(pp::platform::MediaStreamAudioTrackImpl* source, double start, int ms) {
  std::vector<int16_t> samples(static_cast<size_t>(ms) * 48 * 2, 1000);
  source->DeliverSamples(samples.data(), ms * 48, PP_AUDIOBUFFER_SAMPLERATE_48000, 2, start);
}

bool WaitUntil(const std::function<bool()>& done) {
  return pp::platform::RunMainLoopUntil(done, 20000);
}

TEST(AudioTrackPumpTest, ACutBeforeWhatThePumpQueuedEndsItsAudioThere) {
  TestBrowser::Start();
  pp::Instance* instance = TestBrowser::CreateInstance();
  {
    CoreClock<pp::Core> clock(pp::Module::Get()->core());
    // Stopped at 0, and the capture times below lie ahead of the time
    // ticks: the first buffer is placed at 0 exactly.
    TickerTimer timer(&clock);
    auto source = pp::platform::MediaStreamAudioTrackImpl::Create("pump microphone");
    AudioTrackPump pump(pp::InstanceHandle(instance), nullptr, 0, &timer, nullptr);
    ASSERT_TRUE(pump.SetTrack(pp::MediaStreamAudioTrack{pp::Resource(source)}));
    pump.EnableOutput(true);
    // The pump asks for its first buffer once the track is configured.
    pp::platform::RunMainLoopUntilIdle();

    // Three buffers of 100 ms, queued one after the other.
    const double capture = pp::Module::Get()->core()->GetTimeTicks() + 1000;
    Deliver(source.get(), capture, 300);
    ASSERT_TRUE(WaitUntil([&] { return pump.written_until() == 300; }));

    // The cut was chosen while the pump stood a buffer earlier: what it
    // queued past the cut does not reach the file.
    const int64_t cut = 200;
    CutDone cut_done;
    pump.ScheduleStop(cut, cut_done.Callback());
    EXPECT_EQ(cut, pump.written_until());

    // The next buffer completes the cut, which stays where it was.
    Deliver(source.get(), capture + 0.3, 100);
    ASSERT_TRUE(WaitUntil([&] { return cut_done.done; }));
    EXPECT_TRUE(pump.is_paused());
    EXPECT_EQ(cut, pump.written_until());
  }
  TestBrowser::DestroyInstance(instance);
}

}  // namespace
}  // namespace kelmora
