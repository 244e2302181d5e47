/* The C library's file calls, interposed for the whole process (this
 * library is loaded before the C library, so every library's calls bind
 * here first):
 * - a path under a mount point goes to the host directory behind it,
 *   "/dev/tty" to the terminal, anything else to the C library untouched;
 * - a write that would grow the files of a file system past its quota
 *   fails with ENOSPC, as on a full disk;
 * - stdio streams on mounted files write through write() below, so that
 *   their bytes are counted too.
 * Calls come before the process is set up (a memory checker's own start-up
 * creates files), so this file is built without any sanitizer; until the
 * layer is initialised every call is forwarded without leaving it. */

#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utime.h>

#include "nacl_io/file_layer.h"
#include "nacl_io/ioctl.h"

int ppplatform_file_layer_active = 0;

static void* next_symbol(const char* name) {
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

static int active(void) { return __atomic_load_n(&ppplatform_file_layer_active, __ATOMIC_ACQUIRE); }

/* Sets *use to the path to pass on; returns PPFS_*, or -1 (errno set). */
static int map_at(int dirfd, const char* path, int follow, char* buffer, const char** use,
                  int* file_system) {
  *use = path;
  if (!active()) return PPFS_HOST;
  int kind = ppfs_map(dirfd, path, follow, buffer, PATH_BUFFER_SIZE, file_system);
  if (kind == PPFS_MAPPED) *use = buffer;
  return kind;
}

/* Records what a successful open-style call gave. */
static int opened(int fd, int kind, const char* use) {
  if (fd >= 0 && active()) ppfs_fd_opened(fd, kind == PPFS_MAPPED ? use : NULL);
  return fd;
}

/* ---- Quota ---- */

/* A call that may make a file longer: the bytes it may write. */
struct growth {
  int file_system; /* held, or -1 */
};

static void quota_leave(struct growth* held) {
  if (held->file_system >= 0) {
    int saved = errno;
    ppfs_quota_end(held->file_system);
    errno = saved;
  }
  held->file_system = -1;
}

/* Limits a write of *count bytes at |offset| (-1: the descriptor's
 * position or its end when appending) on |fd| to what the quota leaves.
 * 0 to go on (end with quota_leave), -1 with ENOSPC when nothing fits. */
static int quota_enter(int fd, off64_t offset, size_t* count, struct growth* held) {
  held->file_system = -1;
  if (!active() || *count == 0 || !ppfs_fd_maybe_tracked(fd)) return 0;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  int file_system = ppfs_fd_file_system(fd, &info);
  if (file_system < 0) return 0;
  int64_t room = ppfs_quota_begin(file_system);
  held->file_system = file_system;
  if (room == INT64_MAX) return 0;
  /* Again under the hold: another writer may have grown the file. */
  if (fstat(fd, &info) != 0) return 0;
  int64_t start = offset;
  if (start < 0) {
    int flags = fcntl(fd, F_GETFL);
    start = (flags >= 0 && (flags & O_APPEND)) ? info.st_size : lseek64(fd, 0, SEEK_CUR);
    if (start < 0) return 0;
  }
  int64_t end = start + (int64_t)*count;
  if (end <= info.st_size || end - info.st_size <= room) return 0;
  int64_t limit = info.st_size + room;
  if (limit <= start) {
    quota_leave(held);
    errno = ENOSPC;
    return -1;
  }
  /* What fits is written, as on a disk that fills up. */
  *count = (size_t)(limit - start);
  return 0;
}

/* A call that sets a file's size to |new_size| (all or nothing). */
static int quota_resize(int file_system, off64_t old_size, off64_t new_size,
                        struct growth* held) {
  held->file_system = -1;
  if (file_system < 0) return 0;
  int64_t room = ppfs_quota_begin(file_system);
  held->file_system = file_system;
  if (new_size > old_size && new_size - old_size > room) {
    quota_leave(held);
    errno = ENOSPC;
    return -1;
  }
  return 0;
}

/* For a call on a descriptor: its file system and size, or -1. */
static int fd_file_system(int fd, off64_t* size) {
  if (!active() || !ppfs_fd_maybe_tracked(fd)) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  *size = info.st_size;
  return ppfs_fd_file_system(fd, &info);
}

ssize_t write(int fd, const void* data, size_t count) {
  struct growth held;
  if (quota_enter(fd, -1, &count, &held) < 0) return -1;
  ssize_t written = REAL(write)(fd, data, count);
  quota_leave(&held);
  return written;
}

#define PWRITE_LIKE(name, offset_type)                                         \
  ssize_t name(int fd, const void* data, size_t count, offset_type offset) {   \
    struct growth held;                                                        \
    if (quota_enter(fd, offset, &count, &held) < 0) return -1;                 \
    ssize_t written = REAL(name)(fd, data, count, offset);                     \
    quota_leave(&held);                                                        \
    return written;                                                            \
  }

PWRITE_LIKE(pwrite, off_t)
PWRITE_LIKE(pwrite64, off64_t)

/* The vector cut to |count| bytes in |out|; the number of entries. */
static int cut_vector(const struct iovec* vector, int entries, size_t count,
                      struct iovec* out) {
  int used = 0;
  for (int i = 0; i < entries && count > 0; ++i) {
    out[used] = vector[i];
    if (out[used].iov_len > count) out[used].iov_len = count;
    count -= out[used].iov_len;
    ++used;
  }
  return used;
}

static size_t vector_size(const struct iovec* vector, int entries) {
  size_t total = 0;
  for (int i = 0; i < entries; ++i) total += vector[i].iov_len;
  return total;
}

#define WRITEV_LIKE(name, params, offset, call_args)                          \
  ssize_t name params {                                                       \
    if (entries <= 0 || entries > IOV_MAX || !active() || !ppfs_fd_maybe_tracked(fd)) \
      return REAL(name) call_args;                                            \
    size_t total = vector_size(vector, entries);                              \
    size_t count = total;                                                     \
    struct growth held;                                                       \
    if (quota_enter(fd, offset, &count, &held) < 0) return -1;                \
    struct iovec cut[IOV_MAX];                                                \
    if (count < total) {                                                      \
      entries = cut_vector(vector, entries, count, cut);                      \
      vector = cut;                                                           \
    }                                                                         \
    ssize_t written = REAL(name) call_args;                                   \
    quota_leave(&held);                                                       \
    return written;                                                           \
  }

WRITEV_LIKE(writev, (int fd, const struct iovec* vector, int entries), -1,
            (fd, vector, entries))
WRITEV_LIKE(pwritev, (int fd, const struct iovec* vector, int entries, off_t offset), offset,
            (fd, vector, entries, offset))
WRITEV_LIKE(pwritev64, (int fd, const struct iovec* vector, int entries, off64_t offset),
            offset, (fd, vector, entries, offset))

#define FTRUNCATE_LIKE(name, offset_type)                        \
  int name(int fd, offset_type length) {                         \
    off64_t size = 0;                                            \
    int file_system = fd_file_system(fd, &size);                 \
    struct growth held;                                          \
    if (quota_resize(file_system, size, length, &held) < 0) return -1; \
    int result = REAL(name)(fd, length);                         \
    quota_leave(&held);                                          \
    return result;                                               \
  }

FTRUNCATE_LIKE(ftruncate, off_t)
FTRUNCATE_LIKE(ftruncate64, off64_t)

#define FALLOCATE_LIKE(name, offset_type)                                          \
  int name(int fd, int mode, offset_type offset, offset_type length) {             \
    off64_t size = 0;                                                              \
    int file_system = (mode & 1 /* FALLOC_FL_KEEP_SIZE */) ? -1 : fd_file_system(fd, &size); \
    struct growth held;                                                            \
    off64_t end = (off64_t)offset + (off64_t)length;                               \
    if (quota_resize(file_system, size, end, &held) < 0) return -1;               \
    int result = REAL(name)(fd, mode, offset, length);                             \
    quota_leave(&held);                                                            \
    return result;                                                                 \
  }

FALLOCATE_LIKE(fallocate, off_t)
FALLOCATE_LIKE(fallocate64, off64_t)

/* Reports failure as its result, not in errno. */
#define POSIX_FALLOCATE_LIKE(name, offset_type)                                    \
  int name(int fd, offset_type offset, offset_type length) {                       \
    off64_t size = 0;                                                              \
    int file_system = fd_file_system(fd, &size);                                   \
    struct growth held;                                                            \
    off64_t end = (off64_t)offset + (off64_t)length;                               \
    if (quota_resize(file_system, size, end, &held) < 0) return ENOSPC;            \
    int result = REAL(name)(fd, offset, length);                                   \
    quota_leave(&held);                                                            \
    return result;                                                                 \
  }

POSIX_FALLOCATE_LIKE(posix_fallocate, off_t)
POSIX_FALLOCATE_LIKE(posix_fallocate64, off64_t)

#define SENDFILE_LIKE(name, offset_type)                                       \
  ssize_t name(int out, int in, offset_type* offset, size_t count) {           \
    struct growth held;                                                        \
    if (quota_enter(out, -1, &count, &held) < 0) return -1;                    \
    ssize_t written = REAL(name)(out, in, offset, count);                      \
    quota_leave(&held);                                                        \
    return written;                                                            \
  }

SENDFILE_LIKE(sendfile, off_t)
SENDFILE_LIKE(sendfile64, off64_t)

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                        size_t count, unsigned int flags) {
  struct growth held;
  if (quota_enter(out, out_offset ? *out_offset : -1, &count, &held) < 0) return -1;
  ssize_t written = REAL(copy_file_range)(in, in_offset, out, out_offset, count, flags);
  quota_leave(&held);
  return written;
}

