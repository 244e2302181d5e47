// The reader put in a movie source's place gives the frames that the
// library's own movie source gives (the edit tests show it reading on past
// a damaged picture, where the library's source ends for good).

#include "movie_source_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "media_test_support.h"

extern "C" {
#include <libavfilter/buffersink.h>
}

namespace kelmora {
namespace {

using testing_support::TempPath;

struct Pulled {
  std::vector<int64_t> pts;
  int end = 0;  // what the sink gave at the end
  int64_t skipped = 0;
};

// Pulls every frame of `source` (a movie or amovie filter) through a null
// filter into a sink; with `reader`, through a MovieSourceReader put in the
// source's place.
Pulled Pull(const std::string& source, bool audio, bool reader) {
  Pulled pulled;
  std::unique_ptr<AVFilterGraph, void (*)(AVFilterGraph*)> graph(
      avfilter_graph_alloc(), [](AVFilterGraph* g) { avfilter_graph_free(&g); });
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  const std::string text = source + (audio ? ",anull" : ",null");
  pulled.end = avfilter_graph_parse2(graph.get(), text.c_str(), &inputs, &outputs);
  AVFilterContext* sink = nullptr;
  if (pulled.end >= 0) {
    pulled.end = avfilter_graph_create_filter(
        &sink, avfilter_get_by_name(audio ? "abuffersink" : "buffersink"), "sink", nullptr,
        nullptr, graph.get());
  }
  if (pulled.end >= 0) pulled.end = avfilter_link(outputs->filter_ctx, outputs->pad_idx, sink, 0);
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  if (pulled.end < 0) return pulled;
  std::unique_ptr<MovieSourceReader> feeder;
  if (reader) {
    feeder = MovieSourceReader::Replace(graph.get(), graph->filters[0], &pulled.end);
    if (!feeder) {
      ADD_FAILURE() << "not replaced: " << pulled.end;
      return pulled;
    }
  }
  pulled.end = avfilter_graph_config(graph.get(), nullptr);
  FramePtr frame(av_frame_alloc());
  while (pulled.end >= 0) {
    int result = av_buffersink_get_frame(sink, frame.get());
    if (result == AVERROR(EAGAIN) && feeder && feeder->Wanted()) {
      result = feeder->Feed();
      if (result >= 0) continue;
    }
    if (result < 0) {
      pulled.end = result;
      break;
    }
    pulled.pts.push_back(frame->pts);
    av_frame_unref(frame.get());
  }
  if (feeder) pulled.skipped = feeder->skipped();
  return pulled;
}

// 10 s of 30 pictures a second, VP8 and Opus, as the recorder writes.
std::string Recording() {
  static const std::string path = [] {
    std::string file = TempPath("movie_reader.webm");
    const std::string command =
        "/usr/bin/ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=s=320x240:r=30:d=10"
        " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 -ac 2 -c:a libopus"
        " -c:v libvpx -deadline realtime -cpu-used 8 -b:v 1M -threads 1 " + file;
    return system(command.c_str()) == 0 ? file : std::string();
  }();
  return path;
}

TEST(MovieSourceReaderTest, GivesWhatTheMovieSourceGives) {
  ASSERT_FALSE(Recording().empty());
  for (const char* seek : {"", ":seek_point=4.500"}) {
    for (bool audio : {false, true}) {
      SCOPED_TRACE(std::string(seek) + (audio ? " audio" : " video"));
      const std::string source =
          std::string(audio ? "amovie" : "movie") + "=filename=" + Recording() + seek;
      Pulled library = Pull(source, audio, false);
      Pulled reader = Pull(source, audio, true);
      EXPECT_EQ(AVERROR_EOF, library.end);
      EXPECT_EQ(AVERROR_EOF, reader.end);
      EXPECT_GT(reader.pts.size(), 100u);
      EXPECT_EQ(library.pts, reader.pts);
      EXPECT_EQ(0, reader.skipped);
    }
  }
  // Options that the reader does not take leave the library's source.
  AVFilterGraph* graph = avfilter_graph_alloc();
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  const std::string looped = "movie=filename=" + Recording() + ":loop=2,null";
  ASSERT_GE(avfilter_graph_parse2(graph, looped.c_str(), &inputs, &outputs), 0);
  int result = -1;
  EXPECT_FALSE(MovieSourceReader::Replace(graph, graph->filters[0], &result));
  EXPECT_EQ(0, result);
  EXPECT_STREQ("movie", graph->filters[0]->filter->name);
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  avfilter_graph_free(&graph);
}

}  // namespace
}  // namespace kelmora
