#ifndef KELMORA_TESTS_SRC_RECORDING_CUT_SUPPORT_H_
#define KELMORA_TESTS_SRC_RECORDING_CUT_SUPPORT_H_

// What a recording with cuts must keep, measured on its file: every flash
// of the "sync" picture with its beep, away from the cuts, and both
// streams ending together at the last cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {

// The numbers that follow each |mark| in |text|.
inline std::vector<int64_t> NumbersAfter(const std::string& text, const std::string& mark) {
  std::vector<int64_t> found;
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
    found.push_back(std::atoll(text.c_str() + at + mark.size()));
  }
  return found;
}

// Frame interval of the 30 fps sources, and the longest audio frame of
// the recordings (1024 samples at 48000 Hz).
constexpr int64_t kFrameMs = 34;
constexpr int64_t kAudioFrameMs = 22;

// Reads the sync marks of |file| of |run|: both streams must be there and
// decode without an error. Call it under ASSERT_NO_FATAL_FAILURE.
inline void ReadSyncFile(const RecordingRun& run, const std::string& file, SyncMarks* marks) {
  SCOPED_TRACE(file);
  *marks = FindSyncMarks(run.File(file));
  const StreamInfo* video = marks->info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = marks->info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio) << run.Describe();
  EXPECT_EQ(0, video->decode_errors);
  EXPECT_EQ(0, audio->decode_errors);
}

// Both streams of a file that ReadSyncFile read end at |cut|: the sound
// within one audio frame (the encoder pads its last), the last picture
// (one frame interval long) not past it.
inline void ExpectBothEndAt(const SyncMarks& marks, int64_t cut) {
  const StreamInfo* video = marks.info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = marks.info.Find(AVMEDIA_TYPE_AUDIO);
  EXPECT_LE(std::llabs(audio->last_end_ms - cut), kAudioFrameMs) << audio->last_end_ms;
  // The sound a player hears ends at the cut itself, not a frame before.
  EXPECT_NEAR(audio->decoded_audio_end_ms, static_cast<double>(cut), 1.5);
  EXPECT_LE(video->last_end_ms, cut + kFrameMs) << video->last_end_ms;
}

struct SyncReport {
  int compared = 0;       // flashes whose beep was looked for
  std::vector<int64_t> compared_at;
  int without_sound = 0;  // flashes with no beep within half a second
  std::vector<std::string> failures;
  std::string description;
};

using Stretches = std::vector<std::pair<int64_t, int64_t>>;

inline bool InStretch(const Stretches& stretches, int64_t t, int64_t before, int64_t after) {
  for (const auto& stretch : stretches) {
    if (t >= stretch.first - before && t <= stretch.second + after) return true;
  }
  return false;
}

// The times of the pictures of the file's video, in ms.
inline std::vector<int64_t> PictureTimes(const std::string& path) {
  std::vector<int64_t> times;
  DecodeFile(path, [&](const StreamInfo& stream, const AVFrame* frame) {
    if (stream.type != AVMEDIA_TYPE_VIDEO) return;
    times.push_back(av_rescale_q(frame->best_effort_timestamp, stream.time_base,
                                 AVRational{1, 1000}));
  });
  return times;
}

