#ifndef PPPLATFORM_FILE_SYSTEMS_H_
#define PPPLATFORM_FILE_SYSTEMS_H_

#include <string>

namespace pp {
namespace platform {

enum class Html5FileSystemType { kPersistent, kTemporary };

// Host side: the directory that backs the browser's HTML5 file system of
// |type|; an empty directory makes that file system unavailable, so that
// mounting it fails. Unset types are unavailable.
void SetHtml5FileSystem(Html5FileSystemType type, const std::string& directory);

// The host path that a file call for |path| reaches ("" when |path| lies
// under no mount point).
std::string HostPathFor(const std::string& path);

// Forgets every mount point (between runs in one process).
void UnmountAll();

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_FILE_SYSTEMS_H_
