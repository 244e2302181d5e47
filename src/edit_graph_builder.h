#ifndef KELMORA_EDIT_GRAPH_BUILDER_H_
#define KELMORA_EDIT_GRAPH_BUILDER_H_

#include <cstdint>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "edit_config.h"
#include "video_metadata.h"

namespace kelmora {

// One filter of a filter-graph text: [in]name=key=value:key=value[out].
struct FilterSpec {
  FilterSpec(const std::string& name,
             const std::map<std::string, std::string>& options,
             const std::string& output_label);

  // Puts `prefix` in front of the name and of every pad label.
  void AddPrefix(const std::string& prefix);
  std::string Render() const;

  std::string name;
  std::map<std::string, std::string> options;  // values already text
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

std::string RenderPadLabels(const std::vector<std::string>& labels);
std::string RenderFilterOptions(const FilterSpec& filter);
std::string RenderFilterChain(const std::vector<FilterSpec>& chain);

// The picture size that the edit's scale step gives an input of in_w x in_h
// for `box`, as the scale filter computes it; 0 x 0 for an empty input.
std::pair<int64_t, int64_t> ScaledSize(int64_t in_w, int64_t in_h, const Size& box);

// Seconds as a filter option value: three decimals, 1.5 gives "1.500".
std::string FormatSeconds(double seconds);

// Writes the filter-graph text of one edit: movie sources reading the input
// file, then trim, crop, scale and fps. Used for one Build.
class EditGraphBuilder {
 public:
  explicit EditGraphBuilder(const EditConfig& config);
  EditGraphBuilder(const EditGraphBuilder&) = delete;
  EditGraphBuilder& operator=(const EditGraphBuilder&) = delete;

  // The graph text, or nothing when the input's metadata cannot be read.
  boost::optional<std::string> Build();

 private:
  void AddMovieSource();
  void AddTrim();
  void AddCrop();
  void AddEvenCrop();
  void AddScale();
  void AddFps();
  // Adds `filter` to the video chain, and a copy prefixed with "a" to the
  // audio chain when the graph carries audio.
  void AddFilter(const FilterSpec& filter);
  std::string Render() const;
  // Whether the picture that the scale step gives is known to have an even
  // width and height.
  bool ScaledSizeIsEven() const;

  const EditConfig config_;
  bool audio_enabled_ = false;
  std::vector<FilterSpec> audio_chain_;
  std::vector<FilterSpec> video_chain_;
  boost::optional<VideoMetadata> metadata_;
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_GRAPH_BUILDER_H_
