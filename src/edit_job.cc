#include "edit_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "edit_graph_builder.h"
#include "gif_video_writer.h"
#include "simple_video_writer.h"
#include "video_metadata.h"

namespace kelmora {

namespace {

// Whether the two names lead to one file: by name, or by identity, which
// also sees through "./", "//" and links.
bool SameFile(const std::string& first, const std::string& second) {
  if (first == second) return true;
  struct stat first_info;
  struct stat second_info;
  return stat(first.c_str(), &first_info) == 0 && stat(second.c_str(), &second_info) == 0 &&
         first_info.st_dev == second_info.st_dev && first_info.st_ino == second_info.st_ino;
}

}  // namespace

EditJob::EditJob() : filter_(new VideoGraphFilter()) {}

int EditJob::Init() {
  boost::optional<VideoMetadata> metadata = ReadVideoMetadata(config_.inFilename);
  if (!metadata) {
    fprintf(stderr, "Failed to read metadata of '%s'\n", config_.inFilename.c_str());
    return -1;
  }
  input_duration_ms_ = metadata->duration_ms;
  // Opening the output would empty the input before the graph reads it.
  if (SameFile(config_.inFilename, config_.outFilename)) {
    fprintf(stderr, "Output file is the input file '%s'\n", config_.outFilename.c_str());
    return -1;
  }

  boost::optional<std::string> description = EditGraphBuilder(config_).Build();
  if (!description) {
    fprintf(stderr, "Failed to build filter graph\n");
    return -1;
  }
  printf("using edit graph: %s\n", description->c_str());
  if (filter_used_) {
    filter_.reset(new VideoGraphFilter());
    filter_used_ = false;
  }
  filter_->graph_description_ = *description;

  std::unique_ptr<VideoWriter> writer = CreateWriter(metadata->width, metadata->height);
  if (!writer) return -1;
  filter_->writer_ = std::move(writer);
  filter_used_ = true;
  return filter_->InitFiltering();
}

std::unique_ptr<VideoWriter> EditJob::CreateWriter(int32_t width, int32_t height) {
  if (config_.outFormat == kEditOutFormatGif) {
    if (EstimateGifSize(width, height) > kMaxGifSize) {
      fprintf(stderr, "File too large for gif export\n");
      return nullptr;
    }
    return std::unique_ptr<VideoWriter>(new GifVideoWriter(config_.outFilename));
  }
  std::unique_ptr<SimpleVideoWriter> writer(new SimpleVideoWriter(config_.outFilename));
  if (config_.outFormat == kEditOutFormatMp4) {
    writer->format_name_ = "mp4";
    // A missing encoder leaves the writer's default in place.
    writer->SetVideoCodec("libx264");
    writer->SetAudioCodec("aac");
  }
  return writer;
}

int EditJob::Step() {
  int result = filter_->FilterOnce();
  if (result < 0) {
    if (++failed_steps_in_row_ >= kMaxFailedStepsInRow) GiveUp();
    return result;
  }
  failed_steps_in_row_ = 0;
  if (filter_->audio_done_ && filter_->video_done_) {
    const bool no_picture = filter_->video_frames_written() == 0;
    result = filter_->Close();
    if (result < 0) return result;
    // A trim beyond the input's end, or one that ends before it starts,
    // leaves a file without streams, which is no finished edit.
    if (no_picture) {
      fprintf(stderr, "The edit kept no picture\n");
      return -1;
    }
    return 0;
  }
  return 0;
}

void EditJob::GiveUp() {
  fprintf(stderr, "Giving up the edit after %d failed steps\n", failed_steps_in_row_);
  given_up_ = true;
  // Whatever the writer still can finish is kept; its own failure is
  // already reported.
  if (filter_->writer_) filter_->Close();
}

bool EditJob::IsDone() const {
  return given_up_ || (filter_->audio_done_ && filter_->video_done_);
}

int64_t EditJob::GetDurationMs() const {
  if (!config_.trim) return input_duration_ms_;
  const TrimRange& trim = *config_.trim;
  // Bounds that are not positive are open, as in the graph.
  int64_t end_ms = input_duration_ms_;
  if (trim.end > 0.0) {
    const double end = trim.end * 1000.0;
    if (end < static_cast<double>(input_duration_ms_)) end_ms = static_cast<int64_t>(end);
  }
  const double start_ms = trim.start > 0.0 ? trim.start * 1000.0 : 0.0;
  const double duration = static_cast<double>(end_ms) - start_ms;
  // A start beyond every int64 would not convert.
  if (duration < static_cast<double>(std::numeric_limits<int64_t>::min())) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(duration);
}

int64_t EditJob::GetProgressMs() {
  if (filter_->audio_done_ && filter_->video_done_) return input_duration_ms_;
  return filter_->OutputPosition();
}

int64_t EditJob::EstimateGifSize(int32_t width, int32_t height) const {
  int64_t w = width;
  int64_t h = height;
  // The size the scale step really gives: a box with one side, or a side
  // of -1, keeps the picture, which a ratio of the box's sides would count
  // as none.
  if (config_.scale && width > 0 && height > 0) {
    const std::pair<int64_t, int64_t> size = ScaledSize(width, height, *config_.scale);
    w = size.first;
    h = size.second;
  }
  // Wide arithmetic: a header that claims an absurd duration or size must
  // not wrap round into an accepted estimate.
  __int128 size = static_cast<__int128>(5) * w * h;
  size = size * (static_cast<__int128>(input_duration_ms_) * 8) / 1000;
  if (size > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (size < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(size);
}

}  // namespace kelmora
