#ifndef NACL_IO_NACL_IO_H_
#define NACL_IO_NACL_IO_H_

// The sandbox's POSIX layer. After nacl_io_init_ppapi:
// - mount(source, target, "html5fs", flags, "type=PERSISTENT,..." or
//   "type=TEMPORARY,...") maps |target| onto the browser's HTML5 file
//   system of that type, for every file call in the process;
// - "/dev/tty" is the terminal, whose output goes to the handler set with
//   ioctl(fd, TIOCNACLOUTPUT, ...) (nacl_io/ioctl.h).

#include <sys/mount.h>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/ppb.h"

#ifdef __cplusplus
extern "C" {
#endif

// 0 on success.
int nacl_io_init_ppapi(PP_Instance instance, PPB_GetInterface get_interface);

#ifdef __cplusplus
}
#endif

#endif  // NACL_IO_NACL_IO_H_
