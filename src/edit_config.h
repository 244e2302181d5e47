#ifndef KELMORA_EDIT_CONFIG_H_
#define KELMORA_EDIT_CONFIG_H_

#include <cstdint>
#include <string>

#include <boost/optional.hpp>

#include "geometry.h"

namespace kelmora {

// Part of the input to keep, in seconds. A bound that is not positive is
// no bound.
struct TrimRange {
  double start = 0.0;
  double end = 0.0;
};

// Values of "outFormat".
enum EditOutFormat : int32_t {
  kEditOutFormatOther = 0,  // container follows the output file name
  kEditOutFormatGif = 1,
  kEditOutFormatMp4 = 2,
};

// One edit as the page describes it. The field names are the JSON keys.
struct EditConfig {
  boost::optional<TrimRange> trim;
  boost::optional<Rect> crop;
  boost::optional<Size> scale;
  std::string inFilename;
  std::string outFilename;
  int32_t outFormat = kEditOutFormatOther;
  int32_t fps = 0;  // 0 keeps the input's timing
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_CONFIG_H_
