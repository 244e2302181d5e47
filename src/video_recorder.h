#ifndef KELMORA_VIDEO_RECORDER_H_
#define KELMORA_VIDEO_RECORDER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "geometry.h"
#include "raw_video_writer.h"
#include "video_graph_filter.h"

namespace kelmora {

class EncodingStage;
class SimpleVideoWriter;
class GraphInputWriter;

// The media back end of one recording: the output file, the named graph
// inputs for the main picture (with the first audio track), the camera
// picture, the second audio track and the branding picture, and the
// recording graph that crops, overlays, trims and mixes them.
//
// The recording instance fills the settings below, then calls Init once,
// feeds pictures and audio, drains with FilterAvailable, and calls Close
// once. Worker thread only; no lock of its own.
class VideoRecorder {
 public:
  VideoRecorder();
  VideoRecorder(const VideoRecorder&) = delete;
  VideoRecorder& operator=(const VideoRecorder&) = delete;
  // Deletes the second-audio, camera and main adapters, then the graph, so
  // that no input writes into a freed graph.
  ~VideoRecorder();

  // "topRight" 3, "topLeft" 2, "bottomLeft" 1, anything else 0 (bottom
  // right). Exact, case-sensitive.
  static int CamPositionFromString(const std::string& position);

  // Builds the pipeline: output file, inputs, graph, branding picture.
  // True when recording can begin.
  bool Init();

  // One I420 picture of main_size_ (camera: cam_size_) at `pts` ms on the
  // recording timeline. The buffer may be reused once the call returns.
  int AddFrame(uint8_t* data, int64_t pts);
  int AddCamFrame(uint8_t* data, int64_t pts);
  // The same without a copy: the graph shares the picture until it has no
  // more use for it. With a camera, the overlay keeps the newest main
  // picture until the next one arrives, and the last one until the recorder
  // is destroyed; no other picture outlives the FilterAvailable that follows
  // it. Each picture's deleter hands its buffer back to the track; it runs
  // on this thread. A picture may be lent again (a repeated frame) while the
  // graph still holds it.
  int LendFrame(SharedPicture picture, int64_t pts);
  int LendCamFrame(SharedPicture picture, int64_t pts);

  // `count` samples per channel, interleaved signed 16-bit, a multiple of
  // the track's audio frame size; timestamps follow on from earlier audio.
  int AddAudio(const int16_t* samples, int count);
  int AddAudio2(const int16_t* samples, int count);
  // Before Close: the samples left after the last whole frame, fewer than
  // a frame, end the track's audio as one short frame.
  int AddLastAudio(const int16_t* samples, int count);
  int AddLastAudio2(const int16_t* samples, int count);

  // Samples per channel in one audio frame of each track's input.
  int audio_frame_size();
  int audio2_frame_size();

  // Drains whatever the graph can give into the file: the encoding and
  // muxing happen behind it, on the encoding stage's thread.
  int FilterAvailable();

  // True (and the picture counted as lost) when the encoding stage's
  // queue is full: a live caller drops the picture instead of handing it
  // in, before it costs any work.
  bool DropPictureIfEncoderFull();
  // Pictures lost so far because the encoding stage was full.
  int64_t dropped_pictures() const;

  // Ends the inputs, drains the graph and closes the file. 0 or -1.
  int Close();
  // Before a Close that nobody waits for: the encoding stage finishes the
  // picture it encodes and drops what is queued (EncodingStage::
  // DiscardPictures).
  // The file is then removed when no picture reached it: it would not
  // decode (the browser's encoder cannot take one during a destruction).
  // Also from another thread, between a successful Init and the Close, when
  // the caller keeps the two apart.
  void DiscardQueuedPictures();

  // The code of the first write to the file that failed (header, packet,
  // trailer, close), 0 while none has. Any thread: the writes may happen
  // on another thread than the one that asks.
  int write_error() const { return write_error_.load(); }

  // The recording graph text; also printed to standard output.
  std::string BuildRecordingGraph();

  // Settings, filled by the recording instance before Init.
  boost::optional<Rect> crop_;
  bool audio_enabled_ = false;
  bool audio2_enabled_ = false;
  bool cam_enabled_ = false;
  std::string video_codec_;
  std::string audio_codec_;
  std::string format_;
  int32_t cam_position_ = 0;
  std::string filename_;
  int32_t sample_rate_ = 0;
  int32_t channels_ = 2;
  float audio2_gain_ = 1.0f;
  int32_t sample_rate2_ = 0;
  int32_t channels2_ = 2;
  Size main_size_;
  boost::optional<Size> original_main_size_;
  Size cam_size_;
  std::string branding_filename_;
  int32_t start_delay_ = 0;  // ms
  // Share of the online processors that the video encoder takes; below
  // zero, one thread (see Init).
  float thread_factor_ = -1.0f;
  // Run first on the encoding stage's thread (the instance lets the
  // browser-backed encoder see a join there). Set before Init.
  std::function<void()> encoder_thread_start_;

 private:
  // Declared before the adapters so that it is destroyed after them.
  VideoGraphFilter filter_;
  std::unique_ptr<RawVideoWriter> main_video_writer_;
  std::unique_ptr<RawVideoWriter> cam_video_writer_;
  std::unique_ptr<RawVideoWriter> audio2_writer_;
  // The output writer's front, owned by filter_; null before Init.
  EncodingStage* encoding_stage_ = nullptr;
  // The writer behind the stage, owned by it; null before Init.
  SimpleVideoWriter* output_ = nullptr;
  int64_t pictures_dropped_ = 0;
  std::atomic<bool> discarding_{false};
  // The graph inputs inside the adapters above; not owned.
  GraphInputWriter* main_input_ = nullptr;
  GraphInputWriter* audio2_input_ = nullptr;
  // Init succeeded and Close has not run: only then may the pipeline be fed.
  bool running_ = false;
  std::atomic<int> write_error_{0};
};

}  // namespace kelmora

#endif  // KELMORA_VIDEO_RECORDER_H_
