// A page that does not wait: commands whenever its user clicks, during a
// cut, twice, in any order, and "stop" retried until it is taken. Random
// sequences of them, each made from a seed, are played through
// plugin-host; every command must get the reply or console line of its
// state, and the file must keep its flashes with their beeps and end its
// sound with its picture.
//
// KELMORA_PAGE_SEQUENCES (3) sets how many are played, from the seed
// KELMORA_PAGE_SEED (a fixed one) on; KELMORA_PAGE_PARALLEL (1) how many
// at once. A failure names the seed that replays it alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "recording_cut_support.h"

namespace kelmora {
namespace {

// The audio pumps take their tracks' sound in buffers of this length.
constexpr int64_t kAudioBufferMs = 100;

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::atoi(value) : fallback;
}

struct PageSequence {
  std::vector<std::string> lines;
  int pauses = 0;
  int resumes = 0;
  int stops = 0;
  int replacements = 0;
  std::string summary;  // the commands, for a failure's message
};

PageSequence MakeSequence(uint32_t seed) {
  std::mt19937 random(seed);
  auto chance = [&](int percent) {
    return std::uniform_int_distribution<int>(0, 99)(random) < percent;
  };
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  PageSequence sequence;
  sequence.lines = {
      R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx","filename":"/html5_persistent/page.webm",)"
      R"("videoTrack":{"$video":{"id":"screen","source":"sync","width":160,"height":120,"fps":30,"flash_frames":3}},)"
      R"("audioTrack":{"$audio":{"source":"sync","rate":48000,"channels":2}},)"
      R"("audioTrack2":{"$audio":{"source":"sync","rate":48000,"channels":1}},"micVolume":1}})",
      R"({"$await":"start","match":false,"timeout_ms":15000})",
      R"({"$sleep":)" + std::to_string(between(800, 1600)) + "}"};
  auto command = [&](const std::string& type, const std::string& data) {
    sequence.lines.push_back(R"({"type":")" + type + R"(","data":)" + data + "}");
    sequence.summary += " " + type;
  };
  const int clicks = between(4, 9);
  for (int i = 0; i < clicks; ++i) {
    const int what = between(0, 9);
    const int times = chance(25) ? 2 : 1;  // a double click
    for (int n = 0; n < times; ++n) {
      if (what < 3) {
        command("pause", "{}");
        ++sequence.pauses;
      } else if (what < 6) {
        command("resume", "{}");
        ++sequence.resumes;
      } else if (what < 8) {
        command("replaceTracks", R"({"videoTrack":{"$track":"screen"}})");
        sequence.summary += "(video)";
        ++sequence.replacements;
      } else {
        const bool other_format = chance(50);
        command("replaceTracks",
                std::string(R"({"videoTrack":{"$track":"screen"},"audioTrack":{"$audio":{"source":"sync",)") +
                    (other_format ? R"("rate":44100,"channels":1}}})" : R"("rate":48000,"channels":2}}})"));
        sequence.summary += other_format ? "(video, audio 44100)" : "(video, audio)";
        ++sequence.replacements;
      }
      if (n + 1 < times) sequence.lines.push_back(R"({"$sleep":)" + std::to_string(between(0, 60)) + "}");
    }
    const int wait = chance(30) ? between(0, 120) : between(200, 900);
    sequence.lines.push_back(R"({"$sleep":)" + std::to_string(wait) + "}");
    sequence.summary += " ~" + std::to_string(wait);
  }
  // "stop" until it is taken: refused while a pause is cut, and after it
  // was taken.
  for (int i = 0; i < 6; ++i) {
    command("stop", "{}");
    ++sequence.stops;
    sequence.lines.push_back(R"({"$sleep":400})");
  }
  sequence.lines.push_back(R"({"$await":"stop","match":false,"timeout_ms":15000})");
  sequence.lines.push_back(R"({"$await":"state","match":{"state":"closed"}})");
  return sequence;
}

int Count(const std::vector<std::string>& texts, const std::string& text) {
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

int CountLines(const std::string& text, const std::string& line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

// Plays the sequence of |seed|; the failures found, none when it held.
std::vector<std::string> PlaySequence(uint32_t seed) {
  std::vector<std::string> failures;
  auto fail = [&](const std::string& what) { failures.push_back(what); };
  const PageSequence sequence = MakeSequence(seed);
  TempDir dir;
  RecordingRun run = RunRecording(dir.path(), sequence.lines);
  if (run.program.exit_code != 0) {
    fail("plugin-host ended with " + std::to_string(run.program.exit_code) + " (signal " +
         std::to_string(run.program.term_signal) + ")");
  }
  for (const std::string& error : run.Errors()) fail("error: " + error);

  // Every command gets the reply or console line its state gives.
  const std::vector<std::string> pauses = run.Replies("pause");
  if (static_cast<int>(pauses.size()) != sequence.pauses ||
      Count(pauses, "false") + Count(pauses, "cannot pause, not recording") !=
          static_cast<int>(pauses.size())) {
    fail("pause replies: " + ::testing::PrintToString(pauses));
  }
  const std::vector<std::string> resumes = run.Replies("resume");
  const int not_paused = CountLines(run.program.err, "LOG ruzevUroviRodarav:cannot resume, not paused");
  if (Count(resumes, "false") != static_cast<int>(resumes.size()) ||
      static_cast<int>(resumes.size()) + not_paused != sequence.resumes) {
    fail("resume replies: " + ::testing::PrintToString(resumes) + " and " +
         std::to_string(not_paused) + " console lines");
  }
  const std::vector<std::string> stops = run.Replies("stop");
  if (static_cast<int>(stops.size()) != sequence.stops || Count(stops, "false") != 1 ||
      Count(stops, "cannot stop in this state") != sequence.stops - 1) {
    fail("stop replies: " + ::testing::PrintToString(stops));
  }
  // A switch whose cut a later command took the place of gets no reply
  // of its own.
  const std::vector<std::string> replacements = run.Replies("replaceTracks");
  if (static_cast<int>(replacements.size()) > sequence.replacements ||
      Count(replacements, "false") +
              Count(replacements, "replaceTracks only possible in paused or recording state") !=
          static_cast<int>(replacements.size())) {
    fail("replaceTracks replies: " + ::testing::PrintToString(replacements));
  }
  const std::vector<Json::Value> states = run.OfType("state");
  if (states.empty() || states.back()["data"]["state"].asString() != "closed") {
    fail("the last state is not closed");
  }
  if (run.HasTty("Timestamps are unset") || run.program.err.find("Timestamps are unset") != std::string::npos) {
    fail("a packet without timestamps reached the muxer");
  }

  // The file.
  SyncMarks marks = FindSyncMarks(run.File("page.webm"));
  const StreamInfo* video = marks.info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = marks.info.Find(AVMEDIA_TYPE_AUDIO);
  if (!video || !audio) {
    fail("the file lacks a stream");
  } else {
    if (video->decode_errors || audio->decode_errors) fail("decode errors");
    for (const StreamInfo* stream : {video, audio}) {
      for (size_t i = 1; i < stream->packet_dts.size(); ++i) {
        if (stream->packet_dts[i] == AV_NOPTS_VALUE ||
            stream->packet_dts[i] <= stream->packet_dts[i - 1]) {
          fail("packet " + std::to_string(i) + " of stream " +
               (stream == video ? "video" : "audio") + " has dts " +
               std::to_string(stream->packet_dts[i]) + " after " +
               std::to_string(stream->packet_dts[i - 1]));
          break;
        }
      }
    }
    const std::vector<int64_t> cuts = FileCuts(run, 0);
    const SyncReport report =
        CheckFlashesAndBeeps(marks, cuts, ReplacedTrackSilences(run, cuts, 0), SoundGaps(run, 0),
                             PictureTimes(run.File("page.webm")));
    for (const std::string& failure : report.failures) fail(failure);
    if (report.without_sound) {
      fail(std::to_string(report.without_sound) + " flashes without their beep");
    }
    // Both end at the stop's cut.
    if (std::llabs(audio->last_end_ms - cuts.back()) > kAudioFrameMs) {
      fail("sound ends at " + std::to_string(audio->last_end_ms) + " ms, the cut is at " +
           std::to_string(cuts.back()));
    }
    if (std::fabs(audio->decoded_audio_end_ms - static_cast<double>(cuts.back())) > 1.5) {
      fail("the decoded sound ends at " + std::to_string(audio->decoded_audio_end_ms) +
           " ms, the cut is at " + std::to_string(cuts.back()));
    }
    if (video->last_end_ms > cuts.back() + kFrameMs) {
      fail("picture ends at " + std::to_string(video->last_end_ms) + " ms, the cut is at " +
           std::to_string(cuts.back()));
    }
    // The file lasts the recording time of the stop: the last state
    // before "closed" was sent at the "stop" taken, and its cut lies where
    // the pumps and the video had got to, up to one audio buffer (100 ms)
    // and a frame behind; "closed" comes after the cut.
    if (states.size() >= 2) {
      const double last = states[states.size() - 2]["data"]["time"].asDouble() * 1000;
      const double closed = states.back()["data"]["time"].asDouble() * 1000;
      const double length = static_cast<double>(std::max(audio->last_end_ms, video->last_end_ms));
      if (length < last - kAudioBufferMs - kFrameMs ||
          length > closed + kFrameMs) {
        fail("the file lasts " + std::to_string(length) + " ms, the page's clock said " +
             std::to_string(last) + " ms at the stop and " + std::to_string(closed) +
             " ms at its close");
      }
    }
    if (!failures.empty()) {
      failures.push_back(report.description);
      // Kept for a look: the test's directory goes with it.
      const std::string kept = testing_support::TestOutputDir() + "/page-" + std::to_string(seed) + ".webm";
      std::rename(run.File("page.webm").c_str(), kept.c_str());
      failures.push_back("file kept as " + kept);
    }
  }
  if (!failures.empty()) {
    failures.insert(failures.begin(), "sequence:" + sequence.summary);
    failures.push_back(run.Tty());
  }
  return failures;
}

TEST(RecordingPageSequenceTest, RandomClicksGetTheirRepliesAndKeepTheFileInSync) {
  const int count = EnvInt("KELMORA_PAGE_SEQUENCES", 3);
  const uint32_t first_seed = static_cast<uint32_t>(EnvInt("KELMORA_PAGE_SEED", 18061));
  const int parallel = std::max(1, EnvInt("KELMORA_PAGE_PARALLEL", 1));
  int held = 0;
  for (int begin = 0; begin < count; begin += parallel) {
    std::vector<std::future<std::vector<std::string>>> runs;
    for (int i = begin; i < std::min(count, begin + parallel); ++i) {
      runs.push_back(std::async(std::launch::async, PlaySequence, first_seed + i));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
      const uint32_t seed = first_seed + begin + static_cast<uint32_t>(i);
      std::vector<std::string> failures = runs[i].get();
      if (failures.empty()) {
        ++held;
        continue;
      }
      std::string text;
      for (const std::string& failure : failures) text += failure + "\n";
      ADD_FAILURE() << "sequence of seed " << seed
                    << " failed (replay it with KELMORA_PAGE_SEED=" << seed
                    << " KELMORA_PAGE_SEQUENCES=1):\n"
                    << text;
    }
  }
  printf("%d of %d page sequences held\n", held, count);
}

}  // namespace
}  // namespace kelmora
