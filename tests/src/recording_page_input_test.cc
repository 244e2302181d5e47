// Page input that the recorder must refuse or ignore without stopping:
// tracks of the wrong kind in every slot, and numbers that their fields
// cannot hold. Played through plugin-host; the page must get its reply and
// never a crash report.

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

const char kVideo[] = R"({"$video":{"source":"pattern","width":160,"height":120,"fps":30}})";
const char kAudio[] = R"({"$audio":{"source":"tone"}})";

std::string Start(const std::string& keys) {
  return R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx",)"
         R"("filename":"/html5_persistent/r.webm",)" +
         keys + "}}";
}

std::string Key(const std::string& name, const std::string& value) {
  return "\"" + name + "\":" + value;
}

void ExpectNoCrash(const RecordingRun& run) {
  EXPECT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.OfType("stack_trace").empty()) << run.Describe();
}

// Runs each script in a process of its own, all at once. The files stay
// while |dirs| lives.
std::vector<RecordingRun> RunAll(const std::vector<std::vector<std::string>>& scripts,
                                 std::vector<std::unique_ptr<TempDir>>* dirs) {
  std::vector<std::future<RecordingRun>> runs;
  for (const auto& script : scripts) {
    dirs->emplace_back(new TempDir);
    const std::string path = dirs->back()->path();
    runs.push_back(std::async(std::launch::async, [path, script] {
      return RunRecording(path, script);
    }));
  }
  std::vector<RecordingRun> results;
  for (auto& run : runs) results.push_back(run.get());
  return results;
}

TEST(RecordingPageInputTest, ATrackOfTheWrongKindInStartIsRefusedAndTheNextStartRecords) {
  struct Case {
    std::string keys;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {Key("videoTrack", kAudio), "configure video failed"},
      {Key("videoTrack", kVideo) + "," + Key("camTrack", kAudio), "configure cam video failed"},
      {Key("videoTrack", kVideo) + "," + Key("audioTrack", kVideo), "configure audio failed"},
      {Key("videoTrack", kVideo) + "," + Key("audioTrack2", kVideo), "configure audio2 failed"},
  };
  std::vector<std::vector<std::string>> scripts;
  for (const Case& c : cases) {
    scripts.push_back({Start(c.keys), R"({"$await":"start","timeout_ms":10000})",
                       // Refused: the instance is still idle and takes a
                       // good "start".
                       Start(Key("videoTrack", kVideo) + "," + Key("audioTrack", kAudio)),
                       R"({"$await":"start","match":false,"timeout_ms":15000})",
                       R"({"$sleep":700})", R"({"type":"stop","data":{}})",
                       R"({"$await":"stop","match":false,"timeout_ms":15000})"});
  }
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<RecordingRun> runs = RunAll(scripts, &dirs);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].keys);
    const RecordingRun& run = runs[i];
    ExpectNoCrash(run);
    EXPECT_EQ((std::vector<std::string>{cases[i].reply, "false"}), run.Replies("start"))
        << run.Describe();
    EXPECT_TRUE(run.Errors().empty()) << run.Describe();
    FileInfo info = DecodeFile(run.File("r.webm"));
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video && info.Find(AVMEDIA_TYPE_AUDIO)) << run.Describe();
    EXPECT_EQ(0, video->decode_errors);
    EXPECT_GT(video->decoded_frames, 0);
    EXPECT_GT(info.duration_ms, 400) << run.Describe();
  }
}

