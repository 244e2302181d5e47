#ifndef PPAPI_C_PP_RESOURCE_H_
#define PPAPI_C_PP_RESOURCE_H_

#include "ppapi/c/pp_stdint.h"

// Id of a browser-side object (track, frame, message loop ...); 0 is none.
typedef int32_t PP_Resource;

#endif  // PPAPI_C_PP_RESOURCE_H_
