#include "edit_graph_builder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "utils.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace kelmora {

namespace {

// Backslash-escapes `value` for one level of the filter-graph syntax.
std::string EscapeLevel(const std::string& value, const char* special) {
  char* escaped = nullptr;
  if (av_escape(&escaped, value.c_str(), special, AV_ESCAPE_MODE_BACKSLASH,
                0) < 0) {
    return value;
  }
  std::unique_ptr<char, decltype(&av_free)> holder(escaped, &av_free);
  return escaped;
}

// A text that reaches a filter's option unchanged: the graph parser and then
// the filter's option parser each take one level of escaping away. Names
// without special characters come out as they went in.
std::string EscapeOptionValue(const std::string& value) {
  return EscapeLevel(EscapeLevel(value, ":"), "[],;");
}

// Cuts the picture down to the even size below; no change to an even one.
FilterSpec EvenCropFilter() {
  return FilterSpec("crop", {{"w", "trunc(iw/2)*2"}, {"h", "trunc(ih/2)*2"}},
                    "");
}

int32_t CutToEven(int32_t value) { return value - value % 2; }

}  // namespace

FilterSpec::FilterSpec(const std::string& name,
                       const std::map<std::string, std::string>& options,
                       const std::string& output_label)
    : name(name), options(options) {
  if (!output_label.empty()) {
    outputs.push_back(output_label);
  }
}

void FilterSpec::AddPrefix(const std::string& prefix) {
  name = prefix + name;
  for (std::string& label : inputs) {
    label = prefix + label;
  }
  for (std::string& label : outputs) {
    label = prefix + label;
  }
}

std::string FilterSpec::Render() const {
  return RenderPadLabels(inputs) + name + RenderFilterOptions(*this) +
         RenderPadLabels(outputs);
}

std::string RenderPadLabels(const std::vector<std::string>& labels) {
  std::string text;
  for (const std::string& label : labels) {
    text += "[" + label + "]";
  }
  return text;
}

std::string RenderFilterOptions(const FilterSpec& filter) {
  if (filter.options.empty()) {
    return "";
  }
  std::vector<std::string> pairs;
  for (const auto& option : filter.options) {
    pairs.push_back(option.first + "=" + option.second);
  }
  std::sort(pairs.begin(), pairs.end());
  std::string text = "=";
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) {
      text += ":";
    }
    text += pairs[i];
  }
  return text;
}

std::string RenderFilterChain(const std::vector<FilterSpec>& chain) {
  std::string text;
  for (const FilterSpec& filter : chain) {
    if (!text.empty()) {
      text += ",";
    }
    text += filter.Render();
  }
  return text;
}

std::string FormatSeconds(double seconds) {
  const int length = snprintf(nullptr, 0, "%.3f", seconds);
  if (length < 0) {
    return "";
  }
  std::string text(length + 1, '\0');
  snprintf(&text[0], text.size(), "%.3f", seconds);
  text.resize(length);
  return text;
}

EditGraphBuilder::EditGraphBuilder(const EditConfig& config)
    : config_(config) {}

boost::optional<std::string> EditGraphBuilder::Build() {
  metadata_ = ReadVideoMetadata(config_.inFilename);
  if (!metadata_) {
    fprintf(stderr, "Failed to read input metadata of \"%s\"\n",
            config_.inFilename.c_str());
    return boost::none;
  }
  audio_enabled_ =
      metadata_->audio_streams > 0 && config_.outFormat != kEditOutFormatGif;

  AddMovieSource();
  AddTrim();
  AddCrop();
  AddEvenCrop();
  AddScale();
  AddFps();
  return Render();
}

void EditGraphBuilder::AddMovieSource() {
  // The page names the input: a local file, read as one whatever its name,
  // and nothing a playlist in it names elsewhere.
  std::map<std::string, std::string> options = {
      {"filename", EscapeOptionValue(LocalFileUrl(config_.inFilename))},
      {"format_opts", std::string("protocol_whitelist=") + kLocalProtocols}};
  if (config_.trim && config_.trim->start > 0.0) {
    options["seek_point"] = FormatSeconds(config_.trim->start);
  }
  AddFilter(FilterSpec("movie", options, ""));
}

