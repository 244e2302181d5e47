// Page scripts that hand live tracks to a module: what arrives, at what
// pace and size, on what clock, and what the directives change.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "echo_module.h"
#include "page_script.h"
#include "script_extensions.h"
#include "src/edit_test_media.h"
#include "support/child_session.h"
#include "track_probe_module.h"

namespace {

using kelmora_test::ChildResult;
using kelmora_test::ChildSession;

constexpr int PP_ERROR_FAILED_CODE = -2;
constexpr int PP_ERROR_ABORTED_CODE = -3;

// Plays |lines| against a probe instance and returns its report.
Json::Value Probe(const std::vector<std::string>& lines, ChildResult* result = nullptr) {
  ChildResult run = kelmora_test::RunInChild([&](ChildSession& session) {
    std::string error;
    if (!session.browser().UseModule(new kelmora_test::TrackProbeModule(), &error))
      session.Fail(error);
    PP_Instance instance = session.Create();
    pphost::PageScript script(&session.browser(), instance);
    pphost::InstallScriptExtensions(&session.browser(), &script);
    for (const std::string& line : lines) {
      if (!script.RunLine(line, &error)) session.Fail(error);
    }
    if (!script.RunLine(R"({"$await":"probe_report","timeout_ms":20000})", &error))
      session.Fail(error);
    script.DestroyInstance();
  });
  std::vector<Json::Value> reports = run.MessagesOfType("probe_report");
  EXPECT_TRUE(run.Succeeded()) << run.Describe();
  if (result) *result = run;
  return reports.empty() ? Json::Value() : reports[0]["data"];
}

std::vector<double> Column(const Json::Value& rows, int index) {
  std::vector<double> column;
  for (const Json::Value& row : rows) column.push_back(row[index].asDouble());
  return column;
}

// Only aborts of the calls pending when the probe closed its tracks.
void ExpectNoErrorsButAborts(const Json::Value& errors) {
  for (const Json::Value& error : errors) EXPECT_EQ(PP_ERROR_ABORTED_CODE, error.asInt());
}

TEST(TrackScriptTest, FramesAndSoundArriveAtTheirRateAndSizeOnOneClock) {
  Json::Value report = Probe({
      R"({"type":"probe","data":{"run_ms":2600,"width":160,"height":120,"buffers":50,
          "video":{"$video":{"source":"sync","width":320,"height":240,"fps":30}},
          "audio":{"$audio":{"source":"sync","rate":48000,"channels":2}}}})",
  });
  const Json::Value& frames = report["video"]["frames"];
  const Json::Value& buffers = report["audio"]["buffers"];
  ExpectNoErrorsButAborts(report["video"]["errors"]);
  ExpectNoErrorsButAborts(report["audio"]["errors"]);

  // 30 frames a second, scaled to the configured size, I420 packed.
  ASSERT_GE(frames.size(), 60u);
  EXPECT_LE(frames.size(), 80u);
  std::vector<double> times = Column(frames, 0);
  std::vector<double> gaps;
  for (size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  EXPECT_NEAR(1.0 / 30, gaps[gaps.size() / 2], 0.002);
  EXPECT_GT(gaps.front(), 0);
  for (const Json::Value& frame : frames) {
    EXPECT_EQ(160, frame[1].asInt());
    EXPECT_EQ(120, frame[2].asInt());
    EXPECT_EQ(160 * 120 * 3 / 2, frame[3].asInt());
    EXPECT_EQ(PP_VIDEOFRAME_FORMAT_I420, frame[5].asInt());
  }

  // 10 ms buffers of 16-bit stereo at 48 kHz, back to back.
  ASSERT_GE(buffers.size(), 200u);
  for (Json::ArrayIndex i = 0; i < buffers.size(); ++i) {
    const Json::Value& buffer = buffers[i];
    EXPECT_EQ(48000, buffer[1].asInt());
    EXPECT_EQ(2, buffer[2].asInt());
    EXPECT_EQ(480, buffer[3].asInt());
    EXPECT_EQ(480 * 2 * 2, buffer[4].asInt());
    EXPECT_EQ(PP_AUDIOBUFFER_SAMPLESIZE_16_BITS, buffer[6].asInt());
    if (i > 0) {
      EXPECT_NEAR(0.01, buffer[0].asDouble() - buffers[i - 1][0].asDouble(), 1e-6);
    }
  }

  // Every flash has its beep at the same capture time, on a whole second:
  // the flash's frame is taken on the second itself.
  std::vector<double> flashes, beeps;
  for (const Json::Value& frame : frames)
    if (frame[4].asBool()) flashes.push_back(frame[0].asDouble());
  // A beep spans five buffers; its onset is in the first, known as such
  // when the buffer before it came too.
  std::vector<double> onsets;
  for (Json::ArrayIndex i = 0; i < buffers.size(); ++i) {
    double beep = buffers[i][5].asDouble();
    if (beep < 0) continue;
    beeps.push_back(beep);
    if (i > 0 && buffers[i - 1][5].asDouble() < 0 &&
        std::fabs(buffers[i][0].asDouble() - buffers[i - 1][0].asDouble() - 0.01) < 1e-6) {
      onsets.push_back(beep);
    }
  }
  ASSERT_GE(flashes.size(), 2u);
  ASSERT_GE(onsets.size(), 1u);
  EXPECT_LE(flashes.size(), 3u);
  for (double onset : onsets) EXPECT_LT(onset - std::floor(onset), 0.001) << onset;
  for (double flash : flashes) {
    EXPECT_LT(flash - std::floor(flash), 1e-6) << flash;
    bool matched = false;
    for (double beep : beeps) matched = matched || std::fabs(beep - std::floor(flash)) < 0.05;
    EXPECT_TRUE(matched) << "no beep with the flash at " << flash;
  }
}

