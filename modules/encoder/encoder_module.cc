// The module object of encoder_module.

#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "video_encoder_instance.h"

class VideoEncoderModule : public pp::Module {
 public:
  VideoEncoderModule() : pp::Module() {}
  ~VideoEncoderModule() override {}

  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new kelmora::VideoEncoderInstance(instance);
  }
};

namespace pp {

Module* CreateModule() { return new VideoEncoderModule(); }

}  // namespace pp
