#include "audio_track_pump.h"

#include <pthread.h>

#include <cassert>
#include <cinttypes>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/module.h"
#include "ticker_timer.h"
#include "utils.h"
#include "video_recorder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace kelmora {

namespace {

// 50 buffers of 100 ms; the fallback asks for more buffers of the track's
// own length.
const int32_t kTrackAttributes[] = {PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS, 50,
                                    PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION, 100,
                                    PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};
const int32_t kRetryAttributes[] = {PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS, 500,
                                    PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE};

// Gaps longer than this are not filled: the timestamps cannot be trusted.
const int64_t kMaxSilenceMs = 60000;
// Gaps from this long on are written to the log: sound the track did not
// deliver (a stalled or skipping source).
const int64_t kNoticedGapMs = 50;

}  // namespace

AudioTrackPump::AudioTrackPump(const pp::InstanceHandle& instance,
                               VideoRecorder* recorder, int slot,
                               TickerTimer* recording_timer,
                               ErrorReporter report_error)
    : thread_(instance),
      recorder_(recorder),
      callback_factory_(this),
      owner_loop_(pp::MessageLoop::GetCurrent()),
      slot_(slot),
      recording_timer_(recording_timer),
      report_error_(std::move(report_error)) {
  assert(slot == 0 || slot == 1);
  thread_.message_loop().PostWork(
      callback_factory_.NewCallback(&AudioTrackPump::NameThread), 0);
  thread_.Start();
}

AudioTrackPump::~AudioTrackPump() {
  // Nothing of the pump thread may run while the members go.
  thread_.Join();
  swr_free(&resampler_);
}

void AudioTrackPump::NameThread(int32_t) {
  pthread_setname_np(pthread_self(), slot_ == 0 ? "audio_pump0" : "audio_pump1");
}

// ---------------------------------------------------------------------------
// Track set-up, worker thread.

bool AudioTrackPump::SetTrack(const pp::MediaStreamAudioTrack& track) {
  printf("AudioTrackPump %d: SetTrack\n", slot_);
  ScopedLock lock(lock_);
  if (!track_.is_null()) {
    // A track is replaced only after its cut has completed.
    assert(track_.is_null() || is_paused_);
    timeline_.Reset();
    is_paused_ = false;
    retired_track_ = track_;
  }
  track_ = track;
  // A request still outstanding belongs to the old track.
  buffer_pending_ = false;
  track_failed_ = false;
  align_next_ = true;
  printf("AudioTrackPump %d: Configure\n", slot_);
  configuring_ = true;
  int32_t result = track_.Configure(
      kTrackAttributes, callback_factory_.NewCallback(&AudioTrackPump::OnConfigured));
  if (result != PP_OK_COMPLETIONPENDING) {
    configuring_ = false;
    return false;
  }
  return true;
}

void AudioTrackPump::OnConfigured(int32_t result) {
  if (result == PP_OK) {
    StartPulling();
    return;
  }
  printf("audio configure failed: %d, trying with number of buffers \n", result);
  ScopedLock lock(lock_);
  if (track_.is_null()) return;
  track_.Configure(kRetryAttributes,
                   callback_factory_.NewCallback(&AudioTrackPump::OnRetryConfigured));
}

void AudioTrackPump::OnRetryConfigured(int32_t result) {
  if (result == PP_OK) {
    printf("audio config number of buffers succeeded\n");
  } else {
    printf("audio configure number of buffers failed: %d, falling back to default \n",
           result);
  }
  StartPulling();
}

void AudioTrackPump::StartPulling() {
  {
    ScopedLock lock(lock_);
    configuring_ = false;
  }
  thread_.message_loop().PostWork(
      callback_factory_.NewCallback(&AudioTrackPump::GetNextBuffer), 0);
}

void AudioTrackPump::EnableOutput(bool enable) {
  printf("AudioTrackPump %d: enabling output\n", slot_);
  ScopedLock lock(lock_);
  output_enabled_ = enable;
}

void AudioTrackPump::UpdateRecorderFormat(int32_t) {
  if (!recorder_) return;
  ScopedLock lock(lock_);
  if (slot_ == 0) {
    recorder_->sample_rate_ = rate_;
    recorder_->channels_ = channels_;
  } else {
    recorder_->sample_rate2_ = rate_;
    recorder_->channels2_ = channels_;
  }
}

int64_t AudioTrackPump::written_until() {
  ScopedLock lock(lock_);
  return written_until_;
}

bool AudioTrackPump::is_paused() {
  ScopedLock lock(lock_);
  return is_paused_;
}

// ---------------------------------------------------------------------------
// Pull loop, pump thread.

