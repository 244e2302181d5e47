#ifndef KELMORA_EDIT_JOB_H_
#define KELMORA_EDIT_JOB_H_

#include <cstdint>
#include <memory>

#include "edit_config.h"
#include "video_graph_filter.h"

namespace kelmora {

// The engine of one edit: reads the input's metadata, has the edit graph
// written, picks the output writer (MP4, GIF or the default encode-and-mux
// writer) and runs the graph one frame at a time. Worker thread only; the
// instance drives it from its edit loop.
class EditJob {
 public:
  EditJob();
  EditJob(const EditJob&) = delete;
  EditJob& operator=(const EditJob&) = delete;

  // Prepares the edit from config_. Negative on failure; a later call
  // (with a new config_) starts over.
  int Init();
  // Moves at most one frame through the graph; closes the graph once both
  // streams have ended. Negative when the graph, the writer or the close
  // failed. Not to be called once IsDone.
  int Step();
  // Both streams have ended, or the edit was given up.
  bool IsDone() const;
  // Expected length of the output.
  int64_t GetDurationMs() const;
  // How far the output has got.
  int64_t GetProgressMs();
  // Bytes a GIF of the input is thought to take, for a picture of that
  // size with the scale box applied, over the input's whole duration.
  int64_t EstimateGifSize(int32_t width, int32_t height) const;

  // Written by the instance before Init.
  EditConfig config_;

  // GIF estimates above this are refused (700 MiB).
  static constexpr int64_t kMaxGifSize = 734003200;
  // Failed steps in a row after which the edit is given up: a graph or a
  // file system that keeps failing would otherwise never end the edit.
  static constexpr int kMaxFailedStepsInRow = 25;

 private:
  std::unique_ptr<VideoWriter> CreateWriter(int32_t width, int32_t height);
  void GiveUp();

  std::unique_ptr<VideoGraphFilter> filter_;
  int64_t input_duration_ms_ = 0;
  // A graph that went through InitFiltering keeps that attempt's filters;
  // the next attempt takes a fresh one.
  bool filter_used_ = false;
  int failed_steps_in_row_ = 0;
  bool given_up_ = false;
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_JOB_H_
