#ifndef PPAPI_C_PP_INSTANCE_H_
#define PPAPI_C_PP_INSTANCE_H_

#include "ppapi/c/pp_stdint.h"

// Browser-side id of one embed element's instance; 0 is none.
typedef int32_t PP_Instance;

#endif  // PPAPI_C_PP_INSTANCE_H_
