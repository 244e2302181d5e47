#ifndef KELMORA_TESTS_HOST_TRACK_PROBE_MODULE_H_
#define KELMORA_TESTS_HOST_TRACK_PROBE_MODULE_H_

// A module for track tests that consumes tracks as the recorder does: the
// video track on a worker thread, the audio track on a thread of its own,
// each configured first. The page sends
//   {"type": "probe", "data": {"video": TRACK, "audio": TRACK, "run_ms": N,
//     "buffered_frames": N, "width": W, "height": H, "hold_ms": N,
//     "buffers": N, "duration_ms": N}}
// (every key but "run_ms" optional). "hold_ms" makes a slow consumer: each
// frame is held that long before it is recycled, while the next is asked
// for at once. After "run_ms" the module closes both tracks and posts
// {"type": "probe_report", "data": {"video": {...}, "audio": {...}}}.

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/media_stream_audio_track.h"
#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppapi/utility/threading/simple_thread.h"

namespace kelmora_test {

// A picture whose middle row is brighter than this on average is a flash.
constexpr int kFlashLuma = 200;
// A sample louder than this starts a beep.
constexpr int kBeepLevel = 1000;

class TrackProbeInstance : public pp::Instance {
 public:
  explicit TrackProbeInstance(PP_Instance instance)
      : pp::Instance(instance),
        video_thread_(pp::InstanceHandle(this)),
        audio_thread_(pp::InstanceHandle(this)),
        factory_(this) {
    video_thread_.Start();
    audio_thread_.Start();
  }
  ~TrackProbeInstance() override {
    video_thread_.Join();
    audio_thread_.Join();
  }

  void HandleMessage(const pp::Var& message) override {
    pp::VarDictionary envelope(message);
    if (envelope.Get(pp::Var("type")) != pp::Var("probe")) return;
    pp::VarDictionary data(envelope.Get(pp::Var("data")));
    auto number = [&](const char* key, int32_t fallback) {
      pp::Var value = data.Get(pp::Var(key));
      return value.is_number() ? value.AsInt() : fallback;
    };
    video_ = pp::MediaStreamVideoTrack(data.Get(pp::Var("video")).AsResource());
    audio_ = pp::MediaStreamAudioTrack(data.Get(pp::Var("audio")).AsResource());
    hold_ms_ = number("hold_ms", 0);
    const int32_t video_attributes[] = {PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT,
                                        PP_VIDEOFRAME_FORMAT_I420,
                                        PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES,
                                        number("buffered_frames", 2),
                                        PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH,
                                        number("width", 0),
                                        PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT,
                                        number("height", 0),
                                        PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};
    const int32_t audio_attributes[] = {
        PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS, number("buffers", 10),
        PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION, number("duration_ms", 10),
        PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};
    std::copy(std::begin(video_attributes), std::end(video_attributes), video_attributes_);
    std::copy(std::begin(audio_attributes), std::end(audio_attributes), audio_attributes_);
    if (!video_.is_null())
      video_thread_.message_loop().PostWork(factory_.NewCallback(&TrackProbeInstance::StartVideo));
    if (!audio_.is_null())
      audio_thread_.message_loop().PostWork(factory_.NewCallback(&TrackProbeInstance::StartAudio));
    video_thread_.message_loop().PostWork(factory_.NewCallback(&TrackProbeInstance::Finish),
                                          number("run_ms", 1000));
  }

 private:
  // Video, on the worker.
  void StartVideo(int32_t) {
    Check(video_.Configure(video_attributes_,
                           factory_.NewCallback(&TrackProbeInstance::OnVideoConfigured)),
          &video_errors_);
  }
  void OnVideoConfigured(int32_t result) {
    if (result != PP_OK) return Record(result, &video_errors_);
    RequestFrame();
  }
  void RequestFrame() {
    if (closed_) return;
    Check(video_.GetFrame(factory_.NewCallbackWithOutput(&TrackProbeInstance::OnFrame)),
          &video_errors_);
  }
  void OnFrame(int32_t result, pp::VideoFrame frame) {
    if (result != PP_OK) return Record(result, &video_errors_);
    pp::Size size;
    frame.GetSize(&size);
    const uint8_t* data = static_cast<const uint8_t*>(frame.GetDataBuffer());
    // Mean luma of the middle row.
    int64_t sum = 0;
    const uint8_t* row = data + static_cast<size_t>(size.height() / 2) * size.width();
    for (int x = 0; x < size.width(); ++x) sum += row[x];
    pp::VarArray entry;
    entry.Set(0, pp::Var(frame.GetTimestamp()));
    entry.Set(1, pp::Var(size.width()));
    entry.Set(2, pp::Var(size.height()));
    entry.Set(3, pp::Var(static_cast<int32_t>(frame.GetDataBufferSize())));
    entry.Set(4, pp::Var(sum / size.width() > kFlashLuma));
    entry.Set(5, pp::Var(static_cast<int32_t>(frame.GetFormat())));
    frames_.Set(frames_.GetLength(), entry);
    held_.push_back(frame);
    max_held_ = std::max(max_held_, static_cast<int32_t>(held_.size()));
    if (hold_ms_ > 0) {
      video_thread_.message_loop().PostWork(
          factory_.NewCallback(&TrackProbeInstance::RecycleOldest), hold_ms_);
      RequestFrame();
    } else {
      RecycleOldest(PP_OK);
    }
  }
  void RecycleOldest(int32_t) {
    if (held_.empty()) return;
    pp::VideoFrame frame = held_.front();
    held_.erase(held_.begin());
    int32_t recycled = video_.RecycleFrame(frame);
    if (recycled != PP_OK && !closed_) Record(recycled, &video_errors_);
    // A recycled frame no longer shows its picture.
    if (frame.GetDataBuffer() != nullptr) stale_data_ = true;
    if (hold_ms_ == 0) RequestFrame();
  }

