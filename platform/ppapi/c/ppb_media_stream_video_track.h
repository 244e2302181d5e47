#ifndef PPAPI_C_PPB_MEDIA_STREAM_VIDEO_TRACK_H_
#define PPAPI_C_PPB_MEDIA_STREAM_VIDEO_TRACK_H_

// Keys of the attribute list that configures a video track. A list ends
// with PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE; every other key is followed by
// its value.
typedef enum {
  PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE = 0,
  // How many frames the module may hold at once (1..8 here).
  PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES = 1,
  // Frame size; 0 keeps the source's own width or height.
  PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH = 2,
  PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT = 3,
  // A PP_VideoFrame_Format; PP_VIDEOFRAME_FORMAT_UNKNOWN keeps the source's.
  PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT = 4
} PP_MediaStreamVideoTrack_Attrib;

#endif  // PPAPI_C_PPB_MEDIA_STREAM_VIDEO_TRACK_H_