void AudioTrackPump::GetNextBuffer(int32_t) {
  ScopedLock lock(lock_);
  RequestBufferLocked();
}

void AudioTrackPump::RequestBufferLocked() {
  // One request at a time: a resume may come while the loop still runs.
  if (track_.is_null() || buffer_pending_ || configuring_ || track_failed_) return;
  buffer_pending_ = true;
  int32_t result = track_.GetBuffer(
      callback_factory_.NewCallbackWithOutput(&AudioTrackPump::OnGetBuffer, track_.pp_resource()));
  if (result != PP_OK_COMPLETIONPENDING) {
    buffer_pending_ = false;
    fprintf(stderr, "audio failed %d\n", result);
    ReportTrackFailure("audio failed");
  }
}

void AudioTrackPump::ReportTrackFailure(const std::string& code) {
  // The recording goes on: the cuts pad this track's missing audio with
  // silence, and a replacement track starts it again.
  track_failed_ = true;
  if (report_error_) report_error_(code);
}

void AudioTrackPump::RecycleAndRequestBuffer(const pp::AudioBuffer& buffer) {
  track_.RecycleBuffer(buffer);
  RequestBufferLocked();
}

void AudioTrackPump::OnGetBuffer(int32_t result, const pp::AudioBuffer& delivered,
                                 PP_Resource track) {
  pp::AudioBuffer buffer(delivered);
  ScopedLock lock(lock_);
  if (track != track_.pp_resource()) {
    // Asked of a track that has been replaced since.
    if (result == PP_OK && track == retired_track_.pp_resource()) {
      retired_track_.RecycleBuffer(buffer);
    }
    return;
  }
  buffer_pending_ = false;
  if (result == PP_ERROR_ABORTED) return;
  if (result != PP_OK) {
    fprintf(stderr, "GetBuffer failed: %d", result);
    return;
  }
  if (buffer.GetSampleSize() != PP_AUDIOBUFFER_SAMPLESIZE_16_BITS) {
    track_.RecycleBuffer(buffer);
    ReportTrackFailure("unsupported audio sample size");
    return;
  }
  if (channels_ <= 0) {
    channels_ = static_cast<int32_t>(buffer.GetNumberOfChannels());
    rate_ = static_cast<int32_t>(buffer.GetSampleRate());
    printf("AudioTrackPump %d: #channels: %d, sample rate: %d\n", slot_, channels_, rate_);
    owner_loop_.PostWork(
        callback_factory_.NewCallback(&AudioTrackPump::UpdateRecorderFormat), 0);
  }
  if (!output_enabled_) {
    RecycleAndRequestBuffer(buffer);
    return;
  }

  std::vector<int16_t> samples;
  if (!ConvertBuffer(buffer, &samples)) {
    track_.RecycleBuffer(buffer);
    ReportTrackFailure("got invalid audio buffer");
    return;
  }

  const int64_t ts = static_cast<int64_t>(buffer.GetTimestamp() * 1000.0);
  if (!timeline_.HasStart()) {
    // The buffer is placed at the recording time of its capture: it reaches
    // the pump only once it is full, and it may have waited in the track.
    timeline_.SetStart(ts);
    const int64_t offset = recording_timer_->ElapsedAtCapture(ts);
    timeline_.set_offset(offset);
    if (previous_stop_time_ != 0) {
      printf("AudioTrackPump %d: first buffer of replaced track, offsetting with %" PRId64
             "\n",
             slot_, offset);
    }
  }
  if (AddBuffer(std::move(samples), timeline_.Map(ts))) {
    RecycleAndRequestBuffer(buffer);
  } else {
    track_.RecycleBuffer(buffer);
  }
}

