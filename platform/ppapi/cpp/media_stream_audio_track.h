#ifndef PPAPI_CPP_MEDIA_STREAM_AUDIO_TRACK_H_
#define PPAPI_CPP_MEDIA_STREAM_AUDIO_TRACK_H_

#include <string>

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/ppb_media_stream_audio_track.h"
#include "ppapi/cpp/audio_buffer.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/resource.h"

namespace pp {

// A live audio track handed to the module by the page (a resource var in a
// message). Sound comes from the page's source in real time, cut into
// buffers of DURATION ms; the module borrows at most BUFFERS of them at
// once, and while it holds all of them the track drops new sound.
//
// Any thread with a message loop may call; completions run on the loop of
// the calling thread. One GetBuffer may be pending at a time.
class MediaStreamAudioTrack : public Resource {
 public:
  MediaStreamAudioTrack();  // null
  MediaStreamAudioTrack(const MediaStreamAudioTrack& other);
  // A resource of another kind gives a null track (every call then fails
  // with PP_ERROR_BADRESOURCE): IsMediaStreamAudioTrack tells beforehand.
  explicit MediaStreamAudioTrack(const Resource& resource);
  ~MediaStreamAudioTrack() override;
  MediaStreamAudioTrack& operator=(const MediaStreamAudioTrack& other);

  // |attributes|: key, value pairs ended by
  // PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE; only BUFFERS and DURATION can be
  // set (PP_ERROR_NOTSUPPORTED for the others, PP_ERROR_BADARGUMENT for
  // unknown keys or values out of range).
  // PP_ERROR_INPROGRESS while a Configure or GetBuffer is pending or the
  // module holds buffers.
  int32_t Configure(const int32_t attributes[], const CompletionCallback& callback);
  int32_t GetAttrib(PP_MediaStreamAudioTrack_Attrib attrib, int32_t* value);
  std::string GetId() const;
  bool HasEnded() const;
  // The next buffer: at once when one is waiting, else when the source
  // delivers one. PP_ERROR_INPROGRESS while a request is pending,
  // PP_ERROR_FAILED once the track has ended.
  int32_t GetBuffer(const CompletionCallbackWithOutput<AudioBuffer>& callback);
  // Gives a buffer from GetBuffer back; its data is gone from then on.
  int32_t RecycleBuffer(const AudioBuffer& buffer);
  // Ends the module's use of the track; pending calls complete with
  // PP_ERROR_ABORTED.
  void Close();

  static bool IsMediaStreamAudioTrack(const Resource& resource);
};

}  // namespace pp

#endif  // PPAPI_CPP_MEDIA_STREAM_AUDIO_TRACK_H_
