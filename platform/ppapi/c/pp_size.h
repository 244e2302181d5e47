#ifndef PPAPI_C_PP_SIZE_H_
#define PPAPI_C_PP_SIZE_H_

#include "ppapi/c/pp_stdint.h"

// A size in pixels.
struct PP_Size {
  int32_t width;
  int32_t height;
};

#ifdef __cplusplus
inline PP_Size PP_MakeSize(int32_t width, int32_t height) {
  PP_Size size = {width, height};
  return size;
}
#endif

#endif  // PPAPI_C_PP_SIZE_H_
