#include "ppapi/cpp/resource.h"

#include <atomic>

namespace pp {

namespace platform {

namespace {
std::atomic<PP_Resource> next_resource_id{1};
}  // namespace

ResourceObject::ResourceObject() : id_(next_resource_id.fetch_add(1)) {}

ResourceObject::~ResourceObject() = default;

}  // namespace platform

Resource::Resource() = default;

Resource::Resource(const Resource& other) = default;

Resource::Resource(std::shared_ptr<platform::ResourceObject> object)
    : object_(std::move(object)) {}

Resource::~Resource() = default;

Resource& Resource::operator=(const Resource& other) = default;

}  // namespace pp
