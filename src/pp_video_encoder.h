#ifndef KELMORA_PP_VIDEO_ENCODER_H_
#define KELMORA_PP_VIDEO_ENCODER_H_

namespace pp {
class Instance;
}

namespace kelmora {

// The browser's video encoder as the encoders "ppenc" (VP8) and
// "ppenc_vp9" (VP9).
class PPVideoEncoder {
 public:
  // Module-wide record: the instance through which encoders are created
  // and the browser version for the initial bit rate.
  static void Register(pp::Instance* instance);
  static void Unregister(pp::Instance* instance);
  static void SetChromeVersion(int version);
  static bool HasInstance();
};

}  // namespace kelmora

#endif  // KELMORA_PP_VIDEO_ENCODER_H_
