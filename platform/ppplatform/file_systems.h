#ifndef PPPLATFORM_FILE_SYSTEMS_H_
#define PPPLATFORM_FILE_SYSTEMS_H_

// The browser's side of the HTML5 file systems: which host directory backs
// each type and how many bytes the page may keep in it. Any thread.

#include <stdint.h>

#include <string>

namespace pp {
namespace platform {

enum class Html5FileSystemType { kPersistent, kTemporary };

const int64_t kUnlimitedQuota = -1;

// Host side: the directory that backs the browser's HTML5 file system of
// |type|; an empty directory makes that file system unavailable, so that
// mounting it fails. Unset types are unavailable.
void SetHtml5FileSystem(Html5FileSystemType type, const std::string& directory);
// The directory behind |type| ("" when unavailable).
std::string Html5FileSystemDirectory(Html5FileSystemType type);

// The most bytes the files of |type| may hold together; writes beyond fail
// with ENOSPC as on a full disk. kUnlimitedQuota (the default) lifts it.
void SetHtml5FileSystemQuota(Html5FileSystemType type, int64_t bytes);
// Bytes the regular files under the directory of |type| hold, as the
// browser counts its usage.
int64_t Html5FileSystemUsage(Html5FileSystemType type);

// Holds the quota of |type| while a call that may grow its files runs, so
// that two writers cannot both take the last free bytes; returns the bytes
// the files may still grow by (INT64_MAX without a quota). Every hold ends
// with ReleaseQuota on the same thread.
int64_t HoldQuota(Html5FileSystemType type);
void ReleaseQuota(Html5FileSystemType type);

// The host path that a file call for |path| reaches ("" when |path| lies
// under no mount point).
std::string HostPathFor(const std::string& path);

// Forgets every mount point (between runs in one process).
void UnmountAll();

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_FILE_SYSTEMS_H_
