#ifndef NACL_IO_FILE_LAYER_H_
#define NACL_IO_FILE_LAYER_H_

/* What the call interposer (interpose.c) asks of the sandbox's POSIX
 * layer (nacl_io.cc). Any thread; none of these calls reaches an
 * interposed call again. */

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Set once the layer is initialised; until then every call is forwarded. */
extern int ppplatform_file_layer_active;

enum {
  PPFS_HOST = 0,   /* the path is the host's own: pass it on unchanged */
  PPFS_MAPPED = 1, /* |out| holds the host path behind a mount */
  PPFS_TTY = 2     /* the terminal device */
};

/* Maps |path|, relative to |dirfd| (or AT_FDCWD) when it is relative.
 * |follow|: whether a symbolic link as the last component is followed.
 * Returns PPFS_*, or -1 with errno set. For PPFS_MAPPED, *file_system is
 * the index of the file system (0 persistent, 1 temporary). */
int ppfs_map(int dirfd, const char* path, int follow, char* out, size_t out_size,
             int* file_system);

/* A descriptor was opened: |host_path| is what ppfs_map gave, or NULL for a
 * host file. */
void ppfs_fd_opened(int fd, const char* host_path);
void ppfs_fd_closed(int fd);
/* Cheap test before the others: 0 when |fd| was surely not opened under a
 * mount. */
int ppfs_fd_maybe_tracked(int fd);
void ppfs_fd_duplicated(int old_fd, int new_fd);
/* The file system of |fd| when it was opened under a mount and still names
 * the file |info| describes; -1 otherwise. */
int ppfs_fd_file_system(int fd, const struct stat* info);

/* Stdio streams over descriptors opened under a mount (see fopen in
 * interpose.c): their descriptor for fileno, -1 for other streams. */
void ppfs_stream_opened(void* stream, int fd);
void ppfs_stream_closed(void* stream);
int ppfs_stream_fd(void* stream);

/* Holds the quota of |file_system| until ppfs_quota_end; returns the bytes
 * its files may still grow by (INT64_MAX without a quota). */
int64_t ppfs_quota_begin(int file_system);
void ppfs_quota_end(int file_system);

/* Page path of |host_path| when it lies in a mounted directory: 1 and the
 * path in |out|; 0 otherwise; -1 when |out| is too small. */
int ppfs_page_path(const char* host_path, char* out, size_t out_size);

/* The working directory: the page path after a chdir into a mount, or
 * none (NULL) after one to the host's own directories. */
void ppfs_set_cwd(const char* host_path);
void ppfs_set_cwd_fd(int fd);
/* 1 with the page path in |out| when the working directory is in a mount. */
int ppfs_get_cwd(char* out, size_t out_size);

int ppfs_mount(const char* source, const char* target, const char* type,
               unsigned long flags, const void* data);
int ppfs_open_tty(int flags);
int ppfs_tty_ioctl(int fd, void* arg);

#ifdef __cplusplus
}
#endif

#endif  /* NACL_IO_FILE_LAYER_H_ */