  // Audio, on its own thread.
  void StartAudio(int32_t) {
    Check(audio_.Configure(audio_attributes_,
                           factory_.NewCallback(&TrackProbeInstance::OnAudioConfigured)),
          &audio_errors_);
  }
  void OnAudioConfigured(int32_t result) {
    if (result != PP_OK) return Record(result, &audio_errors_);
    RequestBuffer();
  }
  void RequestBuffer() {
    std::lock_guard<std::mutex> lock(audio_mutex_);
    RequestBufferLocked();
  }
  // A call made after the worker's close fails rather than aborts: the
  // close and the request exclude each other, and none follows the close.
  void RequestBufferLocked() {
    if (audio_closed_) return;
    int32_t result =
        audio_.GetBuffer(factory_.NewCallbackWithOutput(&TrackProbeInstance::OnBuffer));
    if (result != PP_OK_COMPLETIONPENDING)
      audio_errors_.Set(audio_errors_.GetLength(), pp::Var(result));
  }
  void OnBuffer(int32_t result, pp::AudioBuffer buffer) {
    if (result != PP_OK) return Record(result, &audio_errors_);
    // The worker's close takes the track's buffers back: read them only
    // while the close waits.
    std::lock_guard<std::mutex> lock(audio_mutex_);
    if (audio_closed_) return;
    const int16_t* samples = static_cast<const int16_t*>(buffer.GetDataBuffer());
    uint32_t channels = buffer.GetNumberOfChannels();
    double beep = -1;
    for (uint32_t i = 0; i < buffer.GetNumberOfSamples(); ++i) {
      if (std::abs(samples[i * channels]) > kBeepLevel) {
        beep = buffer.GetTimestamp() + static_cast<double>(i) / buffer.GetSampleRate();
        break;
      }
    }
    pp::VarArray entry;
    entry.Set(0, pp::Var(buffer.GetTimestamp()));
    entry.Set(1, pp::Var(static_cast<int32_t>(buffer.GetSampleRate())));
    entry.Set(2, pp::Var(static_cast<int32_t>(channels)));
    entry.Set(3, pp::Var(static_cast<int32_t>(buffer.GetNumberOfSamples())));
    entry.Set(4, pp::Var(static_cast<int32_t>(buffer.GetDataBufferSize())));
    entry.Set(5, pp::Var(beep));
    entry.Set(6, pp::Var(static_cast<int32_t>(buffer.GetSampleSize())));
    buffers_.Set(buffers_.GetLength(), entry);
    audio_.RecycleBuffer(buffer);
    RequestBufferLocked();
  }

  // Worker: closes both tracks (aborting what is pending) and reports.
  void Finish(int32_t) {
    closed_ = true;
    held_.clear();
    if (!video_.is_null()) video_.Close();
    if (!audio_.is_null()) {
      std::lock_guard<std::mutex> lock(audio_mutex_);
      audio_closed_ = true;
      audio_.Close();
    }
    pp::VarDictionary video;
    video.Set(pp::Var("frames"), frames_);
    video.Set(pp::Var("max_held"), pp::Var(max_held_));
    video.Set(pp::Var("errors"), video_errors_);
    video.Set(pp::Var("stale_data"), pp::Var(stale_data_));
    pp::VarDictionary audio;
    {
      // The audio thread may still append (an abort): it gets new lists,
      // since a var list is shared, not copied.
      std::lock_guard<std::mutex> lock(audio_mutex_);
      audio.Set(pp::Var("buffers"), buffers_);
      audio.Set(pp::Var("errors"), audio_errors_);
      buffers_ = pp::VarArray();
      audio_errors_ = pp::VarArray();
    }
    pp::VarDictionary data;
    data.Set(pp::Var("video"), video);
    data.Set(pp::Var("audio"), audio);
    pp::VarDictionary report;
    report.Set(pp::Var("type"), pp::Var("probe_report"));
    report.Set(pp::Var("data"), data);
    PostMessage(report);
  }

  void Check(int32_t result, pp::VarArray* errors) {
    if (result != PP_OK_COMPLETIONPENDING) Record(result, errors);
  }
  void Record(int32_t result, pp::VarArray* errors) {
    std::lock_guard<std::mutex> lock(audio_mutex_);
    errors->Set(errors->GetLength(), pp::Var(result));
  }

  pp::SimpleThread video_thread_;
  pp::SimpleThread audio_thread_;
  pp::CompletionCallbackFactory<TrackProbeInstance, pp::ThreadSafeThreadTraits> factory_;
  pp::MediaStreamVideoTrack video_;
  pp::MediaStreamAudioTrack audio_;
  int32_t video_attributes_[9];
  int32_t audio_attributes_[5];
  int32_t hold_ms_ = 0;

  // Worker only.
  bool closed_ = false;
  std::vector<pp::VideoFrame> held_;
  int32_t max_held_ = 0;
  bool stale_data_ = false;
  pp::VarArray frames_;
  pp::VarArray video_errors_;

  // Shared by the audio thread and the worker.
  std::mutex audio_mutex_;
  bool audio_closed_ = false;
  pp::VarArray buffers_;
  pp::VarArray audio_errors_;
};

class TrackProbeModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new TrackProbeInstance(instance);
  }
};

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_HOST_TRACK_PROBE_MODULE_H_
