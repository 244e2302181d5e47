#ifndef PPAPI_CPP_RESOURCE_H_
#define PPAPI_CPP_RESOURCE_H_

#include <atomic>
#include <memory>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/pp_resource.h"

namespace pp {

class Resource;

namespace platform {

class InstanceResources;

// The browser-side object behind a resource. Platform classes (message
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

// Reference to a browser-side object, held by the module. Copies refer to
// the same object; the object lives as long as any reference does.
class Resource {
 public:
  Resource();
  Resource(const Resource& other);
  explicit Resource(std::shared_ptr<platform::ResourceObject> object);
  virtual ~Resource();
  Resource& operator=(const Resource& other);

  bool is_null() const { return !object_; }
  PP_Resource pp_resource() const { return object_ ? object_->id() : 0; }

  // The object behind the reference, for platform code.
  const std::shared_ptr<platform::ResourceObject>& object() const {
    return object_;
  }
  // Null also once the owning instance released the object.
  template <typename T>
  std::shared_ptr<T> object_as() const {
    if (!object_ || object_->is_released()) return nullptr;
    return std::dynamic_pointer_cast<T>(object_);
  }

 protected:
  void set_object(std::shared_ptr<platform::ResourceObject> object);

 private:
  std::shared_ptr<platform::ResourceObject> object_;
};

// Two references are equal when they refer to the same object.
inline bool operator==(const Resource& a, const Resource& b) {
  return a.pp_resource() == b.pp_resource();
}
inline bool operator!=(const Resource& a, const Resource& b) { return !(a == b); }

}  // namespace pp

#endif  // PPAPI_CPP_RESOURCE_H_
