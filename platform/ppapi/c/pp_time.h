#ifndef PPAPI_C_PP_TIME_H_
#define PPAPI_C_PP_TIME_H_

// Wall-clock seconds since the epoch.
typedef double PP_Time;
// Seconds of a monotonic clock from an arbitrary origin.
typedef double PP_TimeTicks;
typedef double PP_TimeDelta;

#endif  // PPAPI_C_PP_TIME_H_
