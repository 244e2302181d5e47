// The sandbox's POSIX layer: mount table, path mapping and the terminal.
// The C library's file calls reach this through nacl_io/interpose.c.

#include "nacl_io/nacl_io.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ppplatform/file_systems.h"
#include "ppplatform/tty.h"

namespace pp {
namespace platform {

namespace {

struct Mount {
  std::string point;     // normalised, absolute, no trailing slash
  std::string host_dir;  // no trailing slash
};

struct FileSystemState {
  std::mutex mutex;
  std::vector<Mount> mounts;
  std::string persistent_dir;
  std::string temporary_dir;
};

// Never freed: file calls may come after static destructors ran.
FileSystemState& State() {
  static FileSystemState* state = new FileSystemState();
  return *state;
}

std::atomic<bool> initialized{false};
std::atomic<bool> any_mounts{false};

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Collapses "//", "." and ".." as the sandbox's layer does, so that a page
// path cannot climb out of a mount point into the host's directories.
std::string Normalize(const char* path) {
  std::vector<std::string> parts;
  const char* p = path;
  while (*p) {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p && *p != '/') ++p;
    std::string part(start, p - start);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string normalized;
  for (const auto& part : parts) normalized += "/" + part;
  return normalized.empty() ? "/" : normalized;
}

bool UnderPoint(const std::string& path, const std::string& point) {
  return path == point ||
         (path.size() > point.size() && path.compare(0, point.size(), point) == 0 &&
          path[point.size()] == '/');
}

// "type=PERSISTENT,expected_size=1048576" -> the backing directory, or "".
bool DirectoryForMountData(const char* data, std::string* directory) {
  std::string type = "PERSISTENT";
  std::string options = data ? data : "";
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string::npos) end = options.size();
    std::string option = options.substr(start, end - start);
    if (option.compare(0, 5, "type=") == 0) type = option.substr(5);
    start = end + 1;
  }
  FileSystemState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (type == "PERSISTENT") {
    *directory = state.persistent_dir;
  } else if (type == "TEMPORARY") {
    *directory = state.temporary_dir;
  } else {
    return false;
  }
  return true;
}

}  // namespace

void SetHtml5FileSystem(Html5FileSystemType type, const std::string& directory) {
  FileSystemState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::string dir = StripTrailingSlashes(directory);
  if (type == Html5FileSystemType::kPersistent) {
    state.persistent_dir = dir;
  } else {
    state.temporary_dir = dir;
  }
}

std::string HostPathFor(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::string();
  std::string normalized = Normalize(path.c_str());
  FileSystemState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  for (const auto& mount : state.mounts) {
    if (UnderPoint(normalized, mount.point)) {
      return mount.host_dir + normalized.substr(mount.point.size());
    }
  }
  return std::string();
}

void UnmountAll() {
  FileSystemState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.mounts.clear();
  any_mounts.store(false);
}


void InitNaclIo() {
  // One layer per process; later instances share it.
  initialized.store(true);
}

int ResolvePath(const char* path, char* out, size_t out_size) {
  if (!path || path[0] != '/' || !initialized.load()) return 0;
  if (Normalize(path) == "/dev/tty") return 2;
  if (!any_mounts.load()) return 0;
  std::string host_path = HostPathFor(path);
  if (host_path.empty()) return 0;
  if (host_path.size() + 1 > out_size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(out, host_path.c_str(), host_path.size() + 1);
  return 1;
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
  std::string directory;
  if (!DirectoryForMountData(data, &directory)) {
    errno = EINVAL;
    return -1;
  }
  struct stat info;
  if (directory.empty() || stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    // The browser refused the file system.
    errno = ENODEV;
    return -1;
  }
  std::string point = Normalize(target);
  FileSystemState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto& mount : state.mounts) {
    if (mount.point == point) {
      mount.host_dir = directory;
      return 0;
    }
  }
  state.mounts.push_back(Mount{point, directory});
  any_mounts.store(true);
  return 0;
}

}  // namespace platform
}  // namespace pp

extern "C" {

int nacl_io_init_ppapi(PP_Instance instance, PPB_GetInterface get_interface) {
  pp::platform::InitNaclIo();
  return 0;
}

// For interpose.c. 0: use |path| as it is; 1: use |out|; 2: the terminal
// device; -1: error (errno set).
int ppplatform_resolve_path(const char* path, char* out, size_t out_size) {
  return pp::platform::ResolvePath(path, out, out_size);
}

// -2 when the file system type is not ours (the caller forwards the call).
int ppplatform_mount(const char* source, const char* target, const char* type,
                     unsigned long flags, const void* data) {
  if (!type || strcmp(type, "html5fs") != 0) return -2;
  return pp::platform::MountHtml5(target, static_cast<const char*>(data));
}

int ppplatform_open_tty(int flags) { return pp::platform::OpenTty(flags); }

int ppplatform_tty_ioctl(int fd, void* arg) {
  return pp::platform::SetTtyOutputHandler(fd, static_cast<const tioc_nacl_output*>(arg));
}

}  // extern "C"
