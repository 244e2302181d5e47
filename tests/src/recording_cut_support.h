#ifndef KELMORA_TESTS_SRC_RECORDING_CUT_SUPPORT_H_
#define KELMORA_TESTS_SRC_RECORDING_CUT_SUPPORT_H_

// What a recording with cuts must keep, measured on its file: every flash
// of the "sync" picture with its beep, away from the cuts, and both
// streams ending together at the last cut.

#include <algorithm>
#include <cstdlib>
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
// the recordings (1024 samples at 48000 Hz); the opus encoder's priming,
// which the muxer shifts, takes up to 15 ms more.
constexpr int64_t kFrameMs = 34;
constexpr int64_t kAudioFrameMs = 22;
constexpr int64_t kPrimingMs = 15;

struct SyncReport {
  int compared = 0;       // flashes whose beep was looked for
  int without_sound = 0;  // flashes with no beep within half a second
  std::vector<std::string> failures;
  std::string description;
};

// |cuts| in the file's time; |silent| stretches of the file where the
// sound of a replaced track had not yet come.
inline SyncReport CheckFlashesAndBeeps(const SyncMarks& marks, const std::vector<int64_t>& cuts,
                                       const std::vector<std::pair<int64_t, int64_t>>& silent) {
  SyncReport report;
  std::ostringstream out;
  out << "cuts:";
  for (int64_t cut : cuts) out << " " << cut;
  out << "\nflashes (picture before):";
  for (size_t i = 0; i < marks.flashes.size(); ++i)
    out << " " << marks.flashes[i] << " (" << marks.before_flashes[i] << ")";
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
    // The second fell between the picture before the flash and the flash;
    // where the track dropped more than two frames before it, it cannot
    // be placed closely enough to tell.
    if (flash - marks.before_flashes[i] > 3 * kFrameMs) continue;
    int64_t nearest = -100000;
    for (int64_t beep : marks.beeps) {
      if (std::llabs(beep - flash) < std::llabs(nearest - flash)) nearest = beep;
    }
    if (std::llabs(nearest - flash) > 500) {
      ++report.without_sound;
      continue;
    }
    ++report.compared;
    if (nearest > flash + kPrimingMs || nearest < marks.before_flashes[i] - kPrimingMs) {
      report.failures.push_back("flash at " + std::to_string(flash) + " ms, beep at " +
                                std::to_string(nearest) + " ms");
    }
  }
  return report;
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
