// The sandbox's POSIX layer: mount table, path mapping, the descriptors
// opened under a mount and the working directory. The C library's file
// calls reach this through nacl_io/interpose.c. Nothing here may call an
// interposed call: the raw system calls are used instead.

#include "nacl_io/nacl_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nacl_io/file_layer.h"
#include "ppplatform/file_systems.h"
#include "ppplatform/tty.h"

namespace pp {
namespace platform {

namespace {

struct Mount {
  std::string point;     // normalised, absolute, no trailing slash
  std::string host_dir;  // no trailing slash
  Html5FileSystemType type;
};

// A descriptor opened under a mount. The device and inode tell a
// descriptor number reused behind the layer's back (closed inside the C
// library) from the one recorded.
struct TrackedFd {
  Html5FileSystemType type;
  dev_t dev;
  ino_t ino;
  std::string page_path;
};

const int kFdFlags = 65536;

struct LayerState {
  std::mutex mutex;
  std::vector<Mount> mounts;
  std::map<int, TrackedFd> fds;
  std::string cwd;  // page path; empty while the working directory is the host's
};

// Never freed: file calls may come after static destructors ran.
LayerState& State() {
  static LayerState* state = new LayerState();
  return *state;
}

// Set for every descriptor number that may be in State().fds, so that the
// calls on all other descriptors pass without a lock.
std::atomic<bool> fd_flags[kFdFlags];

std::atomic<bool> initialized{false};
std::atomic<bool> any_mounts{false};
// Whether the working directory lies in a mount, so that the relative
// paths of everyone else pass without a lock.
std::atomic<bool> cwd_in_mount{false};

// Hops through symbolic links before a lookup fails with ELOOP, as Linux.
const int kMaxLinks = 40;

int RawLstat(const std::string& path, struct stat* info) {
  return static_cast<int>(
      syscall(SYS_newfstatat, AT_FDCWD, path.c_str(), info, AT_SYMLINK_NOFOLLOW));
}

int RawFstat(int fd, struct stat* info) { return static_cast<int>(syscall(SYS_fstat, fd, info)); }

bool RawReadLink(const std::string& path, std::string* target) {
  char buffer[PATH_MAX];
  long length = syscall(SYS_readlinkat, AT_FDCWD, path.c_str(), buffer, sizeof(buffer));
  if (length < 0 || length >= static_cast<long>(sizeof(buffer))) return false;
  target->assign(buffer, length);
  return true;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinPath(const std::vector<std::string>& parts) {
  std::string path;
  for (const auto& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

bool UnderPoint(const std::string& path, const std::string& point) {
  return path == point ||
         (path.size() > point.size() && path.compare(0, point.size(), point) == 0 &&
          path[point.size()] == '/');
}

const Mount* FindMount(const std::vector<Mount>& mounts, const std::string& path) {
  for (const auto& mount : mounts) {
    if (UnderPoint(path, mount.point)) return &mount;
  }
  return nullptr;
}

const Mount* FindMountOfHostPath(const std::vector<Mount>& mounts, const std::string& path) {
  for (const auto& mount : mounts) {
    if (UnderPoint(path, mount.host_dir)) return &mount;
  }
  return nullptr;
}

std::vector<Mount> CopyMounts() {
  LayerState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.mounts;
}

// Collapses "//", "." and ".." as the sandbox's layer does. |entered| tells
// whether the walk went through a mount point on the way: a path that
// climbs out of a mount ends in the sandbox's own namespace, never in the
// host's directories.
std::string Normalize(const std::string& path, const std::vector<Mount>& mounts,
                      bool* entered) {
  std::vector<std::string> parts;
  for (const auto& part : SplitPath(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
    if (entered && !*entered && FindMount(mounts, JoinPath(parts))) *entered = true;
  }
  return JoinPath(parts);
}

struct Resolution {
  const Mount* mount = nullptr;
  std::string relative;  // under the mount, "" or "/a/b"
};

// Follows the symbolic links of |relative| inside |mount| as the host's
// kernel would, except that no link leads out of the mounts: ".." stops at
// the mount point and an absolute target that names no mounted directory
// is taken from the mount point, as from a root.
bool ResolveLinks(const std::vector<Mount>& mounts, const Mount* mount,
                  const std::string& relative, bool follow, Resolution* out) {
  std::deque<std::string> todo;
  for (const auto& part : SplitPath(relative)) todo.push_back(part);
  std::vector<std::string> done;
  int links = 0;
  while (!todo.empty()) {
    std::string part = todo.front();
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    if (todo.empty() && !follow) break;
    std::string host_path = mount->host_dir + (done.empty() ? "" : JoinPath(done));
    struct stat info;
    if (RawLstat(host_path, &info) != 0 || !S_ISLNK(info.st_mode)) continue;
    if (++links > kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    std::string target;
    if (!RawReadLink(host_path, &target)) {
      errno = ENOENT;
      return false;
    }
    done.pop_back();
    if (!target.empty() && target[0] == '/') {
      std::string normalized = Normalize(target, mounts, nullptr);
      if (const Mount* host_mount = FindMountOfHostPath(mounts, normalized)) {
        mount = host_mount;
        normalized = normalized.substr(host_mount->host_dir.size());
      } else if (const Mount* page_mount = FindMount(mounts, normalized)) {
        mount = page_mount;
        normalized = normalized.substr(page_mount->point.size());
      }
      done.clear();
      target = normalized;
    }
    std::vector<std::string> target_parts = SplitPath(target);
    todo.insert(todo.begin(), target_parts.begin(), target_parts.end());
  }
  out->mount = mount;
  out->relative = done.empty() ? "" : JoinPath(done);
  return true;
}

bool TrackedPagePath(int fd, std::string* page_path) {
  if (fd < 0 || fd >= kFdFlags || !fd_flags[fd].load(std::memory_order_acquire)) return false;
  struct stat info;
  if (RawFstat(fd, &info) != 0) return false;
  LayerState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.fds.find(fd);
  if (found == state.fds.end() || found->second.dev != info.st_dev ||
      found->second.ino != info.st_ino) {
    return false;
  }
  *page_path = found->second.page_path;
  return true;
}

std::string CurrentCwd() {
  if (!cwd_in_mount.load(std::memory_order_acquire)) return std::string();
  LayerState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.cwd;
}

// The page path that |host_path| (from a mapping) names, or "".
std::string PagePathOf(const std::string& host_path) {
  std::vector<Mount> mounts = CopyMounts();
  const Mount* mount = FindMountOfHostPath(mounts, host_path);
  if (!mount) return std::string();
  return mount->point + host_path.substr(mount->host_dir.size());
}

bool CopyOut(const std::string& text, char* out, size_t out_size) {
  if (text.size() + 1 > out_size) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// "type=PERSISTENT,expected_size=1048576" -> the file system type.
bool TypeForMountData(const char* data, Html5FileSystemType* type) {
  std::string name = "PERSISTENT";
  std::string options = data ? data : "";
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string::npos) end = options.size();
    std::string option = options.substr(start, end - start);
    if (option.compare(0, 5, "type=") == 0) name = option.substr(5);
    start = end + 1;
  }
  if (name == "PERSISTENT") {
    *type = Html5FileSystemType::kPersistent;
  } else if (name == "TEMPORARY") {
    *type = Html5FileSystemType::kTemporary;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string HostPathFor(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::string();
  std::vector<Mount> mounts = CopyMounts();
  std::string normalized = Normalize(path, mounts, nullptr);
  const Mount* mount = FindMount(mounts, normalized);
  if (!mount) return std::string();
  return mount->host_dir + normalized.substr(mount->point.size());
}

void UnmountAll() {
  LayerState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.mounts.clear();
  state.cwd.clear();
  cwd_in_mount.store(false);
  any_mounts.store(false);
}

void InitNaclIo() {
  // One layer per process; later instances share it.
  initialized.store(true);
  __atomic_store_n(&ppplatform_file_layer_active, 1, __ATOMIC_RELEASE);
}

int MountHtml5(const char* target, const char* data) {
  if (!initialized.load()) {
    errno = ENOSYS;
    return -1;
  }
  if (!target || target[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  Html5FileSystemType type;
  if (!TypeForMountData(data, &type)) {
    errno = EINVAL;
    return -1;
  }
  std::string directory = Html5FileSystemDirectory(type);
  struct stat info;
  if (directory.empty() || syscall(SYS_newfstatat, AT_FDCWD, directory.c_str(), &info, 0) != 0 ||
      !S_ISDIR(info.st_mode)) {
    // The browser refused the file system.
    errno = ENODEV;
    return -1;
  }
  std::string point = Normalize(target, {}, nullptr);
  LayerState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto& mount : state.mounts) {
    if (mount.point == point) {
      mount.host_dir = directory;
      mount.type = type;
      return 0;
    }
  }
  state.mounts.push_back(Mount{point, directory, type});
  any_mounts.store(true);
  return 0;
}

int MapPath(int dirfd, const char* path, bool follow, std::string* host_path,
            int* file_system) {
  if (!path || !initialized.load()) return PPFS_HOST;
  std::string full;
  bool entered = false;
  if (path[0] == '/') {
    full = path;
  } else {
    if (path[0] == '\0') return PPFS_HOST;  // the descriptor itself
    std::string base;
    if (dirfd == AT_FDCWD) {
      base = CurrentCwd();
    } else if (!TrackedPagePath(dirfd, &base)) {
      base.clear();
    }
    if (base.empty()) return PPFS_HOST;
    // Relative to a directory in a mount: the walk starts inside it.
    full = base + "/" + path;
    entered = true;
  }
  if (!any_mounts.load() && !entered) {
    return Normalize(full, {}, nullptr) == "/dev/tty" ? PPFS_TTY : PPFS_HOST;
  }
  std::vector<Mount> mounts = CopyMounts();
  std::string normalized = Normalize(full, mounts, &entered);
  if (normalized == "/dev/tty") return PPFS_TTY;
  const Mount* mount = FindMount(mounts, normalized);
  if (!mount) {
    if (!entered) return PPFS_HOST;
    // Climbed out of a mount: the sandbox's own namespace has nothing there.
    errno = ENOENT;
    return -1;
  }
  Resolution resolved;
  if (!ResolveLinks(mounts, mount, normalized.substr(mount->point.size()), follow, &resolved)) {
    return -1;
  }
  *host_path = resolved.mount->host_dir + resolved.relative;
  if (file_system) *file_system = resolved.mount->type == Html5FileSystemType::kPersistent ? 0 : 1;
  return PPFS_MAPPED;
}

}  // namespace platform
}  // namespace pp

using pp::platform::fd_flags;
using pp::platform::kFdFlags;
using pp::platform::State;

extern "C" {

int nacl_io_init_ppapi(PP_Instance instance, PPB_GetInterface get_interface) {
  pp::platform::InitNaclIo();
  return 0;
}

int ppfs_map(int dirfd, const char* path, int follow, char* out, size_t out_size,
             int* file_system) {
  std::string host_path;
  int kind = pp::platform::MapPath(dirfd, path, follow != 0, &host_path, file_system);
  if (kind == PPFS_MAPPED && !pp::platform::CopyOut(host_path, out, out_size)) return -1;
  return kind;
}

void ppfs_fd_opened(int fd, const char* host_path) {
  if (fd < 0 || fd >= kFdFlags) return;
  if (!host_path) {
    if (fd_flags[fd].load(std::memory_order_acquire)) ppfs_fd_closed(fd);
    return;
  }
  std::vector<pp::platform::Mount> mounts = pp::platform::CopyMounts();
  const pp::platform::Mount* mount = pp::platform::FindMountOfHostPath(mounts, host_path);
  struct stat info;
  if (!mount || pp::platform::RawFstat(fd, &info) != 0) {
    ppfs_fd_closed(fd);
    return;
  }
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.fds[fd] = pp::platform::TrackedFd{
      mount->type, info.st_dev, info.st_ino,
      mount->point + std::string(host_path).substr(mount->host_dir.size())};
  fd_flags[fd].store(true, std::memory_order_release);
}

void ppfs_fd_closed(int fd) {
  if (fd < 0 || fd >= kFdFlags || !fd_flags[fd].load(std::memory_order_acquire)) return;
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.fds.erase(fd);
  fd_flags[fd].store(false, std::memory_order_release);
}

int ppfs_fd_maybe_tracked(int fd) {
  return fd >= 0 && fd < kFdFlags && fd_flags[fd].load(std::memory_order_acquire);
}

namespace {
std::mutex stream_mutex;
std::map<void*, int>* streams = new std::map<void*, int>();
std::atomic<int> stream_count{0};
}  // namespace

void ppfs_stream_opened(void* stream, int fd) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  (*streams)[stream] = fd;
  stream_count.store(static_cast<int>(streams->size()));
}

void ppfs_stream_closed(void* stream) {
  std::lock_guard<std::mutex> lock(stream_mutex);
  streams->erase(stream);
  stream_count.store(static_cast<int>(streams->size()));
}

int ppfs_stream_fd(void* stream) {
  if (stream_count.load() == 0) return -1;
  std::lock_guard<std::mutex> lock(stream_mutex);
  auto found = streams->find(stream);
  return found == streams->end() ? -1 : found->second;
}

void ppfs_fd_duplicated(int old_fd, int new_fd) {
  if (new_fd < 0 || new_fd >= kFdFlags) return;
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = old_fd >= 0 && old_fd < kFdFlags && fd_flags[old_fd].load()
                   ? state.fds.find(old_fd)
                   : state.fds.end();
  if (found == state.fds.end()) {
    state.fds.erase(new_fd);
    fd_flags[new_fd].store(false, std::memory_order_release);
    return;
  }
  state.fds[new_fd] = found->second;
  fd_flags[new_fd].store(true, std::memory_order_release);
}

int ppfs_fd_file_system(int fd, const struct stat* info) {
  if (fd < 0 || fd >= kFdFlags || !fd_flags[fd].load(std::memory_order_acquire)) return -1;
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.fds.find(fd);
  if (found == state.fds.end()) return -1;
  if (found->second.dev != info->st_dev || found->second.ino != info->st_ino) {
    // The number was reused for another file without the layer seeing it.
    state.fds.erase(found);
    fd_flags[fd].store(false, std::memory_order_release);
    return -1;
  }
  return found->second.type == pp::platform::Html5FileSystemType::kPersistent ? 0 : 1;
}

namespace {
pp::platform::Html5FileSystemType TypeOfIndex(int file_system) {
  return file_system == 0 ? pp::platform::Html5FileSystemType::kPersistent
                          : pp::platform::Html5FileSystemType::kTemporary;
}
}  // namespace

int64_t ppfs_quota_begin(int file_system) {
  return pp::platform::HoldQuota(TypeOfIndex(file_system));
}

void ppfs_quota_end(int file_system) { pp::platform::ReleaseQuota(TypeOfIndex(file_system)); }

int ppfs_page_path(const char* host_path, char* out, size_t out_size) {
  if (!host_path || host_path[0] != '/') return 0;
  std::string page = pp::platform::PagePathOf(host_path);
  if (page.empty()) return 0;
  return pp::platform::CopyOut(page, out, out_size) ? 1 : -1;
}

void ppfs_set_cwd(const char* host_path) {
  std::string page = host_path ? pp::platform::PagePathOf(host_path) : std::string();
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.cwd = page;
  pp::platform::cwd_in_mount.store(!page.empty(), std::memory_order_release);
}

void ppfs_set_cwd_fd(int fd) {
  std::string page;
  if (!pp::platform::TrackedPagePath(fd, &page)) page.clear();
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.cwd = page;
  pp::platform::cwd_in_mount.store(!page.empty(), std::memory_order_release);
}

int ppfs_get_cwd(char* out, size_t out_size) {
  std::string cwd = pp::platform::CurrentCwd();
  if (cwd.empty()) return 0;
  if (cwd.size() + 1 > out_size) {
    errno = ERANGE;
    return -1;
  }
  memcpy(out, cwd.c_str(), cwd.size() + 1);
  return 1;
}

// -2 when the file system type is not ours (the caller forwards the call).
int ppfs_mount(const char* source, const char* target, const char* type, unsigned long flags,
               const void* data) {
  if (!type || strcmp(type, "html5fs") != 0) return -2;
  return pp::platform::MountHtml5(target, static_cast<const char*>(data));
}

int ppfs_open_tty(int flags) { return pp::platform::OpenTty(flags); }

int ppfs_tty_ioctl(int fd, void* arg) {
  return pp::platform::SetTtyOutputHandler(fd, static_cast<const tioc_nacl_output*>(arg));
}

}  // extern "C"
