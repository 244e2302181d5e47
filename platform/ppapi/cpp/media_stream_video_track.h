#ifndef PPAPI_CPP_MEDIA_STREAM_VIDEO_TRACK_H_
#define PPAPI_CPP_MEDIA_STREAM_VIDEO_TRACK_H_

#include <string>

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/ppb_media_stream_video_track.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/video_frame.h"

namespace pp {

// A live video track handed to the module by the page (a resource var in a
// message). Frames come from the page's source in real time; the module
// borrows at most BUFFERED_FRAMES of them at once, and while it holds all
// of them the track drops new frames.
//
// Any thread with a message loop may call; completions run on the loop of
// the calling thread. One GetFrame may be pending at a time.
class MediaStreamVideoTrack : public Resource {
 public:
  MediaStreamVideoTrack();  // null
  MediaStreamVideoTrack(const MediaStreamVideoTrack& other);
  // A resource of another kind gives a null track (every call then fails
  // with PP_ERROR_BADRESOURCE): IsMediaStreamVideoTrack tells beforehand.
  explicit MediaStreamVideoTrack(const Resource& resource);
  ~MediaStreamVideoTrack() override;
  MediaStreamVideoTrack& operator=(const MediaStreamVideoTrack& other);

  // |attributes|: key, value pairs ended by
  // PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE; attributes left out take their
  // defaults. PP_ERROR_INPROGRESS while a Configure or GetFrame is pending
  // or the module holds frames; PP_ERROR_BADARGUMENT for a value out of
  // range.
  int32_t Configure(const int32_t attributes[], const CompletionCallback& callback);
  int32_t GetAttrib(PP_MediaStreamVideoTrack_Attrib attrib, int32_t* value);
  std::string GetId() const;
  bool HasEnded() const;
  // The next frame: at once when one is waiting, else when the source
  // delivers one. PP_ERROR_INPROGRESS while a request is pending,
  // PP_ERROR_FAILED once the track has ended.
  int32_t GetFrame(const CompletionCallbackWithOutput<VideoFrame>& callback);
  // Gives a frame from GetFrame back; its data is gone from then on.
  int32_t RecycleFrame(const VideoFrame& frame);
  // Ends the module's use of the track; pending calls complete with
  // PP_ERROR_ABORTED.
  void Close();

  static bool IsMediaStreamVideoTrack(const Resource& resource);
};

}  // namespace pp

#endif  // PPAPI_CPP_MEDIA_STREAM_VIDEO_TRACK_H_
