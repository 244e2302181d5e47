#ifndef PPAPI_C_PPB_MEDIA_STREAM_AUDIO_TRACK_H_
#define PPAPI_C_PPB_MEDIA_STREAM_AUDIO_TRACK_H_

// Keys of the attribute list that configures an audio track. A list ends
// with PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE; every other key is followed by
// its value. Only BUFFERS and DURATION may be configured; the others can be
// read back with GetAttrib.
typedef enum {
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE = 0,
  // How many buffers the module may hold at once.
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS = 1,
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_RATE = 2,
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_SIZE = 3,
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_CHANNELS = 4,
  // Milliseconds of sound per buffer.
  PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION = 5
} PP_MediaStreamAudioTrack_Attrib;

#endif  // PPAPI_C_PPB_MEDIA_STREAM_AUDIO_TRACK_H_
