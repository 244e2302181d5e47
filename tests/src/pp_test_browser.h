#ifndef KELMORA_TESTS_SRC_PP_TEST_BROWSER_H_
#define KELMORA_TESTS_SRC_PP_TEST_BROWSER_H_

// A browser for tests of the browser-backed encoders: this thread becomes
// the browser's main thread with a module, instances register the encoders
// as the real instances do, and work runs on a worker thread while the
// main thread serves the main loop.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/message_loop.h"
#include "ppapi/cpp/module.h"
#include "ppplatform/browser.h"
#include "video_encoder_rule.h"

namespace kelmora {
namespace testing_support {

class EncoderTestInstance : public pp::Instance {
 public:
  explicit EncoderTestInstance(PP_Instance id) : pp::Instance(id) {}
  ~EncoderTestInstance() override { UnregisterPPEncoders(this); }
  bool Init(uint32_t, const char*[], const char*[]) override {
    RegisterPPEncoders(this);
    return true;
  }
};

class EncoderTestModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance id) override {
    return new EncoderTestInstance(id);
  }
};

class TestBrowser {
 public:
  // Once per process; the calling thread stays the main thread. Other
  // tests of the same program may have made it so already.
  static void Start() {
    static bool started = [] {
      bool main = pp::platform::BecomeMainThread() ||
                  (!pp::MessageLoop::GetCurrent().is_null() &&
                   pp::MessageLoop::GetCurrent().pp_resource() ==
                       pp::MessageLoop::GetForMainThread().pp_resource());
      if (!pp::Module::Get()) {
        pp::platform::ModuleHost::InitializeModule(new EncoderTestModule, 1);
      }
      return main && pp::Module::Get();
    }();
    ASSERT_TRUE(started);
  }

  // A new instance, registered as the one the encoders use, as the
  // module's instances do in their Init.
  static pp::Instance* CreateInstance() {
    static PP_Instance next_id = 100;
    EncoderTestInstance* instance = new EncoderTestInstance(next_id++);
    instance->Init(0, nullptr, nullptr);
    return instance;
  }

  static void DestroyInstance(pp::Instance* instance) { delete instance; }

  // Runs |work| on a worker thread; this thread serves the main loop until
  // the work is done, then runs what the work left queued.
  static void RunOnWorker(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
      pp::platform::WakeMainLoop();
    });
    bool finished = pp::platform::RunMainLoopUntil([&] { return done.load(); }, 120000);
    if (!finished) {
      // The worker would block the join for good.
      fprintf(stderr, "worker still waiting for the main thread\n");
      abort();
    }
    worker.join();
    pp::platform::RunMainLoopUntilIdle();
  }
};

}  // namespace testing_support
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_PP_TEST_BROWSER_H_
