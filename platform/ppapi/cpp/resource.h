#ifndef PPAPI_CPP_RESOURCE_H_
#define PPAPI_CPP_RESOURCE_H_

#include <memory>

#include "ppapi/c/pp_resource.h"
#include "ppplatform/resource_object.h"

namespace pp {

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