TEST(TrackScriptTest, SlowConsumerGetsDroppedFramesAndNeverMoreThanItsBuffers) {
  Json::Value report = Probe({
      R"({"type":"probe","data":{"run_ms":1500,"buffered_frames":3,"hold_ms":200,
          "video":{"$video":{"source":"pattern","width":64,"height":48,"fps":30}}}})",
  });
  const Json::Value& frames = report["video"]["frames"];
  ExpectNoErrorsButAborts(report["video"]["errors"]);
  // Holding each frame 200 ms with 3 buffers takes about 15 a second.
  EXPECT_EQ(3, report["video"]["max_held"].asInt());
  ASSERT_GE(frames.size(), 8u);
  EXPECT_LE(frames.size(), 30u);
  // Frames that came while all three were held were dropped, not queued:
  // the pictures taken stay current instead of falling behind.
  std::vector<double> times = Column(frames, 0);
  int long_gaps = 0;
  for (size_t i = 1; i < times.size(); ++i) long_gaps += times[i] - times[i - 1] > 1.5 / 30;
  EXPECT_GE(long_gaps, 3);
  EXPECT_LT(times.back() - times.front(), 1.6);
  EXPECT_GT(times.back() - times.front(), 1.0);
  EXPECT_FALSE(report["video"]["stale_data"].asBool());
}

