#include "ppapi/cpp/media_stream_audio_track.h"

#include "ppapi/c/pp_errors.h"
#include "ppplatform/media_stream_audio_track_impl.h"
#include "ppplatform/pending_completion.h"

namespace pp {

typedef platform::MediaStreamAudioTrackImpl Impl;

MediaStreamAudioTrack::MediaStreamAudioTrack() = default;
MediaStreamAudioTrack::MediaStreamAudioTrack(const MediaStreamAudioTrack& other) = default;
MediaStreamAudioTrack::MediaStreamAudioTrack(const Resource& resource) : Resource(resource) {
  if (!object_as<Impl>()) set_object(nullptr);
}
MediaStreamAudioTrack::~MediaStreamAudioTrack() = default;
MediaStreamAudioTrack& MediaStreamAudioTrack::operator=(const MediaStreamAudioTrack& other) =
    default;

int32_t MediaStreamAudioTrack::Configure(const int32_t attributes[],
                                         const CompletionCallback& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = object_as<Impl>();
    return impl ? impl->Configure(attributes, callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t MediaStreamAudioTrack::GetAttrib(PP_MediaStreamAudioTrack_Attrib attrib, int32_t* value) {
  auto impl = object_as<Impl>();
  return impl ? impl->GetAttrib(attrib, value) : PP_ERROR_BADRESOURCE;
}

std::string MediaStreamAudioTrack::GetId() const {
  auto impl = object_as<Impl>();
  return impl ? impl->track_id() : std::string();
}

bool MediaStreamAudioTrack::HasEnded() const {
  auto impl = object_as<Impl>();
  return !impl || impl->HasEnded();
}

int32_t MediaStreamAudioTrack::GetBuffer(
    const CompletionCallbackWithOutput<AudioBuffer>& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = object_as<Impl>();
    return impl ? impl->Get(callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t MediaStreamAudioTrack::RecycleBuffer(const AudioBuffer& buffer) {
  auto impl = object_as<Impl>();
  return impl ? impl->Recycle(buffer) : PP_ERROR_BADRESOURCE;
}

void MediaStreamAudioTrack::Close() {
  if (auto impl = object_as<Impl>()) impl->Close();
}

bool MediaStreamAudioTrack::IsMediaStreamAudioTrack(const Resource& resource) {
  return resource.object_as<Impl>() != nullptr;
}

}  // namespace pp
