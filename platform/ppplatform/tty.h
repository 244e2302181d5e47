#ifndef PPPLATFORM_TTY_H_
#define PPPLATFORM_TTY_H_

#include "nacl_io/ioctl.h"

namespace pp {
namespace platform {

// The terminal device: a packet-mode pipe whose reader thread hands every
// write, as written, to the output handler.

// A new descriptor writing to the terminal; -1 with errno on failure.
int OpenTty(int flags);
// Sets the output handler when |fd| is a terminal descriptor (waits for a
// chunk being delivered); -1 with ENOTTY otherwise.
int SetTtyOutputHandler(int fd, const tioc_nacl_output* handler);
// Waits until everything written to the terminal so far has been handed to
// the handler. Returns at once on the terminal's own thread.
void WaitForTtyDelivery();

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_TTY_H_
