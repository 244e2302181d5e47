#include "video_graph_filter.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame_timeline.h"
#include "utils.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
}

namespace kelmora {

namespace {

struct InOutDeleter {
  void operator()(AVFilterInOut* inout) const { avfilter_inout_free(&inout); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

// Format names for filter arguments; "none" rather than a null pointer.
const char* PixelFormatName(AVPixelFormat format) {
  const char* name = av_get_pix_fmt_name(format);
  return name ? name : "none";
}

const char* SampleFormatName(AVSampleFormat format) {
  const char* name = av_get_sample_fmt_name(format);
  return name ? name : "none";
}

const char* LabelOf(const AVFilterInOut* inout) {
  return inout->name ? inout->name : "";
}

// Links an open output through its format filter into its sink.
int LinkToSink(AVFilterInOut* output, AVFilterContext* format,
               AVFilterContext* sink) {
  int result = avfilter_link(output->filter_ctx, output->pad_idx, format, 0);
  if (result < 0) {
    return result;
  }
  result = avfilter_link(format, 0, sink, 0);
  return result < 0 ? result : 0;
}

}  // namespace

VideoGraphFilter::VideoGraphFilter() : graph_(avfilter_graph_alloc()) {
  assert(graph_ != __null);
}

VideoGraphFilter::~VideoGraphFilter() = default;

int VideoGraphFilter::AddInputWriter(GraphInputWriter* writer) {
  const bool has_video = writer->IsVideoEnabled();
  const bool has_audio = writer->IsAudioEnabled();
  if ((!has_video && !has_audio) ||
      (has_video && writer->pixel_format() == AV_PIX_FMT_NONE) ||
      (has_audio && writer->audio_sample_rate() <= 0)) {
    fprintf(stderr, "cannot add unconfigured GraphInputWriter\n");
    return -1;
  }

  int result = 0;
  if (has_video) {
    char args[256];
    AVRational time_base = writer->video_time_base();
    snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%s:time_base=%d/%d",
             writer->width(), writer->height(),
             PixelFormatName(writer->pixel_format()), time_base.num,
             time_base.den);
    AVFilterContext* source = nullptr;
    result = avfilter_graph_create_filter(
        &source, avfilter_get_by_name("buffer"),
        writer->video_source_name().c_str(), args, nullptr, graph_.get());
    if (result < 0) {
      LogAvError("Could not create video input filter", result);
      return result;
    }
    writer->video_filter_ctx_ = source;
  }
  if (has_audio) {
    char args[256];
    AVRational time_base = writer->audio_time_base();
    snprintf(args, sizeof(args),
             "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=0x%llx",
             time_base.num, time_base.den, writer->audio_sample_rate(),
             SampleFormatName(writer->sample_format()),
             static_cast<unsigned long long>(writer->channel_layout()));
    AVFilterContext* source = nullptr;
    result = avfilter_graph_create_filter(
        &source, avfilter_get_by_name("abuffer"),
        writer->audio_source_name().c_str(), args, nullptr, graph_.get());
    if (result < 0) {
      LogAvError("Could not create audio input filter", result);
      return result;
    }
    writer->audio_filter_ctx_ = source;
  }
  input_writers_.push_back(writer);
  return result;
}

void VideoGraphFilter::set_filter_threads(int threads) {
  if (graph_) graph_->nb_threads = threads;
}

int VideoGraphFilter::ConfigureGraph() {
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  int result = avfilter_graph_parse2(graph_.get(), graph_description_.c_str(),
                                     &inputs, &outputs);
  InOutPtr inputs_holder(inputs);
  InOutPtr outputs_holder(outputs);
  if (result < 0) {
    // A failed parse frees every filter of the graph, the input sources
    // and any sinks of an earlier attempt too: no writer may push into them,
    // and none can be linked any more.
    for (GraphInputWriter* writer : input_writers_) {
      writer->video_filter_ctx_ = nullptr;
      writer->audio_filter_ctx_ = nullptr;
    }
    input_writers_.clear();
    output_filter_audio_ctx_ = nullptr;
    output_filter_video_ctx_ = nullptr;
    return result;
  }

  if (!inputs && !input_writers_.empty()) {
    // The configuration below refuses the sources left unconnected.
    fprintf(stderr, "Filter graph has input writer but no inputs\n");
  } else {
    for (AVFilterInOut* input = inputs; input; input = input->next) {
      if (!LinkInputWriter(input)) {
        fprintf(stdout, "Filter graph has no input writer for: %s\n",
                LabelOf(input));
        return -1;
      }
    }
  }
  inputs_holder.reset();

  for (AVFilterInOut* output = outputs; output; output = output->next) {
    result = ConfigureOutputFilter(output);
    if (result < 0) {
      return result;
    }
  }
  if (!output_filter_video_ctx_) {
    fprintf(stderr, "Filter graph has no outputs\n");
    return -1;
  }
  outputs_holder.reset();

  result = ReplaceMovieSources();
  if (result < 0) {
    return result;
  }

  // Let the library convert wherever two linked pads disagree.
  avfilter_graph_set_auto_convert(graph_.get(), AVFILTER_AUTO_CONVERT_ALL);
  return avfilter_graph_config(graph_.get(), nullptr);
}

int VideoGraphFilter::ReplaceMovieSources() {
  // The filter list changes as sources are replaced.
  std::vector<AVFilterContext*> movies;
  for (unsigned i = 0; i < graph_->nb_filters; ++i) {
    const char* name = graph_->filters[i]->filter->name;
    if (strcmp(name, "movie") == 0 || strcmp(name, "amovie") == 0) {
      movies.push_back(graph_->filters[i]);
    }
  }
  for (AVFilterContext* movie : movies) {
    int result = 0;
    std::unique_ptr<MovieSourceReader> reader =
        MovieSourceReader::Replace(graph_.get(), movie, &result);
    if (result < 0) {
      return result;
    }
    if (reader) {
      movie_readers_.push_back(std::move(reader));
    }
  }
  return 0;
}

int VideoGraphFilter::FeedMovieSources() {
  int fed = 0;
  for (const std::unique_ptr<MovieSourceReader>& reader : movie_readers_) {
    if (!reader->Wanted()) {
      continue;
    }
    int result = reader->Feed();
    if (result < 0) {
      return result;
    }
    ++fed;
  }
  return fed;
}

bool VideoGraphFilter::LinkInputWriter(AVFilterInOut* input) {
  const AVMediaType type =
      avfilter_pad_get_type(input->filter_ctx->input_pads, input->pad_idx);
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
    fprintf(stderr, "Unknown unsupported graph input type: %s",
            LabelOf(input));
    return false;
  }
  const bool video = type == AVMEDIA_TYPE_VIDEO;
  const std::string label = LabelOf(input);
  for (GraphInputWriter* writer : input_writers_) {
    if (video ? !writer->IsVideoEnabled() : !writer->IsAudioEnabled()) {
      continue;
    }
    if ((video ? writer->video_source_name() : writer->audio_source_name()) !=
        label) {
      continue;
    }
    AVFilterContext* source =
        video ? writer->video_filter_ctx_ : writer->audio_filter_ctx_;
    int result = avfilter_link(source, 0, input->filter_ctx, input->pad_idx);
    if (result < 0) {
      LogAvError(video ? "Failed to link GraphInputWriter video"
                       : "Failed to link GraphInputWriter audio",
                 result);
      return false;
    }
    return true;
  }
  return false;
}

int VideoGraphFilter::ConfigureOutputFilter(AVFilterInOut* output) {
  const AVMediaType type =
      avfilter_pad_get_type(output->filter_ctx->output_pads, output->pad_idx);
  assert(type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO);
  if (type == AVMEDIA_TYPE_VIDEO) {
    return ConfigureVideoOutput(output);
  }
  return ConfigureAudioOutput(output);
}

int VideoGraphFilter::ConfigureVideoOutput(AVFilterInOut* output) {
  if (output_filter_video_ctx_) {
    fprintf(stderr, "Filter graph has multiple video outputs\n");
    return -1;
  }
  int result = avfilter_graph_create_filter(
      &output_filter_video_ctx_, avfilter_get_by_name("buffersink"), "vout",
      nullptr, nullptr, graph_.get());
  if (result < 0) {
    return result;
  }

  char args[256];
  snprintf(args, sizeof(args), "pix_fmts=%s",
           PixelFormatName(writer_->pixel_format()));
  AVFilterContext* format = nullptr;
  result = avfilter_graph_create_filter(&format, avfilter_get_by_name("format"),
                                        "format", args, nullptr, graph_.get());
  if (result < 0) {
    LogAvError("Could not create video format filter", result);
    return result;
  }

  return LinkToSink(output, format, output_filter_video_ctx_);
}

int VideoGraphFilter::ConfigureAudioOutput(AVFilterInOut* output) {
  if (output_filter_audio_ctx_) {
    fprintf(stderr, "Filter graph has multiple audio outputs\n");
    return -1;
  }
  int result = avfilter_graph_create_filter(
      &output_filter_audio_ctx_, avfilter_get_by_name("abuffersink"), "aout",
      nullptr, nullptr, graph_.get());
  if (result < 0) {
    return result;
  }

  std::string rates_prefix;
  std::vector<int> rates = writer_->SupportedSampleRates();
  if (!rates.empty()) {
    std::string rates_text;
    for (size_t i = 0; i < rates.size(); ++i) {
      if (i > 0) {
        rates_text += "|";
      }
      rates_text += std::to_string(rates[i]);
    }
    rates_prefix = "sample_rates=" + rates_text + ":";
  }
  char args[256];
  snprintf(args, sizeof(args), "%ssample_fmts=%s:channel_layouts=0x%llx",
           rates_prefix.c_str(), SampleFormatName(writer_->sample_format()),
           static_cast<unsigned long long>(writer_->channel_layout()));
  AVFilterContext* format = nullptr;
  result = avfilter_graph_create_filter(&format, avfilter_get_by_name("aformat"),
                                        "aformat", args, nullptr, graph_.get());
  if (result < 0) {
    LogAvError("Could not create audio format filter", result);
    return result;
  }

  return LinkToSink(output, format, output_filter_audio_ctx_);
}

int VideoGraphFilter::InitFiltering() {
  assert(writer_ != __null);
  writer_->SetThreadFactor(thread_factor_);

  int result;
  {
    FrameTimeline::Step step("configure graph");
    result = ConfigureGraph();
  }
  if (result < 0) {
    return result;
  }

  int audio_rate = 0;
  next_audio_pts_ = AV_NOPTS_VALUE;
  if (output_filter_audio_ctx_) {
    audio_done_ = false;
    audio_rate = av_buffersink_get_sample_rate(output_filter_audio_ctx_);
  }
  writer_->SetVideoSize(av_buffersink_get_w(output_filter_video_ctx_),
                        av_buffersink_get_h(output_filter_video_ctx_));
  writer_->SetAudioSampleRate(audio_rate);
  // A writer that must be prepared fails its Open with this result anyway.
  writer_->Init();
  result = writer_->Open();
  if (result < 0) {
    return result;
  }

  if (output_filter_audio_ctx_) {
    // Every pulled audio frame then holds what the encoder takes per frame.
    av_buffersink_set_frame_size(output_filter_audio_ctx_,
                                 writer_->audio_frame_size());
  }
  frame_.reset(av_frame_alloc());
  if (!frame_) {
    return AVERROR(ENOMEM);
  }
  return result;
}

bool VideoGraphFilter::AudioIsNext() {
  return !audio_done_ &&
         (writer_->AudioPosition() < writer_->VideoPosition() || video_done_);
}

int VideoGraphFilter::PullNextFrame() {
  return AudioIsNext() ? PullAudioFrame() : PullVideoFrame();
}

int VideoGraphFilter::PullAudioFrame() {
  return PullFrame(output_filter_audio_ctx_, true);
}

int VideoGraphFilter::PullVideoFrame() {
  if (!held_video_.empty()) {
    FramePtr frame = std::move(held_video_.front());
    held_video_.pop_front();
    return WritePulledFrame(output_filter_video_ctx_, false, frame.get());
  }
  if (video_end_held_) {
    video_done_ = true;
    return 0;
  }
  return PullFrame(output_filter_video_ctx_, false);
}

int VideoGraphFilter::PullFrame(AVFilterContext* sink, bool audio) {
  assert(writer_ != __null);
  assert(frame_ != __null);
  int result = av_buffersink_get_frame(sink, frame_.get());
  // A sink fed by movie readers waits only for what they read next.
  while (result == AVERROR(EAGAIN)) {
    const int fed = FeedMovieSources();
    if (fed <= 0) {
      result = fed < 0 ? fed : result;
      break;
    }
    result = av_buffersink_get_frame(sink, frame_.get());
  }
  if (result == AVERROR_EOF) {
    (audio ? audio_done_ : video_done_) = true;
    return 0;
  }
  if (result < 0) {
    return result;
  }
  return WritePulledFrame(sink, audio, frame_.get());
}

int VideoGraphFilter::WritePulledFrame(AVFilterContext* sink, bool audio,
                                       AVFrame* frame) {
  assert(writer_ != __null);
  AVRational writer_time_base =
      audio ? writer_->audio_time_base() : writer_->video_time_base();
  if (frame->pts != AV_NOPTS_VALUE) {
    frame->pts = av_rescale_q(frame->pts, av_buffersink_get_time_base(sink),
                              writer_time_base);
  } else if (audio) {
    // A mix whose first input has ended gives the rest of the others
    // without a time: it follows the sound before it.
    frame->pts = next_audio_pts_;
  }
  if (audio && frame->pts != AV_NOPTS_VALUE && frame->sample_rate > 0) {
    next_audio_pts_ = frame->pts + av_rescale_q(frame->nb_samples,
                                                AVRational{1, frame->sample_rate},
                                                writer_time_base);
  }
  int result = audio ? writer_->WriteAudioFrame(frame)
                     : writer_->WriteVideoFrame(frame);
  av_frame_unref(frame);
  if (!audio && result >= 0) {
    ++video_frames_written_;
  }
  return result;
}

int VideoGraphFilter::HoldReadyVideo() {
  while (!video_done_ && !video_end_held_) {
    FramePtr frame(av_frame_alloc());
    if (!frame) {
      return AVERROR(ENOMEM);
    }
    int result = av_buffersink_get_frame(output_filter_video_ctx_, frame.get());
    if (result == AVERROR(EAGAIN)) {
      return 0;
    }
    if (result == AVERROR_EOF) {
      video_end_held_ = true;
      return 0;
    }
    if (result < 0) {
      return result;
    }
    // Copies only a picture that is shared or read-only; a filter's own
    // output (an overlay's) is kept as it is.
    result = av_frame_make_writable(frame.get());
    if (result < 0) {
      // Kept all the same: the frame is not lost, its buffer only returns
      // later.
      LogAvError("Could not copy a held video frame", result);
    }
    held_video_.push_back(std::move(frame));
  }
  return 0;
}

int VideoGraphFilter::FilterAvailable() {
  assert(output_filter_video_ctx_ != __null);
  int result = 0;
  bool audio_turn = false;
  while (!(audio_done_ && video_done_) && result >= 0) {
    audio_turn = AudioIsNext();
    result = audio_turn ? PullAudioFrame() : PullVideoFrame();
  }
  if (result == AVERROR(EAGAIN)) {
    // Video waits for audio: without this, its frames would wait inside
    // the graph, holding their inputs' buffers.
    return audio_turn ? HoldReadyVideo() : 0;
  }
  return result < 0 ? result : 0;
}

int VideoGraphFilter::FilterOnce() {
  assert(output_filter_video_ctx_ != __null);
  if (audio_done_ && video_done_) {
    return 0;
  }
  return PullNextFrame();
}

int VideoGraphFilter::FilterToEnd() {
  if (!output_filter_video_ctx_) {
    int result = InitFiltering();
    if (result < 0) {
      return result;
    }
  }
  while (!(audio_done_ && video_done_)) {
    int result = PullNextFrame();
    if (result < 0) {
      return result;
    }
  }
  return Close();
}

int VideoGraphFilter::Close() {
  assert(writer_ != __null);
  frame_.reset();
  held_video_.clear();
  int result = writer_->Close();
  // The writer goes whatever its close gave.
  writer_.reset();
  return result;
}

int64_t VideoGraphFilter::OutputPosition() {
  return writer_ ? writer_->VideoPosition() : -1;
}

}  // namespace kelmora
