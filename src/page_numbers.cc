#include "page_numbers.h"

#include <cmath>

namespace kelmora {

bool ReadScaledPageInt(const pp::Var& value, double scale, int32_t min, int32_t max,
                       int32_t* out) {
  if (!value.is_number()) return false;
  const double number = std::trunc(value.AsDouble() * scale);
  if (!(number >= static_cast<double>(min) && number <= static_cast<double>(max))) {
    return false;
  }
  *out = static_cast<int32_t>(number);
  return true;
}

bool ReadPageInt(const pp::Var& value, int32_t min, int32_t max, int32_t* out) {
  return ReadScaledPageInt(value, 1.0, min, max, out);
}

bool ReadPageFloat(const pp::Var& value, float min, float max, float* out) {
  if (!value.is_number()) return false;
  const double number = value.AsDouble();
  if (!(number >= static_cast<double>(min) && number <= static_cast<double>(max))) {
    return false;
  }
  *out = static_cast<float>(number);
  return true;
}

}  // namespace kelmora