/* ---- Descriptors ---- */

int close(int fd) {
  if (active()) ppfs_fd_closed(fd);
  return REAL(close)(fd);
}

int dup(int fd) {
  int copy = REAL(dup)(fd);
  if (copy >= 0 && active()) ppfs_fd_duplicated(fd, copy);
  return copy;
}

int dup2(int fd, int target) {
  int copy = REAL(dup2)(fd, target);
  if (copy >= 0 && copy != fd && active()) ppfs_fd_duplicated(fd, copy);
  return copy;
}

int dup3(int fd, int target, int flags) {
  int copy = REAL(dup3)(fd, target, flags);
  if (copy >= 0 && active()) ppfs_fd_duplicated(fd, copy);
  return copy;
}

#define FCNTL_LIKE(name)                                                    \
  int name(int fd, int command, ...) {                                      \
    va_list args;                                                           \
    va_start(args, command);                                                \
    void* arg = va_arg(args, void*);                                        \
    va_end(args);                                                           \
    int result = REAL(name)(fd, command, arg);                              \
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC) && active()) \
      ppfs_fd_duplicated(fd, result);                                       \
    return result;                                                          \
  }

FCNTL_LIKE(fcntl)
FCNTL_LIKE(fcntl64)

/* ---- Opening files ---- */

