#include "movie_source_reader.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "utils.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace kelmora {

namespace {

// An option of the movie filter as text; empty when unset.
std::string OptionText(AVFilterContext* movie, const char* name) {
  uint8_t* value = nullptr;
  if (av_opt_get(movie, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) return "";
  std::string text(reinterpret_cast<char*>(value));
  av_free(value);
  return text;
}

int64_t OptionInt(AVFilterContext* movie, const char* name, int64_t missing) {
  int64_t value = missing;
  return av_opt_get_int(movie, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 ? missing : value;
}

// Whether the movie source uses only what this reader does the same way:
// a file, a seek point and demuxer options, the best stream of its kind.
bool TakesOptions(AVFilterContext* movie) {
  return movie->nb_outputs == 1 && movie->outputs[0] && !OptionText(movie, "filename").empty() &&
         OptionText(movie, "format_name").empty() && OptionText(movie, "streams").empty() &&
         OptionInt(movie, "stream_index", 0) == -1 && OptionInt(movie, "loop", 0) == 1 &&
         OptionInt(movie, "discontinuity", 1) == 0 && OptionInt(movie, "dec_threads", 1) == 0;
}

}  // namespace

std::unique_ptr<MovieSourceReader> MovieSourceReader::Replace(AVFilterGraph* graph,
                                                              AVFilterContext* movie,
                                                              int* result) {
  *result = 0;
  if (!TakesOptions(movie)) return nullptr;
  std::unique_ptr<MovieSourceReader> reader(new MovieSourceReader());
  *result = reader->Open(movie);
  if (*result < 0) return nullptr;

  // Where the movie's output goes; freeing the movie unlinks it.
  AVFilterLink* link = movie->outputs[0];
  AVFilterContext* next = link->dst;
  unsigned pad = 0;
  while (pad < next->nb_inputs && next->inputs[pad] != link) ++pad;
  const std::string name = std::string(movie->name ? movie->name : "movie") + "_reader";
  *result = reader->CreateSource(graph, name.c_str());
  if (*result < 0) return nullptr;
  avfilter_free(movie);
  *result = avfilter_link(reader->source_, 0, next, pad);
  if (*result < 0) {
    LogAvError("Could not link the movie reader", *result);
    return nullptr;
  }
  return reader;
}

int MovieSourceReader::Open(AVFilterContext* movie) {
  const std::string filename = OptionText(movie, "filename");
  const bool audio = strcmp(movie->filter->name, "amovie") == 0;
  AVDictionary* options = nullptr;
  av_opt_get_dict_val(movie, "format_opts", AV_OPT_SEARCH_CHILDREN, &options);
  AVFormatContext* input = nullptr;
  int result = avformat_open_input(&input, filename.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (result < 0) {
    LogAvError("Could not open the movie reader's input", result);
    return result;
  }
  input_.reset(input);
  // As the movie source: stream information is a help, not a need.
  avformat_find_stream_info(input, nullptr);

  double seek_point = 0.0;
  av_opt_get_double(movie, "seek_point", AV_OPT_SEARCH_CHILDREN, &seek_point);
  int64_t timestamp = static_cast<int64_t>(seek_point * 1000000 + 0.5);
  if (timestamp > 0) {
    if (input->start_time != AV_NOPTS_VALUE) timestamp += input->start_time;
    result = av_seek_frame(input, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    if (result < 0) {
      LogAvError("Could not seek the movie reader's input", result);
      return result;
    }
  }

  const AVMediaType type = audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  result = av_find_best_stream(input, type, -1, -1, nullptr, 0);
  if (result < 0) {
    LogAvError("No stream for the movie reader", result);
    return result;
  }
  for (unsigned i = 0; i < input->nb_streams; ++i) input->streams[i]->discard = AVDISCARD_ALL;
  stream_ = input->streams[result];
  stream_->discard = AVDISCARD_DEFAULT;
  if (audio && stream_->codecpar->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    const int channels = stream_->codecpar->ch_layout.nb_channels;
    av_channel_layout_uninit(&stream_->codecpar->ch_layout);
    av_channel_layout_default(&stream_->codecpar->ch_layout, channels);
  }

  const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
  if (!codec) {
    fprintf(stderr, "No decoder for the movie reader's stream\n");
    return AVERROR_DECODER_NOT_FOUND;
  }
  decoder_.reset(avcodec_alloc_context3(codec));
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!decoder_ || !packet_ || !frame_) return AVERROR(ENOMEM);
  result = avcodec_parameters_to_context(decoder_.get(), stream_->codecpar);
  if (result < 0) return result;
  decoder_->thread_count = movie->graph->nb_threads;
  result = avcodec_open2(decoder_.get(), codec, nullptr);
  if (result < 0) LogAvError("Could not open the movie reader's decoder", result);
  return result;
}

int MovieSourceReader::CreateSource(AVFilterGraph* graph, const char* name) {
  const AVCodecParameters* parameters = stream_->codecpar;
  const AVRational time_base = stream_->time_base;
  char args[512];
  const AVFilter* filter = nullptr;
  if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational rate = stream_->r_frame_rate;
    snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:frame_rate=%d/%d",
             parameters->width, parameters->height, parameters->format, time_base.num,
             time_base.den, rate.num, rate.den > 0 ? rate.den : 1);
    filter = avfilter_get_by_name("buffer");
  } else {
    char layout[128];
    if (av_channel_layout_describe(&parameters->ch_layout, layout, sizeof(layout)) < 0) {
      return AVERROR(EINVAL);
    }
    snprintf(args, sizeof(args), "time_base=%d/%d:sample_rate=%d:sample_fmt=%d:channel_layout=%s",
             time_base.num, time_base.den, parameters->sample_rate, parameters->format, layout);
    filter = avfilter_get_by_name("abuffer");
  }
  int result = avfilter_graph_create_filter(&source_, filter, name, args, nullptr, graph);
  if (result < 0) LogAvError("Could not create the movie reader's source", result);
  return result;
}

bool MovieSourceReader::Wanted() const {
  return !ended_ && av_buffersrc_get_nb_failed_requests(source_) > 0;
}

int MovieSourceReader::Feed() {
  while (!ended_) {
    int result = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (result >= 0) {
      result = PushFrame();
      if (result != 0) return result < 0 ? result : 0;
      continue;
    }
    if (result == AVERROR_EOF) return End();
    if (result != AVERROR(EAGAIN)) {
      Skip("frame", result);
      continue;
    }
    if (draining_) return End();

    result = av_read_frame(input_.get(), packet_.get());
    if (result < 0) {
      // A file cut short, or damaged past reading on, ends where reading
      // stopped; what the decoder still holds comes out first.
      if (result != AVERROR_EOF) LogAvError("Movie reader input ends at a read error", result);
      draining_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (packet_->stream_index == stream_->index) {
      result = avcodec_send_packet(decoder_.get(), packet_.get());
      if (result < 0 && result != AVERROR(EAGAIN)) Skip("packet", result);
    }
    av_packet_unref(packet_.get());
  }
  return 0;
}

// 1 when the frame went in, 0 when it was skipped.
int MovieSourceReader::PushFrame() {
  frame_->pts = frame_->best_effort_timestamp;
  const AVCodecParameters* parameters = stream_->codecpar;
  // A damaged picture that decodes to another size or format would break
  // the filters configured for the stream's own.
  if (parameters->codec_type == AVMEDIA_TYPE_VIDEO &&
      (frame_->format != parameters->format || frame_->width != parameters->width ||
       frame_->height != parameters->height)) {
    av_frame_unref(frame_.get());
    Skip("picture of another size or format", AVERROR_INVALIDDATA);
    return 0;
  }
  const int result = av_buffersrc_add_frame(source_, frame_.get());
  av_frame_unref(frame_.get());
  if (result < 0) {
    LogAvError("Could not feed the movie reader's frame", result);
    return result;
  }
  return 1;
}

int MovieSourceReader::End() {
  ended_ = true;
  const int result = av_buffersrc_add_frame(source_, nullptr);
  if (result < 0) LogAvError("Could not end the movie reader's stream", result);
  return result < 0 ? result : 0;
}

void MovieSourceReader::Skip(const char* what, int error) {
  ++skipped_;
  fprintf(stderr, "Skipped a damaged %s of stream %d: %s\n", what, stream_->index,
          AvErrorString(error).c_str());
}

}  // namespace kelmora