bool AudioTrackPump::ConvertBuffer(pp::AudioBuffer& buffer,
                                   std::vector<int16_t>* converted) {
  const int32_t channels = static_cast<int32_t>(buffer.GetNumberOfChannels());
  const int32_t rate = static_cast<int32_t>(buffer.GetSampleRate());
  const int16_t* data = static_cast<const int16_t*>(buffer.GetDataBuffer());
  const uint32_t values = buffer.GetDataBufferSize() / 2;
  if (!data || channels <= 0 || rate <= 0) return false;

  if (channels == channels_ && rate == rate_) {
    converted->assign(data, data + values);
    return true;
  }

  // A track of another format than the first buffer's (a replacement
  // track, a source that changed): brought to the first format, so that its
  // audio is kept.
  if (!resampler_ || resampler_channels_ != channels || resampler_rate_ != rate) {
    swr_free(&resampler_);
    AVChannelLayout in_layout, out_layout;
    av_channel_layout_default(&in_layout, channels);
    av_channel_layout_default(&out_layout, channels_);
    int result = swr_alloc_set_opts2(&resampler_, &out_layout, AV_SAMPLE_FMT_S16, rate_,
                                     &in_layout, AV_SAMPLE_FMT_S16, rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    if (result < 0) {
      LogAvError("Could not allocate audio converter", result);
      return false;
    }
    result = swr_init(resampler_);
    if (result < 0) {
      LogAvError("Could not initialize audio converter", result);
      swr_free(&resampler_);
      return false;
    }
    resampler_channels_ = channels;
    resampler_rate_ = rate;
    printf("AudioTrackPump %d: converting %d channels at %d Hz to %d channels at %d Hz\n",
           slot_, channels, rate, channels_, rate_);
  }
  const int in_samples = static_cast<int>(values / channels);
  const int out_capacity = swr_get_out_samples(resampler_, in_samples);
  if (out_capacity < 0) return false;
  converted->resize(static_cast<size_t>(out_capacity) * channels_);
  uint8_t* out = reinterpret_cast<uint8_t*>(converted->data());
  const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
  const int out_samples = swr_convert(resampler_, &out, out_capacity, &in, in_samples);
  if (out_samples < 0) {
    LogAvError("Could not convert audio", out_samples);
    return false;
  }
  converted->resize(static_cast<size_t>(out_samples) * channels_);
  return true;
}

bool AudioTrackPump::AddBuffer(std::vector<int16_t> samples, int64_t ts) {
  int32_t n = static_cast<int32_t>(samples.size());
  const int32_t dur = n * 1000 / (rate_ * channels_);
  // Small jitter never opens a gap or an overlap; the first buffer of a
  // timeline is placed exactly.
  if (!align_next_ &&
      std::fabs(static_cast<double>(ts - written_until_)) < dur * 0.5) {
    ts = written_until_;
  }
  const int64_t end = ts + dur;
  if (end <= previous_stop_time_) return true;
  if (is_paused_) return false;
  align_next_ = false;
  if (ts < written_until_) {
    // What overlaps the audio already queued (or lies before the start or
    // the last cut) is dropped, so that the rest keeps its time.
    const int64_t skip = (written_until_ - ts) * rate_ / 1000 * channels_;
    samples.erase(samples.begin(), samples.begin() + std::min<int64_t>(skip, n));
    n = static_cast<int32_t>(samples.size());
    ts = written_until_;
  } else if (ts > written_until_ && ts - written_until_ <= kMaxSilenceMs) {
    // A gap (a track that fell silent, a resume) stays a gap: silence, but
    // never past a pending cut, where this track's audio ends.
    const int64_t until = stop_time_ != 0 ? std::min(ts, stop_time_) : ts;
    if (until - written_until_ >= kNoticedGapMs) {
      printf("AudioTrackPump %d: silence from %" PRId64 " to %" PRId64 "\n", slot_,
             written_until_, until);
    }
    PadLocked(until);
  }
  if (stop_time_ != 0 && end >= stop_time_) {
    written_until_ = stop_time_;
    int32_t k = (rate_ * channels_ / 1000) * static_cast<int32_t>(stop_time_ - ts);
    if (k > n) k = n;
    if (k > 0) samples_.insert(samples_.end(), samples.begin(), samples.begin() + k);
    owner_loop_.PostWork(callback_factory_.NewCallback(&AudioTrackPump::OnScheduledAudio),
                         0);
    return false;
  }
  written_until_ = end;
  samples_.insert(samples_.end(), samples.begin(), samples.end());
  return true;
}

// ---------------------------------------------------------------------------
// Draining and cuts, worker thread.

int AudioTrackPump::DrainToRecorder() { return Drain(false); }

int AudioTrackPump::DrainLastToRecorder() { return Drain(true); }

int AudioTrackPump::Drain(bool last) {
  if (!recorder_) return 0;
  if (slot_ == 0 ? !recorder_->audio_enabled_ : !recorder_->audio2_enabled_) return 0;
  ScopedLock lock(lock_);
  if (channels_ <= 0) return 0;
  const int frame_size =
      slot_ == 0 ? recorder_->audio_frame_size() : recorder_->audio2_frame_size();
  const size_t unit = static_cast<size_t>(channels_) * frame_size;
  const size_t m = samples_.size() / unit * unit;
  const size_t taken = last ? samples_.size() : m;
  std::vector<int16_t> block(samples_.begin(), samples_.begin() + taken);
  samples_.erase(samples_.begin(), samples_.begin() + taken);
  const int count = static_cast<int>(m / channels_);
  const int result = slot_ == 0 ? recorder_->AddAudio(block.data(), count)
                                : recorder_->AddAudio2(block.data(), count);
  if (result != 0 || taken == m) return result;
  const int16_t* rest = block.data() + m;
  const int rest_count = static_cast<int>((taken - m) / channels_);
  return slot_ == 0 ? recorder_->AddLastAudio(rest, rest_count)
                    : recorder_->AddLastAudio2(rest, rest_count);
}

void AudioTrackPump::ScheduleStop(int64_t stop_time, const pp::CompletionCallback& callback) {
  if (track_.is_null()) return;
  stop_callback_ = callback;
  ScopedLock lock(lock_);
  stop_time_ = stop_time;
  if (written_until_ > stop_time) {
    // A buffer came in after the cut time was chosen from this pump's
    // position: its audio past the cut goes, as that of a buffer reaching
    // the cut does.
    const size_t over = static_cast<size_t>((written_until_ - stop_time) * rate_ / 1000 *
                                            channels_);
    samples_.erase(samples_.end() - static_cast<std::ptrdiff_t>(std::min(over, samples_.size())),
                   samples_.end());
    written_until_ = stop_time;
  }
  if (is_paused_ && stop_time > written_until_) {
    // Paused at a cut that this one takes the place of: the track goes on
    // to the new cut with what it captured since, which the pause or stop
    // to come would otherwise lose.
    is_paused_ = false;
    if (!configuring_) {
      thread_.message_loop().PostWork(
          callback_factory_.NewCallback(&AudioTrackPump::GetNextBuffer), 0);
    }
  }
}

void AudioTrackPump::FillSilence(int64_t until) {
  ScopedLock lock(lock_);
  if (!is_paused_ || channels_ <= 0) return;
  PadLocked(until);
}

void AudioTrackPump::PadLocked(int64_t until) {
  if (until <= written_until_) return;
  const int64_t pad = (until - written_until_) * rate_ / 1000 * channels_;
  samples_.insert(samples_.end(), static_cast<size_t>(pad), 0);
  written_until_ = until;
}

void AudioTrackPump::Release() {
  printf("AudioTrackPump %d: releasing track\n", slot_);
  ScopedLock lock(lock_);
  output_enabled_ = false;
  std::deque<int16_t>().swap(samples_);
  // This resource is the pump's own: closed, its buffers go (a request
  // still outstanding is aborted).
  if (!track_.is_null()) track_.Close();
  track_ = pp::MediaStreamAudioTrack();
  retired_track_ = pp::MediaStreamAudioTrack();
}

void AudioTrackPump::ForceScheduledAudio() { CompleteCut(); }

void AudioTrackPump::OnScheduledAudio(int32_t) { CompleteCut(); }

void AudioTrackPump::CompleteCut() {
  int64_t cut;
  {
    ScopedLock lock(lock_);
    if (stop_time_ == 0) return;  // a cut completes once
    printf("AudioTrackPump %d: got scheduled audio\n", slot_);
    cut = stop_time_;
    previous_stop_time_ = cut;
    stop_time_ = 0;
    is_paused_ = true;
  }
  Flush(cut);
  if (!stop_callback_.is_empty()) owner_loop_.PostWork(stop_callback_, 0);
}

void AudioTrackPump::Flush(int64_t cut) {
  if (track_.is_null()) return;
  printf("AudioTrackPump %d: flushing audio\n", slot_);
  {
    ScopedLock lock(lock_);
    const int64_t gap = cut - written_until_;
    if (gap > 0 && channels_ > 0) {
      const int64_t k = static_cast<int64_t>(channels_ * rate_ / 1000) * gap;
      printf("AudioTrackPump %d: padding with silence %" PRId64 " samples (%" PRId64
             " ms)\n",
             slot_, k, gap);
      samples_.insert(samples_.end(), static_cast<size_t>(k), 0);
      written_until_ = cut;
    }
  }
  if (!recorder_) return;
  // A refused drain or a failing file is reported, and the recording goes
  // on to its close, which keeps what was written readable.
  if (DrainToRecorder() < 0) {
    if (report_error_) report_error_("add_audio_failed");
    return;
  }
  if (recorder_->FilterAvailable() < 0 && report_error_) report_error_("out_of_disk_space");
}

void AudioTrackPump::Resume(int64_t pause_ms) {
  if (track_.is_null()) return;
  ScopedLock lock(lock_);
  timeline_.SkipPause(pause_ms);
  is_paused_ = false;
  align_next_ = true;
  // A track still being configured starts pulling from its completion.
  if (!configuring_) {
    thread_.message_loop().PostWork(
        callback_factory_.NewCallback(&AudioTrackPump::GetNextBuffer), 0);
  }
}

}  // namespace kelmora