TEST(TrackScriptTest, DirectivesSilenceResumeResizeAndReformatRunningSources) {
  Json::Value report = Probe({
      R"({"type":"probe","data":{"run_ms":2200,
          "video":{"$video":{"id":"cam","source":"pattern","width":96,"height":64,"fps":30}},
          "audio":{"$audio":{"id":"mic","source":"tone","rate":48000,"channels":2}}}})",
      R"({"$sleep":400})",
      R"({"$track":"cam","silent":true})",
      R"({"$sleep":600})",
      R"({"$track":"cam","resume":true,"width":64,"height":48})",
      R"({"$track":"mic","rate":44100,"channels":1})",
  });
  const Json::Value& frames = report["video"]["frames"];
  const Json::Value& buffers = report["audio"]["buffers"];
  ExpectNoErrorsButAborts(report["video"]["errors"]);
  ASSERT_GE(frames.size(), 20u);
  // A silence of about 600 ms, then frames of the new size.
  std::vector<double> times = Column(frames, 0);
  size_t resumed = 0;
  for (size_t i = 1; i < times.size(); ++i)
    if (times[i] - times[i - 1] > 0.4) resumed = i;
  ASSERT_GT(resumed, 5u);
  EXPECT_NEAR(0.6, times[resumed] - times[resumed - 1], 0.15);
  for (Json::ArrayIndex i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(i < resumed ? 96 : 64, frames[i][1].asInt()) << i;
  }
  // The sound goes on in the new format.
  ASSERT_GE(buffers.size(), 100u);
  EXPECT_EQ(48000, buffers[0][1].asInt());
  EXPECT_EQ(2, buffers[0][2].asInt());
  const Json::Value& last = buffers[buffers.size() - 1];
  EXPECT_EQ(44100, last[1].asInt());
  EXPECT_EQ(1, last[2].asInt());
  EXPECT_EQ(441, last[3].asInt());
  EXPECT_EQ(441 * 2, last[4].asInt());
}

TEST(TrackScriptTest, ScheduledStartAndEndOfASource) {
  Json::Value report = Probe({
      R"({"type":"probe","data":{"run_ms":1500,
          "video":{"$video":{"source":"pattern","width":32,"height":32,"start_ms":400,
                             "changes":[{"at_ms":900,"end":true}]}},
          "audio":{"$audio":{"source":"tone"}}}})",
  });
  std::vector<double> times = Column(report["video"]["frames"], 0);
  std::vector<double> sound = Column(report["audio"]["buffers"], 0);
  ASSERT_FALSE(times.empty());
  ASSERT_FALSE(sound.empty());
  // Both sources were made by the same line; the video began 400 ms later
  // and ended 500 ms after that: the waiting request then failed.
  EXPECT_NEAR(0.4, times.front() - sound.front(), 0.15);
  EXPECT_NEAR(0.5, times.back() - times.front(), 0.1);
  const Json::Value& errors = report["video"]["errors"];
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(PP_ERROR_FAILED_CODE, errors[0].asInt());
}

TEST(TrackScriptTest, FileSourcesPlayAtTheFilesPaceAndLoop) {
  std::string dir = kelmora_test::MakeTempDir();
  std::string path = dir + "/clip.mkv";
  kelmora::edit_test::TestMediaSpec media;
  media.videos = {{80, 60}};
  media.audio = true;
  media.frame_count = 10;  // 0.4 s at 25 fps
  ASSERT_EQ("", kelmora::edit_test::WriteTestMedia(path, media));

  Json::Value once = Probe({
      R"({"type":"probe","data":{"run_ms":1000,
          "video":{"$video":{"source":"file","start_ms":300,"path":")" +
          path + R"("}},
          "audio":{"$audio":{"source":"file","start_ms":300,"path":")" +
          path + R"("}}}})",
  });
  std::vector<double> times = Column(once["video"]["frames"], 0);
  ASSERT_EQ(10u, times.size());
  EXPECT_NEAR(0.36, times.back() - times.front(), 0.03);
  EXPECT_EQ(80, once["video"]["frames"][0][1].asInt());
  // The file's end ends the tracks.
  ASSERT_EQ(1u, once["video"]["errors"].size());
  EXPECT_EQ(PP_ERROR_FAILED_CODE, once["video"]["errors"][0].asInt());
  const Json::Value& buffers = once["audio"]["buffers"];
  ASSERT_GE(buffers.size(), 30u);
  EXPECT_LE(buffers.size(), 41u);
  EXPECT_EQ(48000, buffers[0][1].asInt());
  EXPECT_EQ(2, buffers[0][2].asInt());

  Json::Value looped = Probe({
      R"({"type":"probe","data":{"run_ms":1300,
          "video":{"$video":{"source":"file","start_ms":300,"path":")" +
          path + R"(","loop":true}}}})",
  });
  // A second of a 0.4 s file: it went round more than twice, without a gap.
  times = Column(looped["video"]["frames"], 0);
  EXPECT_GE(times.size(), 22u);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(0.04, times[i] - times[i - 1], 0.02);
  ExpectNoErrorsButAborts(looped["video"]["errors"]);
}

