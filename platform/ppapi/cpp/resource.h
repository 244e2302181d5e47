#ifndef PPAPI_CPP_RESOURCE_H_
#define PPAPI_CPP_RESOURCE_H_

#include <memory>

#include "ppapi/c/pp_resource.h"

namespace pp {

namespace platform {

// The browser-side object behind a resource. Platform classes (message
// loops, tracks, frames, encoders) derive from it; every pp::Resource that
// refers to the object shares ownership of it.
class ResourceObject {
 public:
  ResourceObject();
  virtual ~ResourceObject();
  ResourceObject(const ResourceObject&) = delete;
  ResourceObject& operator=(const ResourceObject&) = delete;

  PP_Resource id() const { return id_; }

 private:
  const PP_Resource id_;
};

}  // namespace platform

// Reference to a browser-side object. Copies refer to the same object; the
// object lives as long as any reference does.
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
  template <typename T>
  std::shared_ptr<T> object_as() const {
    return std::dynamic_pointer_cast<T>(object_);
  }

 protected:
  void set_object(std::shared_ptr<platform::ResourceObject> object) {
    object_ = std::move(object);
  }

 private:
  std::shared_ptr<platform::ResourceObject> object_;
};

}  // namespace pp

#endif  // PPAPI_CPP_RESOURCE_H_
