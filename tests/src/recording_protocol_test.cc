// The recording instance driven by page scripts through plugin-host: the
// replies, "state" messages and console lines of the protocol, the start
// checks and time-outs, and what reaches the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

const char kScreen[] =
    R"("videoTrack":{"$video":{"id":"screen","source":"pattern","width":160,"height":120,"fps":30}})";

std::string Start(const std::string& keys) {
  return R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx",)" + keys + "}}";
}

int CountVideoFramesAfter(const FileInfo& info, int64_t ms) {
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  if (!video) return 0;
  int count = 0;
  for (int64_t pts : video->packet_pts) {
    if (av_rescale_q(pts, video->time_base, AVRational{1, 1000}) > ms) ++count;
  }
  return count;
}

TEST(RecordingProtocolTest, RepliesStatesAndRefusalsOfAWholeRecording) {
  TempDir dir;
  RecordingRun run = RunRecording(
      dir.path(),
      {R"("a page message that is no dictionary")",
       R"({"type":"stop"})",
       R"({"type":"Start","data":{}})",
       R"({"type":"resume","data":{}})",
       R"({"type":"stop","data":{}})",
       R"({"type":"pause","data":{}})",
       R"({"type":"replaceTracks","data":{}})",
       R"({"type":"start","data":{"crop":{"top":0,"left":0,"width":10}}})",
       R"({"type":"start","data":{"crop":"all"}})",
       Start(R"("filename":"/html5_persistent/p.webm","startDelay":2,)" + std::string(kScreen)),
       R"({"$await":"start","match":false,"timeout_ms":10000})",
       R"({"type":"start","data":{}})",
       R"({"type":"replaceTracks","data":{"videoTrack":"screen"}})",
       R"({"$sleep":2600})",
       R"({"type":"pause","data":{}})",
       R"({"type":"stop","data":{}})",
       R"({"$await":"pause","match":false})",
       R"({"type":"pause","data":{}})",
       R"({"type":"stop","data":{}})",
       R"({"$await":"stop","match":false})",
       R"({"type":"stop","data":{}})", R"({"$sleep":500})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();

  EXPECT_TRUE(run.HasConsole("ERROR ruzevUroviRodarav:Got non-dict message"));
  EXPECT_TRUE(run.HasConsole("ERROR ruzevUroviRodarav:Invalid message format"));
  EXPECT_TRUE(run.HasConsole("ERROR ruzevUroviRodarav:unknown message type"));
  EXPECT_TRUE(run.HasConsole("LOG ruzevUroviRodarav:cannot resume, not paused"));
  EXPECT_EQ((std::vector<std::string>{"invalid crop supplied", "invalid videoTrack supplied",
                                      "false", "encoder not ready"}),
            run.Replies("start"));
  EXPECT_EQ((std::vector<std::string>{"cannot stop in this state", "cannot stop in this state",
                                      "false", "cannot stop in this state"}),
            run.Replies("stop"));
  EXPECT_EQ((std::vector<std::string>{"cannot pause, not recording", "false",
                                      "cannot pause, not recording"}),
            run.Replies("pause"));
  EXPECT_EQ((std::vector<std::string>{"replaceTracks only possible in paused or recording state",
                                      "videoTrack parameter missing"}),
            run.Replies("replaceTracks"));
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();

  // idle -> starting -> recording ... pausing -> paused -> stopping -> closed
  std::vector<std::string> states = run.States();
  ASSERT_GE(states.size(), 6u) << run.Describe();
  EXPECT_EQ("inactive", states.front());
  EXPECT_EQ("closed", states.back());
  EXPECT_EQ("recording", states[states.size() - 2]);  // "stop" while paused
  EXPECT_EQ("paused", states[states.size() - 3]);
  const Json::Value first = run.OfType("state").front()["data"];
  EXPECT_EQ(-2.0, first["time"].asDouble());
  EXPECT_EQ(0, first["droppedAudioTime"].asInt());
  EXPECT_EQ(-1.0, first["fps"].asDouble());
  EXPECT_FALSE(first.isMember("recordingResolution"));
  const Json::Value last = run.OfType("state").back()["data"];
  EXPECT_EQ(160, last["recordingResolution"]["width"].asInt());
  EXPECT_GT(last["fps"].asDouble(), 0);

  // The start delay is cut from the file: 2.6 s recorded, about 0.6 s kept.
  FileInfo info = DecodeFile(run.File("p.webm"));
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << run.Describe();
  EXPECT_EQ(nullptr, info.Find(AVMEDIA_TYPE_AUDIO));
  EXPECT_EQ(160, video->width);
  EXPECT_EQ(0, video->decode_errors);
  EXPECT_GT(video->decoded_frames, 3);
  EXPECT_LT(video->last_end_ms, 1500);
}

TEST(RecordingProtocolTest, StartTimeOutsNameWhatIsMissing) {
  auto no_audio = std::async(std::launch::async, [] {
    TempDir dir;
    return RunRecording(
        dir.path(),
        {Start(R"("filename":"/html5_persistent/a.webm",)" + std::string(kScreen) +
               R"(,"audioTrack":{"$audio":{"source":"tone","start_ms":60000}})"),
         R"({"$await":"error","timeout_ms":9000})"});
  });
  auto no_cam = std::async(std::launch::async, [] {
    TempDir dir;
    return RunRecording(
        dir.path(),
        {R"({"type":"start","data":{}})",
         Start(R"("filename":"/html5_persistent/c.webm",)" + std::string(kScreen) +
               R"(,"camTrack":{"$video":{"source":"pattern","start_ms":60000}})"),
         R"({"$await":"error","timeout_ms":9000})", R"({"$await":"error","timeout_ms":2000})"});
  });
  RecordingRun audio = no_audio.get();
  RecordingRun cam = no_cam.get();
  ASSERT_EQ(0, audio.program.exit_code) << audio.Describe();
  EXPECT_EQ(std::vector<std::string>{"start_timeout:no_audio"}, audio.Errors());
  EXPECT_TRUE(audio.HasTty("ignoring frame while waiting for audio\n"));
  EXPECT_TRUE(audio.HasConsole("ERROR ruzevUroviRodarav:start_timeout:no_audio"));
  EXPECT_EQ((std::vector<std::string>{"inactive"}), audio.States());

  // The refused "start" has its own time-out; both see the camera missing.
  ASSERT_EQ(0, cam.program.exit_code) << cam.Describe();
  EXPECT_EQ((std::vector<std::string>{"start_timeout:no_cam", "start_timeout:no_cam"}),
            cam.Errors());
  EXPECT_TRUE(cam.HasTty("ignoring frame while waiting for cam\n"));
  EXPECT_TRUE(cam.Replies("start") == std::vector<std::string>{"invalid videoTrack supplied"});
}

TEST(RecordingProtocolTest, CropsThatDoNotFitAreRefusedAndAnOriginalSizeIsHonoured) {
  TempDir dirs[3];
  int next_dir = 0;
  // A recording that starts records for a while after its "start" reply; a
  // refused one gets none, and its stop comes after |sleep_ms|.
  auto run_crop = [&](const std::string& crop, const std::string& track, int sleep_ms,
                      bool starts) {
    TempDir* dir_holder = &dirs[next_dir++];
    return std::async(std::launch::async, [=] {
      TempDir& dir = *dir_holder;
      std::vector<std::string> script = {
          Start(R"("filename":"/html5_persistent/c.webm","crop":)" + crop +
                R"(,"videoTrack":{"$video":)" + track + "}")};
      if (starts) script.push_back(R"({"$await":"start","match":false,"timeout_ms":20000})");
      script.push_back(R"({"$sleep":)" + std::to_string(sleep_ms) + "}");
      script.push_back(R"({"type":"stop","data":{}})");
      script.push_back(R"({"$await":"stop","timeout_ms":5000})");
      return RunRecording(dir.path(), script);
    });
  };
  auto too_wide = run_crop(R"({"top":50,"left":50,"width":100,"height":100})",
                           R"({"source":"pattern","width":140,"height":200})", 800, false);
  auto negative = run_crop(R"({"top":0,"left":40,"width":-20,"height":100})",
                           R"({"source":"pattern","width":140,"height":200})", 800, false);
  // Given for a 640x360 picture while the track delivers 320x180.
  auto original = run_crop(
      R"({"top":20,"left":40,"width":400,"height":300},"originalMainSize":{"width":640,"height":360})",
      R"({"source":"pattern","width":320,"height":180})", 1500, true);

  for (auto* refused : {&too_wide, &negative}) {
    RecordingRun run = refused->get();
    ASSERT_EQ(0, run.program.exit_code) << run.Describe();
    EXPECT_EQ(std::vector<std::string>{"invalid_crop"}, run.Errors()) << run.Describe();
    // Never recording: no "start" reply, and "stop" is refused.
    EXPECT_TRUE(run.Replies("start").empty());
    EXPECT_EQ(std::vector<std::string>{"cannot stop in this state"}, run.Replies("stop"));
  }
  RecordingRun run = original.get();
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  EXPECT_TRUE(run.HasTty("scale=h=360:w=640,crop=h=300:w=400:x=40:y=20[main]"));
  FileInfo info = DecodeFile(run.File("c.webm"));
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << run.Describe();
  EXPECT_EQ(400, video->width);
  EXPECT_EQ(300, video->height);
  EXPECT_GT(video->decoded_frames, 3);
}

TEST(RecordingProtocolTest, AFailedSetUpNeverFeedsTheRecorderNorStopsTheModule) {
  auto bad_codec = std::async(std::launch::async, [] {
    TempDir dir;
    return RunRecording(dir.path(),
                        {R"({"type":"start","data":{"codec":"no_such_codec",)"
                         R"("filename":"/html5_persistent/x.webm",)" +
                             std::string(kScreen) + "}}",
                         R"({"$await":"error","timeout_ms":5000})", R"({"$sleep":800})"});
  });
  auto no_name = std::async(std::launch::async, [] {
    TempDir dir;
    return RunRecording(dir.path(), {Start(kScreen), R"({"$await":"error","timeout_ms":5000})",
                                     R"({"$sleep":800})"});
  });
  for (auto* failed : {&bad_codec, &no_name}) {
    RecordingRun run = failed->get();
    ASSERT_EQ(0, run.program.exit_code) << run.Describe();
    EXPECT_EQ(std::vector<std::string>{"recorder_setup_error"}, run.Errors()) << run.Describe();
    EXPECT_TRUE(run.Replies("start").empty());
    EXPECT_EQ((std::vector<std::string>{"inactive"}), run.States());
  }
}

TEST(RecordingProtocolTest, AResizedMainTrackKeepsRecordingAtTheFirstSize) {
  TempDir dir;
  RecordingRun run = RunRecording(
      dir.path(),
      {Start(R"("filename":"/html5_persistent/r.webm",)" + std::string(kScreen)),
       R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":600})",
       R"({"$track":"screen","width":80,"height":60})", R"({"$sleep":600})",
       R"({"$track":"screen","width":320,"height":240})", R"({"$sleep":600})",
       R"({"type":"stop","data":{}})", R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  FileInfo info = DecodeFile(run.File("r.webm"));
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << run.Describe();
  EXPECT_EQ(160, video->width);
  EXPECT_EQ(120, video->height);
  EXPECT_EQ(0, video->decode_errors);
  // Frames of both later sizes are in the file.
  EXPECT_GT(CountVideoFramesAfter(info, 700), 5);
  EXPECT_GT(CountVideoFramesAfter(info, 1300), 3);
}

TEST(RecordingProtocolTest, ASilentMainTrackIsRepeatedOrDrivenByTheCamera) {
  TempDir repeat_dir, trigger_dir;
  auto repeat = std::async(std::launch::async, [&] {
    TempDir& dir = repeat_dir;
    return RunRecording(
        dir.path(),
        {Start(R"("filename":"/html5_persistent/s.webm",)" + std::string(kScreen)),
         R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$track":"screen","silent":true})",
         R"({"$sleep":3200})", R"({"type":"stop","data":{}})",
         R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  });
  auto trigger = std::async(std::launch::async, [&] {
    TempDir& dir = trigger_dir;
    return RunRecording(
        dir.path(),
        {Start(R"("filename":"/html5_persistent/t.webm",)" + std::string(kScreen) +
               R"(,"camTrack":{"$video":{"source":"pattern","width":80,"height":60}})"),
         R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":300})",
         R"({"$track":"screen","silent":true})", R"({"$sleep":2500})",
         R"({"type":"stop","data":{}})", R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  });

  RecordingRun run = repeat.get();
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  // The stop waits for a video that never comes.
  EXPECT_TRUE(run.HasTty("force stopping\n"));
  // The state goes on every 500 ms.
  EXPECT_GE(run.States().size(), 7u);
  FileInfo info = DecodeFile(run.File("s.webm"));
  // The last picture again, once more than 2 s have passed.
  EXPECT_GE(CountVideoFramesAfter(info, 1400), 1);
  EXPECT_LE(CountVideoFramesAfter(info, 1400), 3);

  RecordingRun cam = trigger.get();
  ASSERT_EQ(0, cam.program.exit_code) << cam.Describe();
  EXPECT_TRUE(cam.Errors().empty()) << cam.Describe();
  EXPECT_TRUE(cam.HasTty("re-configureing cam to 48x36\n"));
  EXPECT_TRUE(cam.HasTty("enabling cam trigger mode\n"));
  FileInfo cam_info = DecodeFile(cam.File("t.webm"));
  // The camera's frames carry the held picture on.
  EXPECT_GT(CountVideoFramesAfter(cam_info, 1800), 5);
}

TEST(RecordingProtocolTest, AMainLoopEndedByAForcedCutStartsAgainAfterTheResume) {
  TempDir dir;
  RecordingRun run = RunRecording(
      dir.path(),
      {Start(R"("filename":"/html5_persistent/f.webm",)" + std::string(kScreen)),
       R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":800})",
       R"({"$track":"screen","silent":true})", R"({"$sleep":200})",
       R"({"type":"pause","data":{}})", R"({"$await":"pause","match":false})",
       R"({"type":"resume","data":{}})", R"({"$await":"resume"})", R"({"$sleep":100})",
       R"({"$track":"screen","resume":true})", R"({"$sleep":1200})",
       R"({"type":"stop","data":{}})", R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.HasTty("force stopping\n"));
  FileInfo info = DecodeFile(run.File("f.webm"));
  // More than a second of live frames after the cut at about 1 s.
  EXPECT_GT(CountVideoFramesAfter(info, 1100), 15) << run.Describe();
}

TEST(RecordingProtocolTest, ACameraMainTrackDropsItsFirstFrame) {
  // The source delivers one frame only: at 2 fps its second would come at
  // 800 ms, and it falls silent before (late enough that a loaded machine's
  // source still gives the first).
  const std::string one_frame =
      R"("videoTrack":{"$video":{"source":"pattern","width":160,"height":120,"fps":2,)"
      R"("start_ms":300,"changes":[{"at_ms":700,"silent":true}]}})";
  auto as_cam = std::async(std::launch::async, [=] {
    TempDir dir;
    return RunRecording(dir.path(), {Start(R"("filename":"/html5_persistent/c.webm",)"
                                           R"("videoTrackIsCam":true,)" + one_frame),
                                     R"({"$sleep":1000})"});
  });
  auto as_screen = std::async(std::launch::async, [=] {
    TempDir dir;
    return RunRecording(dir.path(), {Start(R"("filename":"/html5_persistent/s.webm",)"
                                           R"("videoTrackIsCam":"yes",)" + one_frame),
                                     R"({"$await":"start","match":false,"timeout_ms":20000})"});
  });
  RecordingRun cam = as_cam.get();
  ASSERT_EQ(0, cam.program.exit_code) << cam.Describe();
  EXPECT_TRUE(cam.Replies("start").empty()) << cam.Describe();
  RecordingRun screen = as_screen.get();
  ASSERT_EQ(0, screen.program.exit_code) << screen.Describe();
  EXPECT_EQ(std::vector<std::string>{"false"}, screen.Replies("start"));
}

TEST(RecordingProtocolTest, PausingAndResumingQuicklyKeepsOneStatusTick) {
  TempDir dir;
  RecordingRun run = RunRecording(
      dir.path(),
      {Start(R"("filename":"/html5_persistent/q.webm",)" + std::string(kScreen)),
       R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":400})",
       R"({"type":"pause","data":{}})", R"({"$await":"pause","match":false})",
       R"({"type":"resume","data":{}})", R"({"$await":"resume"})", R"({"$sleep":2100})",
       R"({"type":"stop","data":{}})", R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  // States between the "resume" reply and the "stop" reply: the resume's
  // own, four ticks in 2.1 s, the stop's; a second tick chain would double
  // the ticks.
  int states = 0;
  bool counting = false;
  for (const Json::Value& message : run.messages) {
    const std::string type = message["type"].asString();
    if (type == "resume") counting = true;
    if (type == "stop") counting = false;
    if (counting && type == "state") ++states;
  }
  EXPECT_GE(states, 4);
  EXPECT_LE(states, 7);
}

TEST(RecordingProtocolTest, DestroyingTheInstanceMidRecordingLeavesAReadableFile) {
  TempDir dir;
  // The default encoder here is the browser's, whose steps wait for the
  // main thread that the destruction holds.
  RecordingRun run = RunRecording(
      dir.path(),
      {R"({"type":"start","data":{"chromeVersion":60,"filename":"/html5_persistent/d.webm",)" +
           std::string(kScreen) + R"(,"audioTrack":{"$audio":{"source":"tone"}}}})",
       R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":1500})",
       R"({"$destroy":true})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Replies("stop").empty());
  EXPECT_TRUE(run.HasTty("ppenc"));
  FileInfo info = DecodeFile(run.File("d.webm"));
  ASSERT_TRUE(info.opened) << run.Describe();
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(0, video->decode_errors);
  // Pictures still queued for the browser's encoder are lost with the
  // instance (the encoder needs the main thread that the destruction holds):
  // how many depends on how far behind a loaded machine's encoder was.
  EXPECT_GT(video->decoded_frames, 0);
  EXPECT_GT(audio->decoded_samples, 48000);
  EXPECT_GT(info.duration_ms, 1000);
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

TEST(RecordingProtocolTest, AFullDiskIsReportedAndTheFileDecodesUpToIt) {
  TempDir dir;
  RecordingRun run = RunRecording(
      dir.path(),
      {Start(R"("filename":"/html5_persistent/q.webm",)" + std::string(kScreen) +
             R"(,"audioTrack":{"$audio":{"source":"tone"}})"),
       R"({"$await":"start","match":false,"timeout_ms":10000})",
       R"({"$await":"error","timeout_ms":12000})", R"({"type":"stop","data":{}})",
       R"({"$await":"stop","timeout_ms":5000})",
       R"({"$await":"state","match":{"state":"closed"},"timeout_ms":3000})"},
      {"--persistent-quota", "30000"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  std::vector<std::string> errors = run.Errors();
  ASSERT_FALSE(errors.empty());
  for (const std::string& error : errors) EXPECT_EQ("out_of_disk_space", error);
  EXPECT_TRUE(run.HasTty("looks like we ran out of disk space...\n"));
  EXPECT_EQ(std::vector<std::string>{"false"}, run.Replies("stop"));
  EXPECT_EQ("closed", run.States().back());
  FileInfo info = DecodeFile(run.File("q.webm"));
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << run.Describe();
  EXPECT_GT(video->decoded_frames, 5);
  EXPECT_EQ(0, video->decode_errors);
}

}  // namespace
}  // namespace kelmora
