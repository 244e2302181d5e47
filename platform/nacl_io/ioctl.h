#ifndef NACL_IO_IOCTL_H_
#define NACL_IO_IOCTL_H_

#include <sys/types.h>

// Installs the terminal's output handler: every chunk written to "/dev/tty"
// is handed to it, unchanged and in order. The argument is a pointer to a
// struct tioc_nacl_output; a null handler drops the output.
#define TIOCNACLOUTPUT 0x4e434c01

#ifdef __cplusplus
extern "C" {
#endif

// Returns the number of bytes consumed (the whole chunk, as a rule).
typedef ssize_t (*tioc_nacl_output_handler_t)(const char* buf, size_t count,
                                               void* user_data);

struct tioc_nacl_output {
  tioc_nacl_output_handler_t handler;
  void* user_data;
};

#ifdef __cplusplus
}
#endif

#endif  // NACL_IO_IOCTL_H_
