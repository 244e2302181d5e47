#ifndef PPAPI_C_PP_MODULE_H_
#define PPAPI_C_PP_MODULE_H_

#include "ppapi/c/pp_stdint.h"

typedef int32_t PP_Module;

#endif  // PPAPI_C_PP_MODULE_H_
