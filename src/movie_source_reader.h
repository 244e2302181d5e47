#ifndef KELMORA_MOVIE_SOURCE_READER_H_
#define KELMORA_MOVIE_SOURCE_READER_H_

#include <cstdint>
#include <memory>

#include "av_holders.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

namespace kelmora {

// Reads the stream that a graph's movie (or amovie) source names and feeds
// it into a buffer source put in that source's place. The library's own
// movie source ends its output for good at the first packet its decoder
// refuses, so one damaged spot would end the edit there; this reader skips
// such a packet, as the ffmpeg command line does, and ends the stream at a
// read error as at the end of the file. Frames, times and the end are
// otherwise what the movie source gives. Used only by the thread that runs
// the graph.
class MovieSourceReader {
 public:
  // Puts a reader in place of `movie`, a movie or amovie filter of `graph`
  // whose output is linked. Null with *result 0 when the filter is left as
  // it is (options this reader does not take), null with a negative
  // *result when the replacement failed; the graph is then unusable.
  static std::unique_ptr<MovieSourceReader> Replace(AVFilterGraph* graph,
                                                    AVFilterContext* movie, int* result);

  MovieSourceReader(const MovieSourceReader&) = delete;
  MovieSourceReader& operator=(const MovieSourceReader&) = delete;

  // Decodes until one frame went into the buffer source, or the stream
  // ended there. Negative only when the library fails (memory, the graph).
  int Feed();
  // The graph asked the buffer source for a frame it did not have.
  bool Wanted() const;
  bool ended() const { return ended_; }
  // Packets and frames skipped as damaged.
  int64_t skipped() const { return skipped_; }

 private:
  MovieSourceReader() = default;
  int Open(AVFilterContext* movie);
  int CreateSource(AVFilterGraph* graph, const char* name);
  int PushFrame();
  int End();
  void Skip(const char* what, int error);

  InputContextPtr input_;
  CodecContextPtr decoder_;
  AVStream* stream_ = nullptr;  // owned by input_
  AVFilterContext* source_ = nullptr;  // owned by the graph
  PacketPtr packet_;
  FramePtr frame_;
  bool draining_ = false;
  bool ended_ = false;
  int64_t skipped_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_MOVIE_SOURCE_READER_H_