// |cuts| in the file's time; |silent| stretches of the file where the
// sound of a replaced track had not yet come; |gaps| stretches where a
// track delivered no sound (a loaded machine's source skips sound that is
// late), in the pumps' time; |pictures| the times of the file's pictures
// (where the track dropped frames, a flash may be gone).
inline SyncReport CheckFlashesAndBeeps(const SyncMarks& marks, const std::vector<int64_t>& cuts,
                                       const Stretches& silent, const Stretches& gaps = {},
                                       const std::vector<int64_t>& pictures = {}) {
  SyncReport report;
  std::ostringstream out;
  out << "cuts:";
  for (int64_t cut : cuts) out << " " << cut;
  out << "\nflashes (picture before, frame of the flash):";
  for (size_t i = 0; i < marks.flashes.size(); ++i) {
    out << " " << marks.flashes[i] << " (" << marks.before_flashes[i] << ", "
        << marks.flash_frames[i] << ")";
  }
  out << "\nbeeps:";
  for (int64_t beep : marks.beeps) out << " " << beep;
  report.description = out.str();

  for (size_t i = 0; i < marks.flashes.size(); ++i) {
    const int64_t flash = marks.flashes[i];
    // A second that falls on a cut loses its beep or its flash to it, as
    // the one comes up to a frame before the other.
    bool near_cut = false;
    for (int64_t cut : cuts) near_cut |= flash >= cut - 3 * kFrameMs && flash <= cut + 300;
    for (const auto& gap : silent) near_cut |= flash >= gap.first - 100 && flash <= gap.second + 50;
    if (near_cut) continue;
    // Where the machine dropped the flash's first frames, the later one
    // that came tells where the first would have been: the second began
    // there, and its beep within a frame interval of it.
    const int64_t second = marks.SecondOfFlash(i);
    const int64_t nearest = marks.NearestBeep(second);
    if (std::llabs(nearest - second) > 500) {
      if (!InStretch(gaps, flash, 2 * kFrameMs, 2 * kFrameMs)) ++report.without_sound;
      continue;
    }
    ++report.compared;
    report.compared_at.push_back(flash);
    if (std::llabs(nearest - second) > kFrameMs) {
      report.failures.push_back("flash at " + std::to_string(flash) + " ms (frame " +
                                std::to_string(marks.flash_frames[i]) + " of its flash), beep at " +
                                std::to_string(nearest) + " ms");
    }
  }
  // Sound that no picture flashed for: sound that does not belong where
  // it is, unless the track dropped the pictures there.
  if (!pictures.empty()) {
    for (int64_t beep : marks.beeps) {
      bool near_cut = InStretch(silent, beep, 100, 50);
      for (int64_t cut : cuts) near_cut |= beep >= cut - 3 * kFrameMs && beep <= cut + 300;
      if (near_cut || beep > pictures.back()) continue;
      bool flashed = false;
      for (int64_t flash : marks.flashes) flashed |= std::llabs(flash - beep) <= 500;
      if (flashed) continue;
      bool dropped = false;
      for (size_t i = 1; i < pictures.size(); ++i) {
        dropped |= pictures[i] - pictures[i - 1] > 3 * kFrameMs && pictures[i] >= beep - 150 &&
                   pictures[i - 1] <= beep + 150;
      }
      if (!dropped) report.failures.push_back("sound at " + std::to_string(beep) + " ms without its flash");
    }
  }
  return report;
}

// Where the pumps of |run| filled gaps of their tracks with silence, in
// the file's time.
inline Stretches SoundGaps(const RecordingRun& run, int64_t start_delay_ms) {
  Stretches gaps;
  const std::string tty = run.Tty();
  for (const std::string mark : {"AudioTrackPump 0: silence from ", "AudioTrackPump 1: silence from "}) {
    for (size_t at = tty.find(mark); at != std::string::npos; at = tty.find(mark, at + 1)) {
      char* end = nullptr;
      const int64_t from = std::strtoll(tty.c_str() + at + mark.size(), &end, 10);
      const int64_t to = end && std::strncmp(end, " to ", 4) == 0 ? std::atoll(end + 4) : from;
      gaps.emplace_back(from - start_delay_ms, to - start_delay_ms);
    }
  }
  return gaps;
}

// The cuts of |run| in the file's time, the start of the file first.
inline std::vector<int64_t> FileCuts(const RecordingRun& run, int64_t start_delay_ms) {
  std::vector<int64_t> cuts = {0};
  for (int64_t cut : NumbersAfter(run.Tty(), "scheduled stop at ")) {
    cuts.push_back(cut - start_delay_ms);
  }
  return cuts;
}

// Stretches from a cut to the first buffer of the first audio track that
// replaced the one before: sound before its configuration never comes.
inline std::vector<std::pair<int64_t, int64_t>> ReplacedTrackSilences(
    const RecordingRun& run, const std::vector<int64_t>& cuts, int64_t start_delay_ms) {
  std::vector<std::pair<int64_t, int64_t>> silent;
  for (int64_t first : NumbersAfter(
           run.Tty(), "AudioTrackPump 0: first buffer of replaced track, offsetting with ")) {
    const int64_t sound = first - start_delay_ms;
    int64_t cut = 0;
    for (int64_t c : cuts) {
      if (c <= sound + 50) cut = std::max(cut, c);
    }
    silent.emplace_back(cut, sound);
  }
  return silent;
}

}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_RECORDING_CUT_SUPPORT_H_
