#ifndef PPHOST_BROWSER_H_
#define PPHOST_BROWSER_H_

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/ppb_console.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var.h"
#include "ppplatform/browser.h"

namespace pphost {

// What reached the page from one instance.
struct ReceivedMessage {
  PP_Instance instance;
  pp::Var message;
  bool awaited;
};

struct ConsoleLine {
  PP_Instance instance;
  PP_LogLevel level;
  std::string text;
};

// Sees every message and console line as it arrives, on the thread that
// sent it (also from a crash handler, before the process dies).
class PageObserver {
 public:
  virtual ~PageObserver();
  virtual void OnMessage(PP_Instance instance, const pp::Var& message) = 0;
  virtual void OnConsole(PP_Instance instance, PP_LogLevel level, const std::string& text) = 0;
};

// The browser and the page around one loaded module: runs the main thread's
// loop on the thread that made it, creates and destroys instances there,
// delivers page messages to them and keeps what they send for the page to
// await.
class Browser : private pp::platform::BrowserDelegate {
 public:
  // Of the messages of one type from one instance that no await took, the
  // page keeps the newest this many: a page does not hold every "state" of
  // a long recording, and the module shares this process.
  static constexpr size_t kUnawaitedKeptPerType = 256;

  // The calling thread becomes the browser's main thread. Keeps copies of
  // the process's standard input, output and error first, since every
  // instance takes descriptors 0, 1 and 2 over.
  Browser();
  // Destroys the instances still alive, shuts the module down and puts the
  // standard descriptors back.
  ~Browser() override;
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  int saved_stdin() const { return saved_stdin_; }
  int saved_stdout() const { return saved_stdout_; }
  int saved_stderr() const { return saved_stderr_; }

  void SetObserver(PageObserver* observer);
  // The directories behind the persistent and temporary HTML5 file
  // systems; an empty one makes that file system unavailable.
  void SetFileSystems(const std::string& persistent_dir, const std::string& temporary_dir);

  // Loads a module shared library and initialises its module.
  bool LoadModule(const std::string& path, std::string* error);
  // Uses a module object made in this process (takes ownership).
  bool UseModule(pp::Module* module, std::string* error);

  // Creates an instance and runs its Init; 0 on failure.
  PP_Instance CreateInstance(std::string* error);
  void DestroyInstance(PP_Instance instance);
  std::vector<PP_Instance> LiveInstances() const;

  // Queues |message| (a copy) for the instance's HandleMessage on the main
  // thread.
  void PostToInstance(PP_Instance instance, const pp::Var& message);

  // Runs the main thread's loop until |done| holds (true) or the time is up.
  bool RunUntil(const std::function<bool()>& done, int64_t timeout_ms);
  void RunFor(int64_t ms);
  // Runs the main-thread work that is due now.
  void RunUntilIdle();

  // Waits for the first message of |instance| that no earlier await took
  // and that |match| accepts (messages that came already count), marks it
  // taken and returns it; false when the time is up.
  bool Await(PP_Instance instance, const std::function<bool(const pp::Var&)>& match,
             int64_t timeout_ms, pp::Var* message);

  std::vector<ReceivedMessage> Messages() const;
  std::vector<ConsoleLine> ConsoleLines() const;

 private:
  void OnPostMessage(PP_Instance instance, const pp::Var& message) override;
  void OnLogToConsole(PP_Instance instance, PP_LogLevel level, const std::string& text) override;
  // Called with |mutex_| held after each message.
  void ForgetOldestUnawaited(PP_Instance instance, const std::string& type);

  int saved_stdin_;
  int saved_stdout_;
  int saved_stderr_;
  PP_Instance next_instance_;
  bool module_ready_;
  std::vector<PP_Instance> live_;

  mutable std::mutex mutex_;
  PageObserver* observer_;
  std::deque<ReceivedMessage> messages_;
  std::vector<ConsoleLine> console_;
};

}  // namespace pphost

#endif  // PPHOST_BROWSER_H_
