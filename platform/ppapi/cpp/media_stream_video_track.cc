#include "ppapi/cpp/media_stream_video_track.h"

#include "ppapi/c/pp_errors.h"
#include "ppplatform/media_stream_video_track_impl.h"
#include "ppplatform/pending_completion.h"

namespace pp {

typedef platform::MediaStreamVideoTrackImpl Impl;

MediaStreamVideoTrack::MediaStreamVideoTrack() = default;
MediaStreamVideoTrack::MediaStreamVideoTrack(const MediaStreamVideoTrack& other) = default;
MediaStreamVideoTrack::MediaStreamVideoTrack(const Resource& resource) : Resource(resource) {
  if (!object_as<Impl>()) set_object(nullptr);
}
MediaStreamVideoTrack::~MediaStreamVideoTrack() = default;
MediaStreamVideoTrack& MediaStreamVideoTrack::operator=(const MediaStreamVideoTrack& other) =
    default;

int32_t MediaStreamVideoTrack::Configure(const int32_t attributes[],
                                         const CompletionCallback& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = object_as<Impl>();
    return impl ? impl->Configure(attributes, callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t MediaStreamVideoTrack::GetAttrib(PP_MediaStreamVideoTrack_Attrib attrib, int32_t* value) {
  auto impl = object_as<Impl>();
  return impl ? impl->GetAttrib(attrib, value) : PP_ERROR_BADRESOURCE;
}

std::string MediaStreamVideoTrack::GetId() const {
  auto impl = object_as<Impl>();
  return impl ? impl->track_id() : std::string();
}

bool MediaStreamVideoTrack::HasEnded() const {
  auto impl = object_as<Impl>();
  return !impl || impl->HasEnded();
}

int32_t MediaStreamVideoTrack::GetFrame(const CompletionCallbackWithOutput<VideoFrame>& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = object_as<Impl>();
    return impl ? impl->Get(callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t MediaStreamVideoTrack::RecycleFrame(const VideoFrame& buffer) {
  auto impl = object_as<Impl>();
  return impl ? impl->Recycle(buffer) : PP_ERROR_BADRESOURCE;
}

void MediaStreamVideoTrack::Close() {
  if (auto impl = object_as<Impl>()) impl->Close();
}

bool MediaStreamVideoTrack::IsMediaStreamVideoTrack(const Resource& resource) {
  return resource.object_as<Impl>() != nullptr;
}

}  // namespace pp
