/* The C library's path-taking file calls, interposed for the whole process
 * (this library is loaded before the C library, so every library's calls
 * bind here first): a path under a mount point goes to the host directory
 * behind it, "/dev/tty" to the terminal, anything else to the C library
 * untouched. */

#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nacl_io/ioctl.h"

int ppplatform_resolve_path(const char* path, char* out, size_t out_size);

/* Set once the layer is initialised; until then every call is forwarded
 * without leaving this file. Calls come before the process is set up (a
 * memory checker's own start-up creates files), so nothing here may be
 * instrumented. */
int ppplatform_file_layer_active = 0;

#define INTERPOSER __attribute__((no_sanitize("address", "undefined")))
int ppplatform_mount(const char* source, const char* target, const char* type,
                     unsigned long flags, const void* data);
int ppplatform_open_tty(int flags);
int ppplatform_tty_ioctl(int fd, void* arg);

INTERPOSER static void* next_symbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (!symbol) {
    static const char text[] = "ppplatform: missing C library call\n";
    (void)!write(2, text, sizeof(text) - 1);
    abort();
  }
  return symbol;
}

#define REAL(name)                                                    \
  ({                                                                  \
    static __typeof__(&name) real_##name;                             \
    __typeof__(&name) fn = __atomic_load_n(&real_##name, __ATOMIC_ACQUIRE); \
    if (!fn) {                                                        \
      fn = (__typeof__(&name))next_symbol(#name);                     \
      __atomic_store_n(&real_##name, fn, __ATOMIC_RELEASE);           \
    }                                                                 \
    fn;                                                               \
  })

#define PATH_BUFFER_SIZE (PATH_MAX * 2)

/* Sets *use to the path to pass on; returns 0, 2 for the terminal, -1 on
 * error (errno set). */
INTERPOSER static int map_path(const char* path, char* buffer, const char** use) {
  if (!__atomic_load_n(&ppplatform_file_layer_active, __ATOMIC_ACQUIRE)) {
    *use = path;
    return 0;
  }
  int kind = ppplatform_resolve_path(path, buffer, PATH_BUFFER_SIZE);
  *use = kind == 1 ? buffer : path;
  return kind == 1 ? 0 : kind;
}

INTERPOSER static int needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

/* The mode argument of a variadic open call, when its flags carry one. */
#define TAKE_MODE(flags)                        \
  mode_t mode = 0;                              \
  if (needs_mode(flags)) {                      \
    va_list args;                               \
    va_start(args, flags);                      \
    mode = (mode_t)va_arg(args, int);           \
    va_end(args);                               \
  }

/* Maps |path| into `use`; an error or the terminal returns at once. */
#define MAP_FOR_OPEN(path, tty_flags)                    \
  char buffer[PATH_BUFFER_SIZE];                         \
  const char* use;                                       \
  int kind = map_path(path, buffer, &use);               \
  if (kind < 0) return -1;                               \
  if (kind == 2) return ppplatform_open_tty(tty_flags);

#define OPEN_LIKE(name)                                          \
  INTERPOSER int name(const char* path, int flags, ...) {        \
    TAKE_MODE(flags)                                             \
    MAP_FOR_OPEN(path, flags)                                    \
    return REAL(name)(use, flags, mode);                         \
  }

OPEN_LIKE(open)
OPEN_LIKE(open64)

#define OPENAT_LIKE(name)                                                 \
  INTERPOSER int name(int dirfd, const char* path, int flags, ...) {      \
    TAKE_MODE(flags)                                                      \
    MAP_FOR_OPEN(path, flags)                                             \
    return REAL(name)(dirfd, use, flags, mode);                           \
  }

OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

/* The checked forms that fortified callers use. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

#define OPEN2_LIKE(name)                                      \
  INTERPOSER int name(const char* path, int flags) {          \
    MAP_FOR_OPEN(path, flags)                                 \
    return REAL(name)(use, flags);                            \
  }

OPEN2_LIKE(__open_2)
OPEN2_LIKE(__open64_2)

#define OPENAT2_LIKE(name)                                           \
  INTERPOSER int name(int dirfd, const char* path, int flags) {      \
    MAP_FOR_OPEN(path, flags)                                        \
    return REAL(name)(dirfd, use, flags);                            \
  }

OPENAT2_LIKE(__openat_2)
OPENAT2_LIKE(__openat64_2)

#define CREAT_LIKE(name)                                      \
  INTERPOSER int name(const char* path, mode_t mode) {        \
    MAP_FOR_OPEN(path, O_WRONLY)                              \
    return REAL(name)(use, mode);                             \
  }

CREAT_LIKE(creat)
CREAT_LIKE(creat64)

#define FOPEN_LIKE(name)                                           \
  INTERPOSER FILE* name(const char* path, const char* mode) {                 \
    char buffer[PATH_BUFFER_SIZE];                                 \
    const char* use;                                               \
    int kind = map_path(path, buffer, &use);                       \
    if (kind < 0) return NULL;                                     \
    if (kind == 2) {                                               \
      int fd = ppplatform_open_tty(O_WRONLY);                      \
      if (fd < 0) return NULL;                                     \
      FILE* file = fdopen(fd, mode);                               \
      if (!file) close(fd);                                        \
      return file;                                                 \
    }                                                              \
    return REAL(name)(use, mode);                                  \
  }

FOPEN_LIKE(fopen)
FOPEN_LIKE(fopen64)

#define PATH_CALL(ret, error_value, name, params, args)            \
  INTERPOSER ret name params {                                                \
    char buffer[PATH_BUFFER_SIZE];                                 \
    const char* use;                                               \
    if (map_path(path, buffer, &use) < 0) return error_value;      \
    return REAL(name) args;                                        \
  }

PATH_CALL(int, -1, stat, (const char* path, struct stat* info), (use, info))
PATH_CALL(int, -1, stat64, (const char* path, struct stat64* info), (use, info))
PATH_CALL(int, -1, lstat, (const char* path, struct stat* info), (use, info))
PATH_CALL(int, -1, lstat64, (const char* path, struct stat64* info), (use, info))
PATH_CALL(int, -1, fstatat, (int dirfd, const char* path, struct stat* info, int flags),
          (dirfd, use, info, flags))
PATH_CALL(int, -1, fstatat64, (int dirfd, const char* path, struct stat64* info, int flags),
          (dirfd, use, info, flags))
PATH_CALL(int, -1, access, (const char* path, int mode), (use, mode))
PATH_CALL(int, -1, unlink, (const char* path), (use))
PATH_CALL(int, -1, remove, (const char* path), (use))
PATH_CALL(int, -1, mkdir, (const char* path, mode_t mode), (use, mode))
PATH_CALL(int, -1, rmdir, (const char* path), (use))
PATH_CALL(int, -1, truncate, (const char* path, off_t length), (use, length))
PATH_CALL(int, -1, truncate64, (const char* path, off64_t length), (use, length))
PATH_CALL(DIR*, NULL, opendir, (const char* path), (use))

INTERPOSER int rename(const char* old_path, const char* new_path) {
  char old_buffer[PATH_BUFFER_SIZE];
  char new_buffer[PATH_BUFFER_SIZE];
  const char* old_use;
  const char* new_use;
  if (map_path(old_path, old_buffer, &old_use) < 0) return -1;
  if (map_path(new_path, new_buffer, &new_use) < 0) return -1;
  return REAL(rename)(old_use, new_use);
}

INTERPOSER int mount(const char* source, const char* target, const char* type,
          unsigned long flags, const void* data) {
  int result = ppplatform_mount(source, target, type, flags, data);
  if (result != -2) return result;
  return REAL(mount)(source, target, type, flags, data);
}

INTERPOSER int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCNACLOUTPUT) return ppplatform_tty_ioctl(fd, arg);
  return REAL(ioctl)(fd, request, arg);
}
