#include "ppapi/cpp/resource.h"

namespace pp {

Resource::Resource() = default;

Resource::Resource(const Resource& other) : object_(other.object_) {
  if (object_) object_->AddModuleReference();
}

Resource::Resource(std::shared_ptr<platform::ResourceObject> object)
    : object_(std::move(object)) {
  if (object_) object_->AddModuleReference();
}

Resource::~Resource() { set_object(nullptr); }

Resource& Resource::operator=(const Resource& other) {
  set_object(other.object_);
  return *this;
}

void Resource::set_object(std::shared_ptr<platform::ResourceObject> object) {
  if (object == object_) return;
  if (object) object->AddModuleReference();
  // The hook runs while this reference still keeps the object alive.
  std::shared_ptr<platform::ResourceObject> old = std::move(object_);
  object_ = std::move(object);
  if (old) old->ReleaseModuleReference();
}

}  // namespace pp
