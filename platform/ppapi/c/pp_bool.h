#ifndef PPAPI_C_PP_BOOL_H_
#define PPAPI_C_PP_BOOL_H_

typedef enum { PP_FALSE = 0, PP_TRUE = 1 } PP_Bool;

#ifdef __cplusplus
inline PP_Bool PP_FromBool(bool value) { return value ? PP_TRUE : PP_FALSE; }
inline bool PP_ToBool(PP_Bool value) { return value != PP_FALSE; }
#endif

#endif  // PPAPI_C_PP_BOOL_H_