static int needs_mode(int flags) {
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
#define MAP_FOR_OPEN(dirfd, path, flags)                                  \
  char buffer[PATH_BUFFER_SIZE];                                          \
  const char* use;                                                        \
  int file_system;                                                        \
  int kind = map_at(dirfd, path, !((flags) & O_NOFOLLOW), buffer, &use, &file_system); \
  if (kind < 0) return -1;                                                \
  if (kind == PPFS_TTY) return ppfs_open_tty(flags);

#define OPEN_LIKE(name)                                          \
  int name(const char* path, int flags, ...) {                   \
    TAKE_MODE(flags)                                             \
    MAP_FOR_OPEN(AT_FDCWD, path, flags)                          \
    return opened(REAL(name)(use, flags, mode), kind, use);      \
  }

OPEN_LIKE(open)
OPEN_LIKE(open64)

#define OPENAT_LIKE(name)                                              \
  int name(int dirfd, const char* path, int flags, ...) {              \
    TAKE_MODE(flags)                                                   \
    MAP_FOR_OPEN(dirfd, path, flags)                                   \
    return opened(REAL(name)(dirfd, use, flags, mode), kind, use);     \
  }

OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

/* The checked forms that fortified callers use. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

#define OPEN2_LIKE(name)                                      \
  int name(const char* path, int flags) {                     \
    MAP_FOR_OPEN(AT_FDCWD, path, flags)                       \
    return opened(REAL(name)(use, flags), kind, use);         \
  }

OPEN2_LIKE(__open_2)
OPEN2_LIKE(__open64_2)

#define OPENAT2_LIKE(name)                                           \
  int name(int dirfd, const char* path, int flags) {                 \
    MAP_FOR_OPEN(dirfd, path, flags)                                 \
    return opened(REAL(name)(dirfd, use, flags), kind, use);         \
  }

OPENAT2_LIKE(__openat_2)
OPENAT2_LIKE(__openat64_2)

#define CREAT_LIKE(name)                                      \
  int name(const char* path, mode_t mode) {                   \
    MAP_FOR_OPEN(AT_FDCWD, path, O_WRONLY)                    \
    return opened(REAL(name)(use, mode), kind, use);          \
  }

CREAT_LIKE(creat)
CREAT_LIKE(creat64)

/* ---- Stdio streams on mounted files ----
 * The C library's streams write through its internal system call, past
 * write() above; a stream on a mounted file is therefore a cookie stream
 * whose calls go through this file. fileno gives its descriptor. */

struct stream_cookie {
  int fd;
  FILE* stream;
};

static ssize_t cookie_read(void* cookie, char* data, size_t count) {
  return read(((struct stream_cookie*)cookie)->fd, data, count);
}

/* All or an error: stdio takes a short count for a failure. */
static ssize_t cookie_write(void* cookie, const char* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t written = write(((struct stream_cookie*)cookie)->fd, data + done, count - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return -1;
    done += (size_t)written;
  }
  return (ssize_t)count;
}

static int cookie_seek(void* cookie, off64_t* offset, int whence) {
  off64_t at = lseek64(((struct stream_cookie*)cookie)->fd, *offset, whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}

static int cookie_close(void* cookie) {
  struct stream_cookie* stream = cookie;
  ppfs_stream_closed(stream->stream);
  int result = close(stream->fd);
  free(stream);
  return result;
}

/* Open flags of a stdio mode; -1 for a bad mode. */
static int mode_flags(const char* mode) {
  int flags;
  switch (mode[0]) {
    case 'r': flags = 0; break;
    case 'w': flags = O_CREAT | O_TRUNC; break;
    case 'a': flags = O_CREAT | O_APPEND; break;
    default: return -1;
  }
  int update = 0;
  for (const char* c = mode + 1; *c && *c != ','; ++c) {
    if (*c == '+') update = 1;
    if (*c == 'x') flags |= O_EXCL;
    if (*c == 'e') flags |= O_CLOEXEC;
  }
  flags |= update ? O_RDWR : (mode[0] == 'r' ? O_RDONLY : O_WRONLY);
  return flags;
}

/* A stream over |fd|, which it owns (closed on failure). */
static FILE* cookie_stream(int fd, const char* mode) {
  struct stream_cookie* cookie = malloc(sizeof(*cookie));
  if (!cookie) {
    close(fd);
    errno = ENOMEM;
    return NULL;
  }
  cookie->fd = fd;
  cookie_io_functions_t functions = {cookie_read, cookie_write, cookie_seek, cookie_close};
  FILE* stream = fopencookie(cookie, mode, functions);
  if (!stream) {
    int saved = errno;
    free(cookie);
    close(fd);
    errno = saved;
    return NULL;
  }
  cookie->stream = stream;
  ppfs_stream_opened(stream, fd);
  return stream;
}

static FILE* tty_stream(const char* mode) {
  int fd = ppfs_open_tty(O_WRONLY);
  if (fd < 0) return NULL;
  FILE* file = fdopen(fd, mode);
  if (!file) close(fd);
  return file;
}

#define FOPEN_LIKE(name)                                                   \
  FILE* name(const char* path, const char* mode) {                         \
    char buffer[PATH_BUFFER_SIZE];                                         \
    const char* use;                                                       \
    int file_system;                                                       \
    int kind = map_at(AT_FDCWD, path, 1, buffer, &use, &file_system);      \
    if (kind < 0) return NULL;                                             \
    if (kind == PPFS_TTY) return tty_stream(mode);                         \
    if (kind == PPFS_HOST) return REAL(name)(use, mode);                   \
    int flags = mode ? mode_flags(mode) : -1;                              \
    if (flags < 0) {                                                       \
      errno = EINVAL;                                                      \
      return NULL;                                                         \
    }                                                                      \
    int fd = opened(REAL(open)(use, flags, 0666), kind, use);              \
    if (fd < 0) return NULL;                                               \
    return cookie_stream(fd, mode);                                        \
  }

FOPEN_LIKE(fopen)
FOPEN_LIKE(fopen64)

FILE* fdopen(int fd, const char* mode) {
  off64_t size;
  if (mode && fd_file_system(fd, &size) >= 0) return cookie_stream(fd, mode);
  return REAL(fdopen)(fd, mode);
}

/* The stream stays the C library's own, so its writes are not counted
 * against the quota; its descriptor's calls are. */
#define FREOPEN_LIKE(name)                                                 \
  FILE* name(const char* path, const char* mode, FILE* stream) {          \
    char buffer[PATH_BUFFER_SIZE];                                         \
    const char* use = path;                                                \
    int file_system;                                                       \
    int kind = path ? map_at(AT_FDCWD, path, 1, buffer, &use, &file_system) : PPFS_HOST; \
    if (kind < 0) return NULL;                                             \
    if (kind == PPFS_TTY) {                                                \
      errno = EINVAL;                                                      \
      return NULL;                                                         \
    }                                                                      \
    FILE* result = REAL(name)(use, mode, stream);                          \
    if (result && path) opened(REAL(fileno)(result), kind, use);           \
    return result;                                                         \
  }

FREOPEN_LIKE(freopen)
FREOPEN_LIKE(freopen64)

int fileno(FILE* stream) {
  if (active()) {
    int fd = ppfs_stream_fd(stream);
    if (fd >= 0) return fd;
  }
  return REAL(fileno)(stream);
}

int fileno_unlocked(FILE* stream) {
  if (active()) {
    int fd = ppfs_stream_fd(stream);
    if (fd >= 0) return fd;
  }
  return REAL(fileno_unlocked)(stream);
}

/* ---- Path calls ---- */

#define PATH_CALL_AT(ret, error_value, name, dirfd, follow, params, args)    \
  ret name params {                                                          \
    char buffer[PATH_BUFFER_SIZE];                                           \
    const char* use;                                                         \
    int file_system;                                                         \
    if (map_at(dirfd, path, follow, buffer, &use, &file_system) < 0) return error_value; \
    return REAL(name) args;                                                  \
  }

#define PATH_CALL(ret, error_value, name, follow, params, args) \
  PATH_CALL_AT(ret, error_value, name, AT_FDCWD, follow, params, args)

PATH_CALL(int, -1, stat, 1, (const char* path, struct stat* info), (use, info))
PATH_CALL(int, -1, stat64, 1, (const char* path, struct stat64* info), (use, info))
PATH_CALL(int, -1, lstat, 0, (const char* path, struct stat* info), (use, info))
PATH_CALL(int, -1, lstat64, 0, (const char* path, struct stat64* info), (use, info))
PATH_CALL_AT(int, -1, fstatat, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, struct stat* info, int flags),
             (dirfd, use, info, flags))
PATH_CALL_AT(int, -1, fstatat64, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, struct stat64* info, int flags),
             (dirfd, use, info, flags))