void EditGraphBuilder::AddTrim() {
  // Trim times count from the file's start, which need not be timestamp 0.
  const int64_t offset_ms = metadata_->start_ms;
  if (!config_.trim) {
    if (offset_ms > 0) {
      AddFilter(FilterSpec("setpts", {{"expr", "PTS-" + FormatSeconds(offset_ms / 1000.0) + "/TB"}},
                           ""));
    }
    return;
  }
  const TrimRange& trim = *config_.trim;
  const double offset = offset_ms / 1000.0;
  // Both streams move back by the trim start itself: restarting each at its
  // own first kept frame would part a picture from its sound whenever the
  // pictures are irregular.
  const double shift = offset + (trim.start > 0.0 ? trim.start : 0.0);
  std::map<std::string, std::string> options;
  if (trim.start > 0.0) options["start"] = FormatSeconds(shift);
  if (trim.end > 0.0) options["end"] = FormatSeconds(offset + trim.end);
  const FilterSpec retime("setpts", {{"expr", "PTS-" + FormatSeconds(shift) + "/TB"}}, "");
  if (audio_enabled_) {
    FilterSpec audio_trim("trim", options, "");
    audio_trim.AddPrefix("a");
    audio_chain_.push_back(audio_trim);
    FilterSpec audio_retime = retime;
    audio_retime.AddPrefix("a");
    audio_chain_.push_back(audio_retime);
  }

  // What is on screen at the trim's start is the last picture before it,
  // however long ago a still screen made it: the picture keeps it and shows
  // it from 0.
  boost::optional<int64_t> shown;
  // A start at or past the end keeps no picture.
  if (trim.start > 0.0 && trim.start * 1000.0 < static_cast<double>(metadata_->duration_ms)) {
    shown = FindPictureShownAt(config_.inFilename, static_cast<int64_t>(shift * 1000.0 + 0.5));
  }
  if (shown && FormatSeconds(*shown / 1000.0) != FormatSeconds(shift)) {
    options["start"] = FormatSeconds(*shown / 1000.0);
    video_chain_.push_back(FilterSpec("trim", options, ""));
    video_chain_.push_back(FilterSpec(
        "setpts", {{"expr", "max(PTS-" + FormatSeconds(shift) + "/TB\\,0)"}}, ""));
  } else {
    video_chain_.push_back(FilterSpec("trim", options, ""));
    video_chain_.push_back(retime);
  }
}

void EditGraphBuilder::AddCrop() {
  if (!config_.crop) {
    return;
  }
  const Rect& crop = *config_.crop;
  video_chain_.push_back(
      FilterSpec("crop",
                 {{"w", std::to_string(CutToEven(crop.width))},
                  {"h", std::to_string(CutToEven(crop.height))},
                  {"x", std::to_string(crop.left)},
                  {"y", std::to_string(crop.top)}},
                 ""));
}

void EditGraphBuilder::AddEvenCrop() {
  // H.264 in 4:2:0, and the browser's encoder that a WebM takes by
  // default, take only even sizes; a GIF takes any.
  if (config_.crop || config_.scale || config_.outFormat == kEditOutFormatGif) {
    return;
  }
  if (metadata_->width % 2 != 0 || metadata_->height % 2 != 0) {
    video_chain_.push_back(EvenCropFilter());
  }
}

void EditGraphBuilder::AddScale() {
  if (!config_.scale) {
    return;
  }
  const Size& box = *config_.scale;
  video_chain_.push_back(FilterSpec(
      "scale",
      {{"w", "min(" + std::to_string(box.width) + "\\,iw)"},
       {"h", "min(" + std::to_string(box.height) + "\\,ih)"},
       {"force_original_aspect_ratio", "decrease"}},
      ""));
  // Fitting into the box keeps the aspect ratio, which can give an odd side;
  // a video encoder would then refuse the picture.
  if (config_.outFormat != kEditOutFormatGif && !ScaledSizeIsEven()) {
    video_chain_.push_back(EvenCropFilter());
  }
}

bool EditGraphBuilder::ScaledSizeIsEven() const {
  int64_t in_w = metadata_->width;
  int64_t in_h = metadata_->height;
  if (config_.crop) {
    in_w = CutToEven(config_.crop->width);
    in_h = CutToEven(config_.crop->height);
  }
  const std::pair<int64_t, int64_t> size = ScaledSize(in_w, in_h, *config_.scale);
  return size.first > 0 && size.second > 0 && size.first % 2 == 0 && size.second % 2 == 0;
}

std::pair<int64_t, int64_t> ScaledSize(int64_t in_w, int64_t in_h, const Size& box) {
  if (in_w <= 0 || in_h <= 0) return {0, 0};
  // The scale filter's own arithmetic on "min(box\,iw)": a side of 0 keeps
  // the input's side; -n follows the other side's aspect, divisible by n;
  // both negative keep the input's size; then the larger side is brought
  // back to the input's aspect ratio.
  int64_t w = std::min<int64_t>(box.width, in_w);
  int64_t h = std::min<int64_t>(box.height, in_h);
  if (w == 0) w = in_w;
  if (h == 0) h = in_h;
  const int64_t factor_w = w < -1 ? -w : 1;
  const int64_t factor_h = h < -1 ? -h : 1;
  if (w < 0 && h < 0) {
    w = in_w;
    h = in_h;
  }
  if (w < 0) w = av_rescale(h, in_w, in_h * factor_w) * factor_w;
  if (h < 0) h = av_rescale(w, in_h, in_w * factor_h) * factor_h;
  const int64_t aspect_w = av_rescale(h, in_w, in_h);
  const int64_t aspect_h = av_rescale(w, in_h, in_w);
  return {std::min(w, aspect_w), std::min(h, aspect_h)};
}

void EditGraphBuilder::AddFps() {
  if (config_.fps == 0) {
    return;
  }
  video_chain_.push_back(
      FilterSpec("fps", {{"fps", std::to_string(config_.fps)}}, ""));
}

void EditGraphBuilder::AddFilter(const FilterSpec& filter) {
  if (audio_enabled_) {
    FilterSpec audio_filter = filter;
    audio_filter.AddPrefix("a");
    audio_chain_.push_back(audio_filter);
  }
  video_chain_.push_back(filter);
}

std::string EditGraphBuilder::Render() const {
  std::string text = RenderFilterChain(video_chain_);
  if (!audio_chain_.empty()) {
    text += ";" + RenderFilterChain(audio_chain_);
  }
  return text;
}

}  // namespace kelmora