TEST(TrackScriptTest, NamedTracksAreHandedAgainAndBadObjectsEndTheScript) {
  ChildResult run = kelmora_test::RunInChild([&](ChildSession& session) {
    std::string error;
    if (!session.browser().UseModule(new kelmora_test::EchoModule(), &error)) session.Fail(error);
    pphost::PageScript script(&session.browser(), session.Create());
    pphost::InstallScriptExtensions(&session.browser(), &script);
    auto expect_failure = [&](const std::string& line, const std::string& text) {
      std::string failure;
      if (script.RunLine(line, &failure)) session.Fail("accepted: " + line);
      if (failure.find(text) == std::string::npos) session.Fail(failure);
    };
    if (!script.RunLine(R"({"type":"a","data":{"v":{"$video":{"id":"screen"}}}})", &error) ||
        !script.RunLine(R"({"type":"b","data":{"again":{"$track":"screen"}}})", &error) ||
        !script.RunLine(R"({"$await":"echo","timeout_ms":5000})", &error) ||
        !script.RunLine(R"({"$await":"echo","timeout_ms":5000})", &error)) {
      session.Fail(error);
    }
    expect_failure(R"({"type":"c","data":{"$video":{"id":"screen"}}})", "exists already");
    expect_failure(R"({"type":"c","data":{"$track":"nobody"}})", "no track named");
    expect_failure(R"({"type":"c","data":{"$video":{"source":"tone"}}})", "no source");
    expect_failure(R"({"type":"c","data":{"$audio":{"rate":44000}}})", "not a rate");
    expect_failure(R"({"type":"c","data":{"$video":{"fps":0}}})", "\"fps\"");
    expect_failure(R"({"type":"c","data":{"$video":{"colour":1}}})", "no key \"colour\"");
    expect_failure(R"({"$track":"screen","rate":48000})", "no key \"rate\"");
    expect_failure(R"({"$track":"screen","width":10})", "both");
    expect_failure(R"({"type":"c","data":{"$video":{"source":"file","path":"/nonexistent"}}})",
                   "cannot open");
  });
  ASSERT_TRUE(run.Succeeded()) << run.Describe();
  std::vector<Json::Value> echoes = run.MessagesOfType("echo");
  ASSERT_EQ(2u, echoes.size());
  // Each hand-over is a resource of its own, as a browser makes one.
  EXPECT_TRUE(echoes[0]["data"]["data"]["v"].isMember("$resource"));
  EXPECT_TRUE(echoes[1]["data"]["data"]["again"].isMember("$resource"));
  EXPECT_NE(echoes[0]["data"]["data"]["v"], echoes[1]["data"]["data"]["again"]);
}

TEST(TrackScriptTest, ATrackHandedOverAgainIsFedByItsRunningSource) {
  // The first resource is let go at once (the probe ignores the message);
  // the second, made later, still gets the source's frames.
  Json::Value report = Probe({
      R"({"type":"hello","data":{"$video":{"id":"cam","source":"pattern","width":32,"height":32}}})",
      R"({"$sleep":200})",
      R"({"type":"probe","data":{"run_ms":600,"video":{"$track":"cam"}}})",
  });
  std::vector<double> times = Column(report["video"]["frames"], 0);
  EXPECT_GE(times.size(), 12u);
  ExpectNoErrorsButAborts(report["video"]["errors"]);
}

}  // namespace