PATH_CALL_AT(int, -1, statx, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, int flags, unsigned int mask, struct statx* info),
             (dirfd, use, flags, mask, info))
PATH_CALL(int, -1, access, 1, (const char* path, int mode), (use, mode))
PATH_CALL(int, -1, euidaccess, 1, (const char* path, int mode), (use, mode))
PATH_CALL(int, -1, eaccess, 1, (const char* path, int mode), (use, mode))
PATH_CALL_AT(int, -1, faccessat, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, int mode, int flags), (dirfd, use, mode, flags))
PATH_CALL(int, -1, unlink, 0, (const char* path), (use))
PATH_CALL_AT(int, -1, unlinkat, dirfd, 0, (int dirfd, const char* path, int flags),
             (dirfd, use, flags))
PATH_CALL(int, -1, remove, 0, (const char* path), (use))
PATH_CALL(int, -1, mkdir, 0, (const char* path, mode_t mode), (use, mode))
PATH_CALL_AT(int, -1, mkdirat, dirfd, 0, (int dirfd, const char* path, mode_t mode),
             (dirfd, use, mode))
PATH_CALL(int, -1, rmdir, 0, (const char* path), (use))
PATH_CALL(int, -1, mknod, 0, (const char* path, mode_t mode, dev_t device), (use, mode, device))
PATH_CALL_AT(int, -1, mknodat, dirfd, 0, (int dirfd, const char* path, mode_t mode, dev_t device),
             (dirfd, use, mode, device))
