#include "video_recorder.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>

#include <unistd.h>

#include "branding_writer.h"
#include "encoding_stage.h"
#include "graph_input_writer.h"
#include "simple_video_writer.h"

namespace kelmora {

namespace {

// Graph input and label names; the labels of the graph text must equal the
// source names of the registered inputs.
constexpr char kCamSource[] = "cam_writer";
constexpr char kAudio2Source[] = "audio2";
constexpr char kBrandSource[] = "brand";

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

std::string CropFilterText(const Rect& rect) {
  return Format("crop=h=%d:w=%d:x=%d:y=%d[main]", rect.height, rect.width,
                rect.left, rect.top);
}

std::string CamOverlayFilterText(int cam_position) {
  const char* corner;
  switch (cam_position) {
    case 1:
      corner = "x=0:y=main_h-overlay_h";
      break;
    case 2:
      corner = "x=0:y=0";
      break;
    case 3:
      corner = "x=main_w-overlay_w:y=0";
      break;
    default:
      corner = "x=main_w-overlay_w:y=main_h-overlay_h";
      break;
  }
  return Format(",[main][cam_writer]overlay=%s[out]", corner);
}

std::string BrandingFilterText(const std::string& label) {
  return Format(";[%s][brand]overlay=x=main_w-overlay_w:y=0[bout]",
                label.c_str());
}

}  // namespace

VideoRecorder::VideoRecorder() = default;

VideoRecorder::~VideoRecorder() {
  // Members go in reverse order of declaration; spelled out because the
  // graph must outlive every input that may still push into it.
  audio2_writer_.reset();
  cam_video_writer_.reset();
  main_video_writer_.reset();
}

int VideoRecorder::CamPositionFromString(const std::string& position) {
  if (position == "topRight") return 3;
  if (position == "topLeft") return 2;
  if (position == "bottomLeft") return 1;
  return 0;
}

std::string VideoRecorder::BuildRecordingGraph() {
  std::string text = "[in_writer]";

  if (crop_) {
    if (original_main_size_ && *original_main_size_ != main_size_) {
      text += Format("scale=h=%d:w=%d,", original_main_size_->height,
                     original_main_size_->width);
    }
    text += CropFilterText(*crop_);
  } else if (main_size_.width % 2 == 0 && main_size_.height % 2 == 0) {
    text += "null[main]";
  } else {
    // Encoders want even sides: drop the last column or row.
    Rect even;
    even.width = main_size_.width - main_size_.width % 2;
    even.height = main_size_.height - main_size_.height % 2;
    text += CropFilterText(even);
  }
  std::string label = "main";

  if (cam_enabled_) {
    text += CamOverlayFilterText(cam_position_);
    label = "out";
  }
  if (!branding_filename_.empty()) {
    text += BrandingFilterText(label);
    label = "bout";
  }
  // Both streams move back by the delay itself, not each to its own first
  // kept frame: pictures come irregularly (a still screen), audio does not.
  const double delay_seconds = start_delay_ / 1000.0;
  if (start_delay_ != 0) {
    text += Format(";[%s]trim=start=%.3f,setpts=expr=PTS-%.3f/TB[tout]",
                   label.c_str(), delay_seconds, delay_seconds);
  }

  if (audio_enabled_ || audio2_enabled_) {
    std::string audio2_label = "[audio2]";
    if (audio2_enabled_ && audio2_gain_ != 1.0f) {
      text += Format(";[audio2]volume=volume=%.3f[audio2_gainout]",
                     static_cast<double>(audio2_gain_));
      audio2_label = "[audio2_gainout]";
    }
    if (audio_enabled_ && audio2_enabled_) {
      text += ";[in_writer_a]" + audio2_label + "amix,";
    } else if (audio_enabled_) {
      text += ";[in_writer_a]";
    } else {
      text += ";" + audio2_label;
    }
    if (start_delay_ == 0) {
      text += "anull";
    } else {
      text += Format("atrim=start=%.3f,asetpts=expr=PTS-%.3f/TB",
                     delay_seconds, delay_seconds);
    }
  }

  printf("using encoder graph: %s\n", text.c_str());
  return text;
}

bool VideoRecorder::Init() {
  assert(!main_size_.IsEmpty());
  assert(!audio_enabled_ || sample_rate_ > 0);
  assert(!audio2_enabled_ || sample_rate2_ > 0);
  assert(!filename_.empty());

  // Output file.
  // The graph owns it from here, behind the encoding stage.
  SimpleVideoWriter* output = new SimpleVideoWriter(filename_);
  output_ = output;
  encoding_stage_ = new EncodingStage(std::unique_ptr<VideoWriter>(output), encoder_thread_start_);
  filter_.writer_.reset(encoding_stage_);
  // One encoder thread by default: libvpx waits for all of its threads at
  // every frame, so on a loaded machine, where some of them are always
  // descheduled, more threads keep fewer frames (the frame loop and the
  // graph run on threads of their own beside it).
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  filter_.thread_factor_ =
      thread_factor_ >= 0 || processors < 1 ? thread_factor_ : 0.5f / processors;
  // The same for the graph's filters, whose slices (the overlay's) would
  // otherwise be spread over every processor and wait for the slowest: the
  // graph runs on the worker, beside the encoding thread.
  filter_.set_filter_threads(1);
  if (!video_codec_.empty() && !output->SetVideoCodec(video_codec_)) {
    fprintf(stderr, "unknown video encoder %s\n", video_codec_.c_str());
    return false;
  }
  if (!audio_codec_.empty() && !output->SetAudioCodec(audio_codec_)) {
    fprintf(stderr, "unknown audio encoder %s\n", audio_codec_.c_str());
    return false;
  }
  output->format_name_ = format_;
  // A full disk must show while recording, as "out_of_disk_space", and
  // what was written before it must stay under the file's name.
  output->flush_packets_ = true;
  output->write_in_place_ = true;
  output->on_write_failure_ = [this](int error) {
    int none = 0;
    write_error_.compare_exchange_strong(none, error);
  };

  // Main picture, with the first audio track.
  main_input_ = new GraphInputWriter();
  main_video_writer_.reset(new RawVideoWriter(main_input_));
  main_input_->set_sample_format(AV_SAMPLE_FMT_S16);
  if (audio_enabled_) {
    main_input_->set_audio_time_base(AVRational{1, sample_rate_});
    if (!main_input_->SetChannels(channels_)) {
      return false;
    }
  }
  main_input_->SetVideoSize(main_size_.width, main_size_.height);
  main_input_->SetAudioSampleRate(audio_enabled_ ? sample_rate_ : 0);
  if (main_video_writer_->Open() < 0) {
    return false;
  }

  // Second audio track: audio only, never opened.
  if (audio2_enabled_) {
    audio2_input_ = new GraphInputWriter();
    audio2_writer_.reset(new RawVideoWriter(audio2_input_));
    audio2_input_->set_audio_source_name(kAudio2Source);
    audio2_input_->SetAudioSampleRate(sample_rate2_);
    audio2_input_->set_audio_time_base(AVRational{1, sample_rate2_});
    audio2_input_->set_sample_format(AV_SAMPLE_FMT_S16);
    if (!audio2_input_->SetChannels(channels2_)) {
      return false;
    }
  }

  // Camera picture.
  GraphInputWriter* cam_input = nullptr;
  if (cam_enabled_) {
    assert(!cam_size_.IsEmpty());
    cam_input = new GraphInputWriter();
    cam_video_writer_.reset(new RawVideoWriter(cam_input));
    cam_input->set_video_source_name(kCamSource);
    cam_input->SetVideoSize(cam_size_.width, cam_size_.height);
    if (cam_video_writer_->Open() < 0) {
      return false;
    }
  }

  // Branding picture: lives only until its one picture is in the graph.
  std::unique_ptr<BrandingWriter> branding;
  GraphInputWriter* brand_input = nullptr;
  if (!branding_filename_.empty()) {
    brand_input = new GraphInputWriter();
    brand_input->set_video_source_name(kBrandSource);
    brand_input->set_pixel_format(AV_PIX_FMT_RGBA);
    branding.reset(new BrandingWriter(brand_input));
    Size box = BrandingWriter::MaxSizeFor(main_size_);
    if (branding->Open(branding_filename_, box.width, box.height) < 0) {
      fprintf(stderr, "failed open branding writer\n");
      return false;
    }
  }

  filter_.graph_description_ = BuildRecordingGraph();

  if (filter_.AddInputWriter(main_input_) < 0) {
    return false;
  }
  if (cam_input && filter_.AddInputWriter(cam_input) < 0) {
    return false;
  }
  if (audio2_input_ && filter_.AddInputWriter(audio2_input_) < 0) {
    return false;
  }
  if (brand_input && filter_.AddInputWriter(brand_input) < 0) {
    return false;
  }

  if (filter_.InitFiltering() < 0) {
    fprintf(stderr, "graph initialization failed\n");
    return false;
  }

  if (branding && branding->WriteAndClose() < 0) {
    fprintf(stderr, "failed to write branding\n");
    return false;
  }

  running_ = true;
  return true;
}

int VideoRecorder::AddFrame(uint8_t* data, int64_t pts) {
  if (!running_) return -1;
  return main_video_writer_->AddFrame(data, pts);
}

int VideoRecorder::AddCamFrame(uint8_t* data, int64_t pts) {
  // Refused before the assertion: a set-up that failed early has no camera
  // input yet, and the frame loop may still hold a camera frame.
  if (!running_) return -1;
  assert(cam_video_writer_ != nullptr);
  return cam_video_writer_->AddFrame(data, pts);
}

int VideoRecorder::LendFrame(SharedPicture picture, int64_t pts) {
  if (!running_) return -1;
  return main_video_writer_->LendFrame(std::move(picture), pts);
}

int VideoRecorder::LendCamFrame(SharedPicture picture, int64_t pts) {
  if (!running_) return -1;
  assert(cam_video_writer_ != nullptr);
  return cam_video_writer_->LendFrame(std::move(picture), pts);
}

int VideoRecorder::AddAudio(const int16_t* samples, int count) {
  if (!running_) return -1;
  return main_video_writer_->AppendAudio(samples, count);
}

int VideoRecorder::AddAudio2(const int16_t* samples, int count) {
  if (!running_) return -1;
  assert(audio2_writer_ != nullptr);
  return audio2_writer_->AppendAudio(samples, count);
}

int VideoRecorder::AddLastAudio(const int16_t* samples, int count) {
  if (!running_) return -1;
  return main_video_writer_->AppendLastAudio(samples, count);
}

int VideoRecorder::AddLastAudio2(const int16_t* samples, int count) {
  if (!running_) return -1;
  assert(audio2_writer_ != nullptr);
  return audio2_writer_->AppendLastAudio(samples, count);
}

int VideoRecorder::audio_frame_size() {
  assert(main_input_ != nullptr);
  return main_input_->audio_frame_size();
}

int VideoRecorder::audio2_frame_size() {
  assert(audio2_input_ != nullptr);
  return audio2_input_->audio_frame_size();
}

int VideoRecorder::FilterAvailable() {
  if (!running_) return -1;
  return filter_.FilterAvailable();
}

bool VideoRecorder::DropPictureIfEncoderFull() {
  if (!running_ || !encoding_stage_ || !encoding_stage_->QueueFull()) return false;
  ++pictures_dropped_;
  return true;
}

int64_t VideoRecorder::dropped_pictures() const { return pictures_dropped_; }

void VideoRecorder::DiscardQueuedPictures() {
  if (!running_ || !encoding_stage_) return;
  discarding_ = true;
  encoding_stage_->DiscardPictures();
}

int VideoRecorder::Close() {
  if (!running_) {
    fprintf(stderr, "recorder not running, nothing to close\n");
    return -1;
  }
  running_ = false;
  int result = 0;

  filter_.FilterAvailable();

  // End every input stream, so that the overlays and the mix can finish.
  // A failure here still closes the file below: what was encoded is kept.
  if (main_video_writer_->Close() < 0) {
    fprintf(stderr, "closing main writer failed\n");
    result = -1;
  }
  if (cam_video_writer_ && cam_video_writer_->Close() < 0) {
    fprintf(stderr, "closing cam writer failed\n");
    result = -1;
  }
  // The mix ends only once both of its inputs have: end the second audio
  // track too (an audio-only input, whose Close leaves the absent video
  // side alone).
  if (audio2_writer_ && audio2_writer_->Close() < 0) {
    fprintf(stderr, "closing audio2 writer failed\n");
    result = -1;
  }

  if (filter_.FilterAvailable() < 0) {
    result = -1;
  }
  if (!filter_.audio_done_ || !filter_.video_done_) {
    fprintf(stderr, "filtering not done on close\n");
  }

  // The stage goes with the output writer.
  EncodingStage* stage = encoding_stage_;
  encoding_stage_ = nullptr;
  if (pictures_dropped_ > 0) {
    printf("%lld pictures dropped while the encoder was behind\n",
           static_cast<long long>(pictures_dropped_));
  }
  bool no_picture = false;
  if (discarding_) {
    stage->Drain();
    no_picture = !output_->HasVideoPackets();
  }
  output_ = nullptr;
  if (filter_.Close() < 0) {
    fprintf(stderr, "closing filtering failed\n");
    result = -1;
  }
  if (no_picture && unlink(filename_.c_str()) == 0) {
    printf("no picture was written: removed %s\n", filename_.c_str());
  }
  return result;
}

}  // namespace kelmora
