#include "error_handling/error_handling.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <ucontext.h>

#include <atomic>

namespace {

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
const int kMaxFrames = 64;

std::atomic<EHJsonHandler> json_handler{nullptr};
std::atomic<bool> installed{false};
std::atomic<bool> reporting{false};

// Room for the report: a crash handler should not allocate.
char report[32768];

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "unknown";
  }
}

// Appends |text| as a JSON string body (without quotes).
size_t AppendEscaped(char* out, size_t at, size_t size, const char* text) {
  for (; text && *text && at + 8 < size; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (c == '"' || c == '\\') {
      out[at++] = '\\';
      out[at++] = c;
    } else if (c < 0x20) {
      at += snprintf(out + at, size - at, "\\u%04x", c);
    } else {
      out[at++] = c;
    }
  }
  out[at] = '\0';
  return at;
}

size_t Append(char* out, size_t at, size_t size, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

size_t Append(char* out, size_t at, size_t size, const char* format, ...) {
  if (at >= size) return at;
  va_list args;
  va_start(args, format);
  int written = vsnprintf(out + at, size - at, format, args);
  va_end(args);
  if (written < 0) return at;
  return at + written < size ? at + written : size - 1;
}

void BuildReport(int signal_number, siginfo_t* info, void* context) {
  size_t size = sizeof(report);
  size_t at = 0;
  void* pc = nullptr;
#if defined(__x86_64__)
  if (context) {
    pc = reinterpret_cast<void*>(
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
  }
#endif
  at = Append(report, at, size, "{\"signal\":%d,\"name\":\"%s\",\"address\":\"%p\",\"pc\":\"%p\",\"frames\":[",
              signal_number, SignalName(signal_number), info ? info->si_addr : nullptr, pc);
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  for (int i = 0; i < count; ++i) {
    at = Append(report, at, size, "%s{\"pc\":\"%p\"", i ? "," : "", frames[i]);
    Dl_info symbol;
    if (dladdr(frames[i], &symbol)) {
      if (symbol.dli_fname) {
        at = Append(report, at, size, ",\"module\":\"");
        at = AppendEscaped(report, at, size, symbol.dli_fname);
        at = Append(report, at, size, "\"");
      }
      if (symbol.dli_sname) {
        at = Append(report, at, size, ",\"symbol\":\"");
        at = AppendEscaped(report, at, size, symbol.dli_sname);
        at = Append(report, at, size, "\"");
      }
    }
    at = Append(report, at, size, "}");
  }
  Append(report, at, size, "]}");
}

void OnFatalSignal(int signal_number, siginfo_t* info, void* context) {
  // A fault while reporting (or in another thread at the same time) just
  // dies.
  if (!reporting.exchange(true)) {
    BuildReport(signal_number, info, context);
    EHJsonHandler handler = json_handler.load();
    if (handler) handler(report);
  }
  // Die of the same signal, as without the handler.
  signal(signal_number, SIG_DFL);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal_number);
}

}  // namespace

extern "C" {

void EHRequestExceptionsJson(EHJsonHandler callback) {
  json_handler.store(callback);
  if (installed.load()) return;
  // backtrace() loads its unwinder on first use; not in the handler.
  void* warm_up[1];
  backtrace(warm_up, 1);
  bool all_installed = true;
  for (int signal_number : kFatalSignals) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal_number, &action, nullptr) != 0) all_installed = false;
  }
  installed.store(all_installed);
}

int EHHanderInstalled(void) { return installed.load() ? 1 : 0; }

}  // extern "C"
