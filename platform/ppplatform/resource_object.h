#ifndef PPPLATFORM_RESOURCE_OBJECT_H_
#define PPPLATFORM_RESOURCE_OBJECT_H_

#include <atomic>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/pp_resource.h"

namespace pp {

class Resource;

namespace platform {

class InstanceResources;

// The browser-side object behind a resource (pp::Resource). Platform classes (message
// loops, tracks, frames, encoders) derive from it; every pp::Resource that
// refers to the object shares ownership of it.
//
// Every pp::Resource is a reference held by the module; the platform holds
// its own objects by std::shared_ptr, which does not count. When the
// module's last reference goes, or the instance that owns the object is
// destroyed, the object learns of it through the hooks below (any thread
// for the first, the main thread for the second).
class ResourceObject {
 public:
  ResourceObject();
  virtual ~ResourceObject();
  ResourceObject(const ResourceObject&) = delete;
  ResourceObject& operator=(const ResourceObject&) = delete;

  PP_Resource id() const { return id_; }
  // The instance the resource belongs to; 0 for none.
  PP_Instance instance() const { return instance_.load(); }
  // True once the owning instance is gone: module references then lead
  // nowhere (calls through them fail with PP_ERROR_BADRESOURCE).
  bool is_released() const { return released_.load(); }
  // How many pp::Resource references the module holds.
  int module_references() const { return module_references_.load(); }

 protected:
  // The module dropped its last reference (it may take a new one later,
  // when the platform hands the object out again). Objects with calls in
  // flight abort them here.
  virtual void LastModuleReferenceReleased();
  // The owning instance was destroyed. The default does what the release
  // of the last reference does.
  virtual void InstanceDestroyed();

 private:
  friend class pp::Resource;
  friend class InstanceResources;

  void AddModuleReference();
  void ReleaseModuleReference();

  const PP_Resource id_;
  std::atomic<int> module_references_{0};
  std::atomic<PP_Instance> instance_{0};
  std::atomic<bool> released_{false};
};

}  // namespace platform

}  // namespace pp

#endif  // PPPLATFORM_RESOURCE_OBJECT_H_
