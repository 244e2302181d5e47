#ifndef KELMORA_WORKER_BASE_INSTANCE_H_
#define KELMORA_WORKER_BASE_INSTANCE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/utility/threading/simple_thread.h"

// Base of both plug-in instances: brings the sandbox's file systems,
// terminal and crash reports up for the instance, owns its worker thread,
// and carries every message and console line to the page.
class WorkerBaseInstance : public pp::Instance {
 public:
  WorkerBaseInstance(PP_Instance instance, const std::string& log_prefix);
  ~WorkerBaseInstance() override;

  // Main thread. Start-up; always true. Subclasses call it first.
  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override;

  // Any thread: {"type": type, "data": data} to the page.
  void PostTypedMessage(const std::string& type, const pp::Var& data);
  // Any thread: console lines with the prefix.
  void Log(const std::string& text);
  // Also posts {"type": "error", "data": text}.
  void LogError(const std::string& text);
  // text + ", pp_error: " + code, through LogError.
  void LogPepperError(const std::string& text, int32_t pp_error);
  // The same text, to the console only.
  void LogPepperErrorToConsole(const std::string& text, int32_t pp_error);

  const std::string& log_prefix() const { return log_prefix_; }

  // Components whose work for a worker waits for the main thread (the
  // browser-backed encoder) add a hook; at a join the main thread sets the
  // join flag and runs every hook, before it blocks, to wake those waits.
  // Module-wide; a hook added again counts once. Any thread.
  using JoinHook = void (*)();
  static void AddJoinHook(JoinHook hook);
  // True on a thread that works for an instance whose main thread is
  // joining its worker: a wait for the main thread would never end.
  static bool JoinPendingOnThisThread();

 protected:
  // Where subclasses post their work.
  pp::MessageLoop& worker_loop() { return worker_thread_.message_loop(); }

  // Main thread: lets the worker finish what is due, then waits for it to
  // end. Subclasses call it first in their destructors, before their own
  // members go, after telling their own work to stop; later calls do
  // nothing. Steps of the browser's encoder that the worker waits for, or
  // starts from now on, fail at once, as the main thread cannot serve them
  // while it waits here.
  void JoinWorker();
  // Run first on a thread that does work for the worker (started by it):
  // that thread's waits for the main thread end at the join too. The
  // thread must end before the instance's members go.
  void WatchJoinOnThisThread();

  // Main thread: the common checks of every incoming message. True with
  // the type and a copy of "data" for a well-formed one; otherwise logs
  // "Got non-dict message" or "Invalid message format" and returns false.
  bool CheckMessage(const pp::Var& message, std::string* type, pp::VarDictionary* data);
  // For a type that no command has.
  void LogUnknownMessageType();

 private:
  // First work of the worker thread.
  static void WatchJoinOnWorker(void* user_data, int32_t result);
  static ssize_t OnTtyOutput(const char* buf, size_t count, void* user_data);
  static void OnExceptionJson(const char* json);

  void InitNaclIo();
  // With the terminal's (crash reports') module-wide lock held: this
  // instance receives terminal output (crash reports) from now on.
  void TakeTtyOutputLocked();
  void TakeCrashReportsLocked();
  void SetUpExceptionHandling();
  ssize_t HandleTtyOutput(const char* buf, size_t count);
  void HandleExceptionJson(const char* json);
  // prefix + text at error level; nothing posted.
  void LogErrorToConsole(const std::string& text);

  std::string log_prefix_;
  pp::SimpleThread worker_thread_;
  // Set once the main thread joins the worker.
  std::atomic<bool> joining_{false};
  // The terminal descriptor this instance opened (-1 when none); closed
  // with the instance.
  int tty_fd_;
};

#endif  // KELMORA_WORKER_BASE_INSTANCE_H_
