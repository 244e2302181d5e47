#include "ppapi/cpp/video_encoder.h"

#include "ppapi/c/pp_errors.h"
#include "ppplatform/instance_resources.h"
#include "ppplatform/pending_completion.h"
#include "ppplatform/video_encoder_impl.h"

namespace pp {

namespace {
std::shared_ptr<platform::VideoEncoderImpl> Impl(const Resource& resource) {
  return resource.object_as<platform::VideoEncoderImpl>();
}
}  // namespace

VideoEncoder::VideoEncoder() = default;

VideoEncoder::VideoEncoder(const InstanceHandle& instance)
    : Resource(platform::NewInstanceResource<platform::VideoEncoderImpl>(instance)) {}

VideoEncoder::VideoEncoder(const VideoEncoder& other) = default;
VideoEncoder::~VideoEncoder() = default;
VideoEncoder& VideoEncoder::operator=(const VideoEncoder& other) = default;

int32_t VideoEncoder::GetSupportedProfiles(
    const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
        callback) {
  return platform::RunCall(callback, [&] {
    auto impl = Impl(*this);
    return impl ? impl->GetSupportedProfiles(callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t VideoEncoder::Initialize(const PP_VideoFrame_Format& input_format,
                                 const Size& input_visible_size,
                                 const PP_VideoProfile& output_profile,
                                 const uint32_t initial_bitrate,
                                 PP_HardwareAcceleration acceleration,
                                 const CompletionCallback& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = Impl(*this);
    if (!impl) return static_cast<int32_t>(PP_ERROR_BADRESOURCE);
    return impl->Initialize(input_format, input_visible_size.pp_size(), output_profile,
                            initial_bitrate, acceleration, callback);
  });
}

int32_t VideoEncoder::GetFramesRequired() {
  auto impl = Impl(*this);
  return impl ? impl->GetFramesRequired() : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::GetFrameCodedSize(Size* coded_size) {
  auto impl = Impl(*this);
  return impl ? impl->GetFrameCodedSize(&coded_size->pp_size()) : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::GetVideoFrame(const CompletionCallbackWithOutput<VideoFrame>& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = Impl(*this);
    return impl ? impl->GetVideoFrame(callback) : PP_ERROR_BADRESOURCE;
  });
}

int32_t VideoEncoder::Encode(const VideoFrame& video_frame, bool force_keyframe,
                             const CompletionCallback& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = Impl(*this);
    return impl ? impl->Encode(video_frame, force_keyframe, callback)
                : PP_ERROR_BADRESOURCE;
  });
}

int32_t VideoEncoder::GetBitstreamBuffer(
    const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback) {
  return platform::RunCall(callback, [&] {
    auto impl = Impl(*this);
    return impl ? impl->GetBitstreamBuffer(callback) : PP_ERROR_BADRESOURCE;
  });
}

void VideoEncoder::RecycleBitstreamBuffer(const PP_BitstreamBuffer& bitstream_buffer) {
  if (auto impl = Impl(*this)) impl->RecycleBitstreamBuffer(bitstream_buffer);
}

void VideoEncoder::RequestEncodingParametersChange(uint32_t bitrate, uint32_t framerate) {
  if (auto impl = Impl(*this)) impl->RequestEncodingParametersChange(bitrate, framerate);
}

void VideoEncoder::Close() {
  if (auto impl = Impl(*this)) impl->Close();
}

}  // namespace pp
