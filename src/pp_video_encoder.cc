#include "pp_video_encoder.h"

#include <atomic>

namespace kelmora {

namespace {
// Written on the main thread, read on workers.
std::atomic<pp::Instance*> registered_instance{nullptr};
std::atomic<int> chrome_version{0};
}  // namespace

void PPVideoEncoder::Register(pp::Instance* instance) {
  registered_instance = instance;
}

void PPVideoEncoder::Unregister(pp::Instance* instance) {
  pp::Instance* expected = instance;
  registered_instance.compare_exchange_strong(expected, nullptr);
}

void PPVideoEncoder::SetChromeVersion(int version) { chrome_version = version; }

bool PPVideoEncoder::HasInstance() { return registered_instance != nullptr; }

}  // namespace kelmora
