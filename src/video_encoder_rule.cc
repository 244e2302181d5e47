#include "video_encoder_rule.h"

#include <atomic>

#include "pp_video_encoder.h"

namespace kelmora {

namespace {
std::atomic<int> chrome_version{0};
}  // namespace

void SetChromeVersion(int version) {
  chrome_version = version;
  PPVideoEncoder::SetChromeVersion(version);
}

void RegisterPPEncoders(pp::Instance* instance) {
  PPVideoEncoder::Register(instance);
}

void UnregisterPPEncoders(pp::Instance* instance) {
  PPVideoEncoder::Unregister(instance);
}

bool ArePPEncodersRegistered() { return PPVideoEncoder::HasInstance(); }

bool CanUseBrowserEncoder(int width, int height) {
  if (!ArePPEncodersRegistered()) return false;
  const int version = chrome_version;
  if (version > 47) return width <= 4096 && height <= 2176;
  if (version <= 45) return false;
  return width <= 1920 && height <= 1088;
}

}  // namespace kelmora