PATH_CALL(int, -1, mkfifo, 0, (const char* path, mode_t mode), (use, mode))
PATH_CALL_AT(int, -1, mkfifoat, dirfd, 0, (int dirfd, const char* path, mode_t mode),
             (dirfd, use, mode))
PATH_CALL(int, -1, chmod, 1, (const char* path, mode_t mode), (use, mode))
PATH_CALL_AT(int, -1, fchmodat, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, mode_t mode, int flags), (dirfd, use, mode, flags))
PATH_CALL(int, -1, chown, 1, (const char* path, uid_t owner, gid_t group), (use, owner, group))
PATH_CALL(int, -1, lchown, 0, (const char* path, uid_t owner, gid_t group), (use, owner, group))
PATH_CALL_AT(int, -1, fchownat, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, uid_t owner, gid_t group, int flags),
             (dirfd, use, owner, group, flags))
PATH_CALL(int, -1, utime, 1, (const char* path, const struct utimbuf* times), (use, times))
PATH_CALL(int, -1, utimes, 1, (const char* path, const struct timeval times[2]), (use, times))
PATH_CALL(int, -1, lutimes, 0, (const char* path, const struct timeval times[2]), (use, times))
PATH_CALL_AT(int, -1, futimesat, dirfd, 1,
             (int dirfd, const char* path, const struct timeval times[2]), (dirfd, use, times))
PATH_CALL_AT(int, -1, utimensat, dirfd, !(flags & AT_SYMLINK_NOFOLLOW),
             (int dirfd, const char* path, const struct timespec times[2], int flags),
             (dirfd, use, times, flags))
PATH_CALL(int, -1, statvfs, 1, (const char* path, struct statvfs* info), (use, info))
PATH_CALL(int, -1, statvfs64, 1, (const char* path, struct statvfs64* info), (use, info))
PATH_CALL(int, -1, statfs, 1, (const char* path, struct statfs* info), (use, info))
PATH_CALL(int, -1, statfs64, 1, (const char* path, struct statfs64* info), (use, info))
PATH_CALL(long, -1, pathconf, 1, (const char* path, int name), (use, name))
PATH_CALL(int, -1, scandir, 1,
          (const char* path, struct dirent*** list, int (*filter)(const struct dirent*),
           int (*compare)(const struct dirent**, const struct dirent**)),
          (use, list, filter, compare))
