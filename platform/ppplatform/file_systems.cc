// The browser's side of the HTML5 file systems: the backing directories and
// the quota, counted as the browser counts it: the bytes of the files.

#include "ppplatform/file_systems.h"

#include <ftw.h>
#include <stdint.h>
#include <sys/stat.h>

#include <mutex>
#include <string>

namespace pp {
namespace platform {

namespace {

struct FileSystem {
  std::string directory;
  int64_t quota = kUnlimitedQuota;
  // Held across a call that may grow the files.
  std::mutex hold;
};

struct FileSystems {
  std::mutex mutex;  // guards directory and quota
  FileSystem persistent;
  FileSystem temporary;
  FileSystem& Of(Html5FileSystemType type) {
    return type == Html5FileSystemType::kPersistent ? persistent : temporary;
  }
};

// Never freed: file calls may come after static destructors ran.
FileSystems& State() {
  static FileSystems* state = new FileSystems();
  return *state;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// nftw has no user pointer; callers hold the file system's hold mutex, and
// this one serialises the walks themselves.
std::mutex walk_mutex;
int64_t walk_total = 0;

int AddFileSize(const char* path, const struct stat* info, int kind, struct FTW* where) {
  if (kind == FTW_F && S_ISREG(info->st_mode)) walk_total += info->st_size;
  return 0;
}

int64_t SizeOfFilesUnder(const std::string& directory) {
  if (directory.empty()) return 0;
  std::lock_guard<std::mutex> lock(walk_mutex);
  walk_total = 0;
  // Physical walk: a link is counted as the link, never what it names.
  nftw(directory.c_str(), &AddFileSize, 16, FTW_PHYS);
  return walk_total;
}

}  // namespace

void SetHtml5FileSystem(Html5FileSystemType type, const std::string& directory) {
  FileSystems& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.Of(type).directory = StripTrailingSlashes(directory);
}

std::string Html5FileSystemDirectory(Html5FileSystemType type) {
  FileSystems& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.Of(type).directory;
}

void SetHtml5FileSystemQuota(Html5FileSystemType type, int64_t bytes) {
  FileSystems& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.Of(type).quota = bytes < 0 ? kUnlimitedQuota : bytes;
}

int64_t Html5FileSystemUsage(Html5FileSystemType type) {
  return SizeOfFilesUnder(Html5FileSystemDirectory(type));
}

int64_t HoldQuota(Html5FileSystemType type) {
  FileSystems& state = State();
  FileSystem& file_system = state.Of(type);
  file_system.hold.lock();
  std::string directory;
  int64_t quota;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    directory = file_system.directory;
    quota = file_system.quota;
  }
  if (quota == kUnlimitedQuota) return INT64_MAX;
  // Counted afresh every time: files also change by calls that do not
  // grow them (unlink, rename, truncation), and the host may change them.
  int64_t used = SizeOfFilesUnder(directory);
  return used >= quota ? 0 : quota - used;
}

void ReleaseQuota(Html5FileSystemType type) { State().Of(type).hold.unlock(); }

}  // namespace platform
}  // namespace pp
