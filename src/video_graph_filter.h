#ifndef KELMORA_VIDEO_GRAPH_FILTER_H_
#define KELMORA_VIDEO_GRAPH_FILTER_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "av_holders.h"
#include "graph_input_writer.h"
#include "movie_source_reader.h"
#include "video_writer.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
}

namespace kelmora {

// A filter graph described by text, fed through registered GraphInputWriters
// (or by source filters of its own text) and drained into one output writer
// that it owns. Exactly one video output and at most one audio output; audio
// is written before video whenever the written audio lies behind the written
// video, so the writer receives both streams interleaved by time.
//
// Order of use: set graph_description_ and writer_, AddInputWriter for every
// input the text names, InitFiltering once, then FilterAvailable or
// FilterOnce while input arrives, end the inputs, drain until both sides are
// done, Close.
class VideoGraphFilter {
 public:
  VideoGraphFilter();
  ~VideoGraphFilter();
  VideoGraphFilter(const VideoGraphFilter&) = delete;
  VideoGraphFilter& operator=(const VideoGraphFilter&) = delete;

  // Threads of the graph's filters; 0 (the default) lets the library
  // choose. Before the first AddInputWriter.
  void set_filter_threads(int threads);
  // Creates the writer's buffer sources and registers it (not owned).
  int AddInputWriter(GraphInputWriter* writer);
  // Parses and configures the graph, sizes and opens the output writer.
  int InitFiltering();
  // Pulls every frame the sinks can give now; a sink with nothing ready
  // ends the pass with 0. Video frames that wait for audio are taken out of
  // the graph and kept until their turn (see HoldReadyVideo).
  int FilterAvailable();
  // Pulls at most one frame; the try-again code is passed through.
  int FilterOnce();
  // Configures when needed, pulls until both sides end, then closes.
  int FilterToEnd();
  // Closes and deletes the output writer.
  int Close();
  // The writer's video position, or -1 once no writer is held.
  int64_t OutputPosition();
  // Video frames the writer has taken so far.
  int64_t video_frames_written() const { return video_frames_written_; }

  // Written by the owner before InitFiltering.
  std::string graph_description_;
  std::unique_ptr<VideoWriter> writer_;
  // Read by the owner to learn that a side has ended.
  bool audio_done_ = true;
  bool video_done_ = false;
  float thread_factor_ = 0.5f;

 private:
  struct GraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
  };

  int ConfigureGraph();
  // Puts a MovieSourceReader in place of every movie source of the text.
  int ReplaceMovieSources();
  // Feeds the readers the graph asked for input. The number fed, or a
  // negative code.
  int FeedMovieSources();
  bool LinkInputWriter(AVFilterInOut* input);
  int ConfigureOutputFilter(AVFilterInOut* output);
  int ConfigureVideoOutput(AVFilterInOut* output);
  int ConfigureAudioOutput(AVFilterInOut* output);
  // The side rule: audio while it lies behind the video or the video ended.
  bool AudioIsNext();
  int PullNextFrame();
  int PullAudioFrame();
  int PullVideoFrame();
  int PullFrame(AVFilterContext* sink, bool audio);
  // Rescales a pulled frame's pts to the writer's time base, writes it and
  // releases its references.
  int WritePulledFrame(AVFilterContext* sink, bool audio, AVFrame* frame);
  // Takes every video frame the sink can give now out of the graph, each
  // with a picture of its own, so that pictures lent by the inputs' callers
  // (track buffers) go back while the frames wait for audio.
  int HoldReadyVideo();

  std::vector<GraphInputWriter*> input_writers_;
  std::vector<std::unique_ptr<MovieSourceReader>> movie_readers_;
  std::unique_ptr<AVFilterGraph, GraphDeleter> graph_;
  AVFilterContext* output_filter_audio_ctx_ = nullptr;  // owned by graph_
  AVFilterContext* output_filter_video_ctx_ = nullptr;  // owned by graph_
  FramePtr frame_;
  // Video frames taken out of the sink ahead of their turn, oldest first,
  // and whether the sink reported its end behind them.
  std::deque<FramePtr> held_video_;
  bool video_end_held_ = false;
  int64_t video_frames_written_ = 0;
  // Where the next audio frame begins, in the writer's audio time base:
  // a frame that the graph gives without a time goes there.
  int64_t next_audio_pts_ = AV_NOPTS_VALUE;
};

}  // namespace kelmora

#endif  // KELMORA_VIDEO_GRAPH_FILTER_H_