PATH_CALL(int, -1, scandir64, 1,
          (const char* path, struct dirent64*** list, int (*filter)(const struct dirent64*),
           int (*compare)(const struct dirent64**, const struct dirent64**)),
          (use, list, filter, compare))

/* Truncation by path: the quota as for ftruncate. */
#define TRUNCATE_LIKE(name, offset_type)                                      \
  int name(const char* path, offset_type length) {                            \
    char buffer[PATH_BUFFER_SIZE];                                            \
    const char* use;                                                          \
    int file_system = -1;                                                     \
    int kind = map_at(AT_FDCWD, path, 1, buffer, &use, &file_system);         \
    if (kind < 0) return -1;                                                  \
    struct stat info;                                                         \
    if (kind != PPFS_MAPPED || REAL(stat)(use, &info) != 0 || !S_ISREG(info.st_mode)) \
      return REAL(name)(use, length);                                         \
    struct growth held;                                                       \
    if (quota_resize(file_system, info.st_size, length, &held) < 0) return -1; \
    int result = REAL(name)(use, length);                                     \
    quota_leave(&held);                                                       \
    return result;                                                            \
  }

TRUNCATE_LIKE(truncate, off_t)
TRUNCATE_LIKE(truncate64, off64_t)

DIR* opendir(const char* path) {
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  int kind = map_at(AT_FDCWD, path, 1, buffer, &use, &file_system);
  if (kind < 0) return NULL;
  DIR* dir = REAL(opendir)(use);
  if (dir) opened(dirfd(dir), kind, use);
  return dir;
}

int closedir(DIR* dir) {
  if (active()) ppfs_fd_closed(dirfd(dir));
  return REAL(closedir)(dir);
}

