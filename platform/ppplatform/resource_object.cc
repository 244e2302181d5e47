#include "ppplatform/resource_object.h"

namespace pp {

namespace platform {

namespace {
std::atomic<PP_Resource> next_resource_id{1};
}  // namespace

ResourceObject::ResourceObject() : id_(next_resource_id.fetch_add(1)) {}

ResourceObject::~ResourceObject() = default;

void ResourceObject::LastModuleReferenceReleased() {}

void ResourceObject::InstanceDestroyed() { LastModuleReferenceReleased(); }

void ResourceObject::AddModuleReference() { module_references_.fetch_add(1); }

void ResourceObject::ReleaseModuleReference() {
  if (module_references_.fetch_sub(1) == 1) LastModuleReferenceReleased();
}

}  // namespace platform

}  // namespace pp
