#ifndef KELMORA_PAGE_NUMBERS_H_
#define KELMORA_PAGE_NUMBERS_H_

#include <cstdint>

#include "ppapi/cpp/var.h"

namespace kelmora {

// Numbers from page messages, converted only when the result can hold them:
// a page may send any double, and converting one that the target type does
// not hold is undefined. Each returns false, leaving |out| alone, for a var
// that is not a number and for a number outside [min, max] (NaN included).
// Any thread.

// The number (times |scale|) truncated toward zero, as int32.
bool ReadPageInt(const pp::Var& value, int32_t min, int32_t max, int32_t* out);
bool ReadScaledPageInt(const pp::Var& value, double scale, int32_t min, int32_t max,
                       int32_t* out);

// The number as float.
bool ReadPageFloat(const pp::Var& value, float min, float max, float* out);

}  // namespace kelmora

#endif  // KELMORA_PAGE_NUMBERS_H_
