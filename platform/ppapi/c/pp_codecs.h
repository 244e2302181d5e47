#ifndef PPAPI_C_PP_CODECS_H_
#define PPAPI_C_PP_CODECS_H_

#include "ppapi/c/pp_bool.h"
#include "ppapi/c/pp_size.h"
#include "ppapi/c/pp_stdint.h"

// Video codec profiles of the browser's video encoder and decoder.
typedef enum {
  PP_VIDEOPROFILE_H264BASELINE = 0,
  PP_VIDEOPROFILE_H264MAIN = 1,
  PP_VIDEOPROFILE_H264EXTENDED = 2,
  PP_VIDEOPROFILE_H264HIGH = 3,
  PP_VIDEOPROFILE_H264HIGH10PROFILE = 4,
  PP_VIDEOPROFILE_H264HIGH422PROFILE = 5,
  PP_VIDEOPROFILE_H264HIGH444PREDICTIVEPROFILE = 6,
  PP_VIDEOPROFILE_H264SCALABLEBASELINE = 7,
  PP_VIDEOPROFILE_H264SCALABLEHIGH = 8,
  PP_VIDEOPROFILE_H264STEREOHIGH = 9,
  PP_VIDEOPROFILE_H264MULTIVIEWHIGH = 10,
  PP_VIDEOPROFILE_VP8_ANY = 11,
  PP_VIDEOPROFILE_VP9_ANY = 12,
  PP_VIDEOPROFILE_MAX = PP_VIDEOPROFILE_VP9_ANY
} PP_VideoProfile;

typedef enum {
  PP_HARDWAREACCELERATION_ONLY = 0,
  PP_HARDWAREACCELERATION_WITHFALLBACK = 1,
  PP_HARDWAREACCELERATION_NONE = 2,
  PP_HARDWAREACCELERATION_LAST = PP_HARDWAREACCELERATION_NONE
} PP_HardwareAcceleration;

// What the encoder can do for one profile.
struct PP_VideoProfileDescription {
  PP_VideoProfile profile;
  struct PP_Size max_resolution;
  uint32_t max_framerate_numerator;
  uint32_t max_framerate_denominator;
  PP_Bool hardware_accelerated;
};

// One compressed frame, valid until it is handed back to the encoder.
struct PP_BitstreamBuffer {
  uint32_t size;
  void* buffer;
  PP_Bool key_frame;
};

#endif  // PPAPI_C_PP_CODECS_H_