/* Moving or linking a file into another file system adds its bytes there. */
static int quota_for_move(int old_kind, int old_fs, const char* old_use, int new_kind,
                          int new_fs, const char* new_use, struct growth* held) {
  held->file_system = -1;
  if (new_kind != PPFS_MAPPED || (old_kind == PPFS_MAPPED && old_fs == new_fs)) return 0;
  struct stat info;
  if (REAL(lstat)(old_use, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  struct stat replaced;
  off64_t old_size = 0;
  if (REAL(lstat)(new_use, &replaced) == 0 && S_ISREG(replaced.st_mode)) old_size = replaced.st_size;
  return quota_resize(new_fs, old_size, info.st_size, held);
}

#define TWO_PATHS(old_dirfd, old_path, old_follow, new_dirfd, new_path)            \
  char old_buffer[PATH_BUFFER_SIZE];                                              \
  char new_buffer[PATH_BUFFER_SIZE];                                              \
  const char* old_use;                                                            \
  const char* new_use;                                                            \
  int old_fs = -1, new_fs = -1;                                                   \
  int old_kind = map_at(old_dirfd, old_path, old_follow, old_buffer, &old_use, &old_fs); \
  if (old_kind < 0) return -1;                                                    \
  int new_kind = map_at(new_dirfd, new_path, 0, new_buffer, &new_use, &new_fs);   \
  if (new_kind < 0) return -1;                                                    \
  struct growth held;                                                             \
  if (quota_for_move(old_kind, old_fs, old_use, new_kind, new_fs, new_use, &held) < 0) \
    return -1;

#define END_TWO_PATHS(call) \
  int result = call;        \
  quota_leave(&held);       \
  return result;

int rename(const char* old_path, const char* new_path) {
  TWO_PATHS(AT_FDCWD, old_path, 0, AT_FDCWD, new_path)
  END_TWO_PATHS(REAL(rename)(old_use, new_use))
}

int renameat(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path) {
  TWO_PATHS(old_dirfd, old_path, 0, new_dirfd, new_path)
  END_TWO_PATHS(REAL(renameat)(old_dirfd, old_use, new_dirfd, new_use))
}

int renameat2(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
              unsigned int flags) {
  TWO_PATHS(old_dirfd, old_path, 0, new_dirfd, new_path)
  END_TWO_PATHS(REAL(renameat2)(old_dirfd, old_use, new_dirfd, new_use, flags))
}

int link(const char* old_path, const char* new_path) {
  TWO_PATHS(AT_FDCWD, old_path, 0, AT_FDCWD, new_path)
  END_TWO_PATHS(REAL(link)(old_use, new_use))
}

int linkat(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path, int flags) {
  TWO_PATHS(old_dirfd, old_path, (flags & AT_SYMLINK_FOLLOW) != 0, new_dirfd, new_path)
  END_TWO_PATHS(REAL(linkat)(old_dirfd, old_use, new_dirfd, new_use, flags))
}

/* A link's target is stored as the host sees it, so that the host's kernel
 * finds a mounted file whichever side of a mount the link lies on. */
#define SYMLINK_TARGET(target)                                                 \
  char target_buffer[PATH_BUFFER_SIZE];                                        \
  const char* target_use = target;                                             \
  int target_fs;                                                               \
  if (target[0] == '/' &&                                          \
      map_at(AT_FDCWD, target, 0, target_buffer, &target_use, &target_fs) < 0) \
    target_use = target;

int symlink(const char* target, const char* path) {
  SYMLINK_TARGET(target)
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  if (map_at(AT_FDCWD, path, 0, buffer, &use, &file_system) < 0) return -1;
  return REAL(symlink)(target_use, use);
}

int symlinkat(const char* target, int dirfd, const char* path) {
  SYMLINK_TARGET(target)
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  if (map_at(dirfd, path, 0, buffer, &use, &file_system) < 0) return -1;
  return REAL(symlinkat)(target_use, dirfd, use);
}

/* A link's target, given back as a page path when it names a mounted file. */
static ssize_t page_link(ssize_t length, const char* target, char* out, size_t size) {
  if (length < 0) return length;
  char page[PATH_BUFFER_SIZE];
  const char* text = target;
  if (ppfs_page_path(target, page, sizeof(page)) == 1) {
    text = page;
    length = (ssize_t)strlen(page);
  }
  if ((size_t)length > size) length = (ssize_t)size;
  memcpy(out, text, (size_t)length);
  return length;
}

ssize_t readlink(const char* path, char* out, size_t size) {
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  int kind = map_at(AT_FDCWD, path, 0, buffer, &use, &file_system);
  if (kind < 0) return -1;
  if (kind != PPFS_MAPPED) return REAL(readlink)(use, out, size);
  char target[PATH_MAX + 1];
  ssize_t length = REAL(readlink)(use, target, PATH_MAX);
  if (length >= 0) target[length] = '\0';
  return page_link(length, target, out, size);
}

ssize_t readlinkat(int dirfd, const char* path, char* out, size_t size) {
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  int kind = map_at(dirfd, path, 0, buffer, &use, &file_system);
  if (kind < 0) return -1;
  if (kind != PPFS_MAPPED) return REAL(readlinkat)(dirfd, use, out, size);
  char target[PATH_MAX + 1];
  ssize_t length = REAL(readlinkat)(dirfd, use, target, PATH_MAX);
  if (length >= 0) target[length] = '\0';
  return page_link(length, target, out, size);
}

/* The page path of a mounted file: links inside the mount are resolved by
 * the mapping itself, so the page path it reached is the real one. */
char* realpath(const char* path, char* resolved) {
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  int kind = path ? map_at(AT_FDCWD, path, 1, buffer, &use, &file_system) : PPFS_HOST;
  if (kind < 0) return NULL;
  if (kind != PPFS_MAPPED) return REAL(realpath)(path, resolved);
  struct stat info;
  if (REAL(stat)(use, &info) != 0) return NULL;
  char page[PATH_BUFFER_SIZE];
  if (ppfs_page_path(use, page, sizeof(page)) != 1 || strlen(page) >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return NULL;
  }
  if (!resolved) return strdup(page);
  strcpy(resolved, page);
  return resolved;
}

char* canonicalize_file_name(const char* path) { return realpath(path, NULL); }

int chdir(const char* path) {
  char buffer[PATH_BUFFER_SIZE];
  const char* use;
  int file_system;
  int kind = map_at(AT_FDCWD, path, 1, buffer, &use, &file_system);
  if (kind < 0) return -1;
  int result = REAL(chdir)(use);
  if (result == 0 && active()) ppfs_set_cwd(kind == PPFS_MAPPED ? use : NULL);
  return result;
}

int fchdir(int fd) {
  int result = REAL(fchdir)(fd);
  if (result == 0 && active()) ppfs_set_cwd_fd(fd);
  return result;
}

char* getcwd(char* out, size_t size) {
  if (!active()) return REAL(getcwd)(out, size);
  char page[PATH_BUFFER_SIZE];
  int in_mount = ppfs_get_cwd(page, sizeof(page));
  if (in_mount <= 0) return REAL(getcwd)(out, size);
  size_t length = strlen(page) + 1;
  if (!out) {
    if (size != 0 && size < length) {
      errno = ERANGE;
      return NULL;
    }
    return strdup(page);
  }
  if (size < length) {
    errno = size == 0 ? EINVAL : ERANGE;
    return NULL;
  }
  memcpy(out, page, length);
  return out;
}

/* The checked forms that fortified callers use. */
char* __realpath_chk(const char* path, char* resolved, size_t resolved_size);
ssize_t __readlink_chk(const char* path, char* out, size_t size, size_t out_size);
ssize_t __readlinkat_chk(int dirfd, const char* path, char* out, size_t size, size_t out_size);
char* __getcwd_chk(char* out, size_t size, size_t out_size);

char* __realpath_chk(const char* path, char* resolved, size_t resolved_size) {
  if (resolved && resolved_size < PATH_MAX) abort();
  return realpath(path, resolved);
}

ssize_t __readlink_chk(const char* path, char* out, size_t size, size_t out_size) {
  if (size > out_size) abort();
  return readlink(path, out, size);
}

ssize_t __readlinkat_chk(int dirfd, const char* path, char* out, size_t size, size_t out_size) {
  if (size > out_size) abort();
  return readlinkat(dirfd, path, out, size);
}

char* __getcwd_chk(char* out, size_t size, size_t out_size) {
  if (size > out_size) abort();
  return getcwd(out, size);
}

/* Temporary names: the template is made under the mount, and the name
 * chosen is written back into the caller's template. */
#define MKSTEMP_LIKE(ret, error_value, name, suffix, params, args, on_success)       \
  ret name params {                                                                  \
    char buffer[PATH_BUFFER_SIZE];                                                   \
    const char* use;                                                                 \
    int file_system;                                                                 \
    int kind = map_at(AT_FDCWD, path, 0, buffer, &use, &file_system);                \
    if (kind < 0) return error_value;                                                \
    if (kind != PPFS_MAPPED) return REAL(name) args;                                 \
    char* made = buffer;                                                             \
    size_t tail = 6 + (size_t)(suffix);                                              \
    size_t path_length = strlen(path), made_length = strlen(made);                   \
    if (path_length < tail || made_length < tail) {                                  \
      errno = EINVAL;                                                                \
      return error_value;                                                            \
    }                                                                                \
    { char* path_in = path; path = made; ret result = REAL(name) args; path = path_in; \
      if (result == error_value) return result;                                      \
      memcpy(path + path_length - tail, made + made_length - tail, tail - (suffix));  \
      on_success; }                                                                  \
  }

MKSTEMP_LIKE(int, -1, mkstemp, 0, (char* path), (path), return opened(result, kind, made))
MKSTEMP_LIKE(int, -1, mkstemp64, 0, (char* path), (path), return opened(result, kind, made))
MKSTEMP_LIKE(int, -1, mkostemp, 0, (char* path, int flags), (path, flags),
             return opened(result, kind, made))
MKSTEMP_LIKE(int, -1, mkostemp64, 0, (char* path, int flags), (path, flags),
             return opened(result, kind, made))
MKSTEMP_LIKE(int, -1, mkstemps, suffix_length, (char* path, int suffix_length),
             (path, suffix_length), return opened(result, kind, made))
MKSTEMP_LIKE(int, -1, mkstemps64, suffix_length, (char* path, int suffix_length),
             (path, suffix_length), return opened(result, kind, made))
MKSTEMP_LIKE(char*, NULL, mkdtemp, 0, (char* path), (path), return path_in)

/* Patterns under a mount are matched in the host directory; the matches
 * are given back as page paths. */
#define GLOB_LIKE(name, glob_type)                                                   \
  int name(const char* pattern, int flags, int (*on_error)(const char*, int),        \
           glob_type* found) {                                                       \
    char buffer[PATH_BUFFER_SIZE];                                                   \
    const char* use;                                                                 \
    int file_system;                                                                 \
    size_t before = (flags & GLOB_APPEND) ? found->gl_pathc : 0;                     \
    int kind = map_at(AT_FDCWD, pattern, 0, buffer, &use, &file_system);             \
    if (kind < 0) return GLOB_NOMATCH;                                               \
    int result = REAL(name)(use, flags, on_error, found);                            \
    if (kind != PPFS_MAPPED || result != 0) return result;                           \
    size_t offset = (flags & GLOB_DOOFFS) ? found->gl_offs : 0;                      \
    for (size_t i = before; i < found->gl_pathc; ++i) {                              \
      char page[PATH_BUFFER_SIZE];                                                   \
      char** entry = &found->gl_pathv[offset + i];                                   \
      if (ppfs_page_path(*entry, page, sizeof(page)) != 1) continue;                 \
      char* copy = strdup(page);                                                     \
      if (!copy) return GLOB_NOSPACE;                                                \
      free(*entry);                                                                  \
      *entry = copy;                                                                 \
    }                                                                                \
    return result;                                                                   \
  }

GLOB_LIKE(glob, glob_t)
GLOB_LIKE(glob64, glob64_t)

int mount(const char* source, const char* target, const char* type, unsigned long flags,
          const void* data) {
  int result = ppfs_mount(source, target, type, flags, data);
  if (result != -2) return result;
  return REAL(mount)(source, target, type, flags, data);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCNACLOUTPUT) return ppfs_tty_ioctl(fd, arg);
  return REAL(ioctl)(fd, request, arg);
}
