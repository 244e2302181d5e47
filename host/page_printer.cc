#include "page_printer.h"

#include <errno.h>
#include <unistd.h>

#include "var_json.h"

namespace pphost {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    done += count;
  }
}

PagePrinter::PagePrinter(int message_fd, int console_fd)
    : message_fd_(message_fd), console_fd_(console_fd) {}

const char* PagePrinter::LevelName(PP_LogLevel level) {
  switch (level) {
    case PP_LOGLEVEL_TIP: return "TIP";
    case PP_LOGLEVEL_LOG: return "LOG";
    case PP_LOGLEVEL_WARNING: return "WARNING";
    case PP_LOGLEVEL_ERROR: return "ERROR";
  }
  return "LOG";
}

void PagePrinter::OnMessage(PP_Instance instance, const pp::Var& message) {
  WriteAll(message_fd_, VarToJson(message) + "\n");
}

void PagePrinter::OnConsole(PP_Instance instance, PP_LogLevel level, const std::string& text) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  WriteAll(console_fd_, std::string(LevelName(level)) + " " + line + "\n");
}

}  // namespace pphost
