#ifndef PPHOST_PAGE_PRINTER_H_
#define PPHOST_PAGE_PRINTER_H_

#include <string>

#include "browser.h"

namespace pphost {

// Prints what reaches the page as it arrives: each message as one JSON line
// on |message_fd|, each console line as "LOG <text>" or "ERROR <text>" (one
// trailing newline of the text dropped) on |console_fd|.
class PagePrinter : public PageObserver {
 public:
  PagePrinter(int message_fd, int console_fd);

  void OnMessage(PP_Instance instance, const pp::Var& message) override;
  void OnConsole(PP_Instance instance, PP_LogLevel level, const std::string& text) override;

  static const char* LevelName(PP_LogLevel level);

 private:
  int message_fd_;
  int console_fd_;
};

// Writes all of |text| to |fd|.
void WriteAll(int fd, const std::string& text);

}  // namespace pphost

#endif  // PPHOST_PAGE_PRINTER_H_
