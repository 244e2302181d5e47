#include "ppplatform/media_stream_video_track_impl.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace pp {
namespace platform {

namespace {

// Copies |rows| rows of |bytes| each between planes of other strides.
void CopyPlane(const uint8_t* from, int from_stride, uint8_t* to, int to_stride, int bytes,
               int rows) {
  for (int row = 0; row < rows; ++row) {
    memcpy(to + static_cast<size_t>(row) * to_stride, from + static_cast<size_t>(row) * from_stride,
           bytes);
  }
}

}  // namespace

std::shared_ptr<MediaStreamVideoTrackImpl> MediaStreamVideoTrackImpl::Create(
    const std::string& id) {
  auto track = std::make_shared<MediaStreamVideoTrackImpl>(id);
  RegisterMediaStreamTrack(id, track);
  return track;
}

MediaStreamVideoTrackImpl::MediaStreamVideoTrackImpl(const std::string& id)
    : MediaStreamTrackCore(id, MediaStreamCall::kVideoConfigure, MediaStreamCall::kVideoGetFrame,
                           kDefaultBufferedFrames) {}

MediaStreamVideoTrackImpl::~MediaStreamVideoTrackImpl() { sws_freeContext(scaler_); }

int32_t MediaStreamVideoTrackImpl::Configure(const int32_t attributes[],
                                             const CompletionCallback& callback) {
  return ConfigureWith(callback, [&]() -> int32_t {
    if (!attributes) return PP_ERROR_BADARGUMENT;
    // Attributes left out take their defaults.
    int32_t buffered = kDefaultBufferedFrames;
    int32_t width = 0;
    int32_t height = 0;
    PP_VideoFrame_Format format = PP_VIDEOFRAME_FORMAT_I420;
    for (const int32_t* at = attributes; *at != PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE; at += 2) {
      int32_t value = at[1];
      switch (at[0]) {
        case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES:
          if (value < 1) return PP_ERROR_BADARGUMENT;
          // Advisory, as in a browser: more than the maximum gets the maximum.
          buffered = value > kMaxBufferedFrames ? kMaxBufferedFrames : value;
          break;
        case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH:
          if (value < 0 || value > kMaxSide) return PP_ERROR_BADARGUMENT;
          width = value;
          break;
        case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT:
          if (value < 0 || value > kMaxSide) return PP_ERROR_BADARGUMENT;
          height = value;
          break;
        case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT:
          if (value == PP_VIDEOFRAME_FORMAT_UNKNOWN) {
            format = PP_VIDEOFRAME_FORMAT_I420;
          } else if (value == PP_VIDEOFRAME_FORMAT_I420 || value == PP_VIDEOFRAME_FORMAT_YV12 ||
                     value == PP_VIDEOFRAME_FORMAT_BGRA) {
            format = static_cast<PP_VideoFrame_Format>(value);
          } else {
            return PP_ERROR_BADARGUMENT;
          }
          break;
        default:
          return PP_ERROR_BADARGUMENT;
      }
    }
    set_capacity_locked(buffered);
    width_ = width;
    height_ = height;
    format_ = format;
    return PP_OK;
  });
}

int32_t MediaStreamVideoTrackImpl::GetAttrib(PP_MediaStreamVideoTrack_Attrib attrib,
                                             int32_t* value) {
  if (!value) return PP_ERROR_BADARGUMENT;
  std::lock_guard<std::mutex> lock(mutex());
  switch (attrib) {
    case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES:
      *value = static_cast<int32_t>(capacity_locked());
      return PP_OK;
    case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH:
      *value = width_ ? width_ : source_size_.width;
      return PP_OK;
    case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT:
      *value = height_ ? height_ : source_size_.height;
      return PP_OK;
    case PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT:
      *value = format_;
      return PP_OK;
    default:
      return PP_ERROR_BADARGUMENT;
  }
}

bool MediaStreamVideoTrackImpl::DeliverFrame(const I420Picture& picture, PP_TimeTicks timestamp) {
  if (picture.size.width <= 0 || picture.size.height <= 0) return false;
  uint64_t generation;
  if (!Reserve(&generation)) return false;
  PP_Size size;
  PP_VideoFrame_Format format;
  {
    std::lock_guard<std::mutex> lock(mutex());
    source_size_ = picture.size;
    size.width = width_ ? width_ : picture.size.width;
    size.height = height_ ? height_ : picture.size.height;
    format = format_;
  }
  // The conversion runs without the track's lock: the module's calls do
  // not wait for it.
  std::shared_ptr<VideoFrameImpl> frame = TakeFrame(format, size);
  frame->set_timestamp(timestamp);
  bool converted = Convert(picture, frame.get());
  Offer(converted ? frame : nullptr, generation);
  return converted;
}

std::shared_ptr<VideoFrameImpl> MediaStreamVideoTrackImpl::TakeFrame(PP_VideoFrame_Format format,
                                                                     const PP_Size& size) {
  std::lock_guard<std::mutex> lock(frames_mutex_);
  // Only this list holds a frame whose count is 1, and only under the lock
  // can it get another holder.
  for (const std::shared_ptr<VideoFrameImpl>& frame : frames_) {
    if (frame.use_count() == 1 && frame->format() == format &&
        frame->size().width == size.width && frame->size().height == size.height) {
      return frame;
    }
  }
  // Frames of earlier settings that nobody holds make room.
  frames_.erase(std::remove_if(frames_.begin(), frames_.end(),
                               [](const std::shared_ptr<VideoFrameImpl>& frame) {
                                 return frame.use_count() == 1;
                               }),
                frames_.end());
  auto frame = std::make_shared<VideoFrameImpl>(format, size);
  if (frames_.size() < static_cast<size_t>(kMaxBufferedFrames) + 2) frames_.push_back(frame);
  return frame;
}

bool MediaStreamVideoTrackImpl::Convert(const I420Picture& picture, VideoFrameImpl* frame) {
  const PP_Size& size = frame->size();
  uint8_t* data = frame->data();
  if (!data) return false;
  const int chroma_width = (size.width + 1) / 2;
  const int chroma_height = (size.height + 1) / 2;
  const size_t luma_bytes = static_cast<size_t>(size.width) * size.height;
  const size_t chroma_bytes = static_cast<size_t>(chroma_width) * chroma_height;

  uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
  int strides[4] = {0, 0, 0, 0};
  AVPixelFormat pixel_format = AV_PIX_FMT_YUV420P;
  switch (frame->format()) {
    case PP_VIDEOFRAME_FORMAT_I420:
    case PP_VIDEOFRAME_FORMAT_YV12: {
      // Packed Y, then U, then V (YV12: V before U).
      bool yv12 = frame->format() == PP_VIDEOFRAME_FORMAT_YV12;
      planes[0] = data;
      planes[yv12 ? 2 : 1] = data + luma_bytes;
      planes[yv12 ? 1 : 2] = data + luma_bytes + chroma_bytes;
      strides[0] = size.width;
      strides[1] = strides[2] = chroma_width;
      break;
    }
    case PP_VIDEOFRAME_FORMAT_BGRA:
      pixel_format = AV_PIX_FMT_BGRA;
      planes[0] = data;
      strides[0] = size.width * 4;
      break;
    default:
      return false;
  }

  if (pixel_format == AV_PIX_FMT_YUV420P && size.width == picture.size.width &&
      size.height == picture.size.height) {
    CopyPlane(picture.planes[0], picture.strides[0], planes[0], strides[0], size.width,
              size.height);
    CopyPlane(picture.planes[1], picture.strides[1], planes[1], strides[1], chroma_width,
              chroma_height);
    CopyPlane(picture.planes[2], picture.strides[2], planes[2], strides[2], chroma_width,
              chroma_height);
    return true;
  }

  std::lock_guard<std::mutex> lock(scale_mutex_);
  scaler_ = sws_getCachedContext(scaler_, picture.size.width, picture.size.height,
                                 AV_PIX_FMT_YUV420P, size.width, size.height, pixel_format,
                                 SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!scaler_) return false;
  return sws_scale(scaler_, picture.planes, picture.strides, 0, picture.size.height, planes,
                   strides) == size.height;
}

}  // namespace platform
}  // namespace pp