TEST(RecordingPageInputTest, AReplacementOfTheWrongKindIsRefusedAndTheRecordingGoesOn) {
  const std::string start =
      Start(Key("videoTrack", kVideo) + "," + Key("audioTrack", kAudio));
  const std::string await_start = R"({"$await":"start","match":false,"timeout_ms":15000})";
  const std::string stop = R"({"type":"stop","data":{}})";
  const std::string await_stop = R"({"$await":"stop","match":false,"timeout_ms":15000})";
  const std::string audio_as_video =
      R"({"type":"replaceTracks","data":{"videoTrack":)" + std::string(kAudio) + "}}";
  const std::string video_as_audio = R"({"type":"replaceTracks","data":{"videoTrack":)" +
                                     std::string(kVideo) + R"(,"audioTrack":)" + kVideo + "}}";
  const std::string await_replace = R"({"$await":"replaceTracks","timeout_ms":5000})";
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<RecordingRun> runs = RunAll(
      {
      // While recording: the refusal comes at once, and the picture goes on
      // after it.
      {start, await_start, R"({"$sleep":500})", audio_as_video, await_replace,
       video_as_audio, await_replace, R"({"$sleep":1500})", stop, await_stop},
      // While paused: refused too, and the resume records on from the cut.
      {start, await_start, R"({"$sleep":500})", R"({"type":"pause","data":{}})",
       R"({"$await":"pause","match":false,"timeout_ms":5000})", audio_as_video, await_replace,
       video_as_audio, await_replace, R"({"type":"resume","data":{}})",
       R"({"$await":"resume","match":false,"timeout_ms":5000})", R"({"$sleep":1500})",
       R"({"type":"pause","data":{}})", R"({"$await":"pause","match":false,"timeout_ms":5000})",
       stop, await_stop},
      },
      &dirs);
  for (const RecordingRun& run : runs) {
    ExpectNoCrash(run);
    EXPECT_EQ((std::vector<std::string>{"configure replacement video failed",
                                        "configure replacement audio track failed"}),
              run.Replies("replaceTracks"))
        << run.Describe();
    EXPECT_TRUE(run.Errors().empty()) << run.Describe();
    // The recording time goes back only to a pause's cut, which lies
    // behind the "pause" command by less than a frame or a few buffers; a
    // frozen picture would put it back to the freeze.
    double last_time = -1e9;
    for (const Json::Value& state : run.OfType("state")) {
      const double time = state["data"]["time"].asDouble();
      EXPECT_GT(time, last_time - 0.5) << run.Describe();
      last_time = std::max(last_time, time);
    }
    EXPECT_GT(last_time, 1.5) << run.Describe();
    FileInfo info = DecodeFile(run.File("r.webm"));
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio) << run.Describe();
    EXPECT_EQ(0, video->decode_errors);
    // The 1.5 s recorded after the refusals are in the file, picture and
    // sound.
    EXPECT_GT(info.duration_ms, 1500) << run.Describe();
    ASSERT_FALSE(video->packet_pts.empty());
    EXPECT_GT(av_rescale_q(video->packet_pts.back(), video->time_base, AVRational{1, 1000}),
              1500)
        << run.Describe();
    EXPECT_GT(audio->decoded_samples, 48000 * 3 / 2) << run.Describe();
  }
}

TEST(RecordingPageInputTest, NumbersTheirFieldsCannotHoldAreIgnoredOrRefused) {
  const std::string record = Key("videoTrack", kVideo) + "," + Key("audioTrack", kAudio);
  const std::string await_start = R"({"$await":"start","timeout_ms":15000})";
  const std::vector<std::string> finish = {R"({"$sleep":1000})", R"({"type":"stop","data":{}})",
                                           R"({"$await":"stop","timeout_ms":15000})"};
  auto script = [&](const std::string& start) {
    std::vector<std::string> lines = {start, await_start};
    lines.insert(lines.end(), finish.begin(), finish.end());
    return lines;
  };
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<RecordingRun> runs = RunAll(
      {
      script(Start(record + R"(,"startDelay":3000000)")),
      script(Start(record + R"(,"startDelay":-5)")),
      script(Start(record + R"(,"audioTrack2":)" + kAudio + R"(,"micVolume":1e39)")),
      script(Start(record + R"(,"crop":{"top":0,"left":0,"width":1e12,"height":100})")),
      // No codec named: the default follows the version, which a number
      // beyond int32 leaves unchanged (none yet, so not the browser's).
      script(R"({"type":"start","data":{"chromeVersion":1e12,)"
             R"("filename":"/html5_persistent/r.webm",)" +
             record + "}}"),
      },
      &dirs);
  for (const RecordingRun& run : runs) ExpectNoCrash(run);

  // Out-of-range delays count as absent: no trim, and the file starts at
  // the recording's start.
  for (int i : {0, 1}) {
    const RecordingRun& run = runs[i];
    EXPECT_EQ((std::vector<std::string>{"false"}), run.Replies("start")) << run.Describe();
    EXPECT_EQ((std::vector<std::string>{"false"}), run.Replies("stop")) << run.Describe();
    EXPECT_TRUE(run.HasTty("using encoder graph")) << run.Describe();
    EXPECT_FALSE(run.HasTty("trim=")) << run.Describe();
    FileInfo info = DecodeFile(run.File("r.webm"));
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video) << run.Describe();
    ASSERT_FALSE(video->packet_pts.empty());
    EXPECT_LT(av_rescale_q(video->packet_pts.front(), video->time_base, AVRational{1, 1000}),
              500);
    EXPECT_GT(info.duration_ms, 500);
    EXPECT_LT(info.duration_ms, 10000) << run.Describe();
  }
  // A gain no float holds is no gain: the second track is mixed as it is.
  EXPECT_EQ((std::vector<std::string>{"false"}), runs[2].Replies("start")) << runs[2].Describe();
  EXPECT_TRUE(runs[2].HasTty("amix")) << runs[2].Describe();
  EXPECT_FALSE(runs[2].HasTty("volume=")) << runs[2].Describe();
  // A crop side beyond int32 makes the crop invalid.
  EXPECT_EQ((std::vector<std::string>{"invalid crop supplied"}), runs[3].Replies("start"))
      << runs[3].Describe();
  EXPECT_TRUE(runs[3].HasTty("using encoder graph") == false);
  // The version is ignored, so the default encoder is not the browser's.
  EXPECT_EQ((std::vector<std::string>{"false"}), runs[4].Replies("start")) << runs[4].Describe();
  EXPECT_TRUE(runs[4].HasTty("using default codec libvpx")) << runs[4].Describe();
}

}  // namespace
}  // namespace kelmora
