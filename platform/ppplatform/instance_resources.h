#ifndef PPPLATFORM_INSTANCE_RESOURCES_H_
#define PPPLATFORM_INSTANCE_RESOURCES_H_

// Which instance each resource belongs to. A resource belongs to the
// instance it was created for, and a resource that the page hands over in
// a message becomes a resource of the instance that receives it. When an
// instance is destroyed its resources are released: each learns of it
// (ResourceObject::InstanceDestroyed, which aborts its calls in flight),
// and the module's references to it lead nowhere from then on.
//
// A new resource type creates its object with NewInstanceResource in the
// wrapper's constructor (see pending_completion.h for the whole example).
// Any thread.

#include <cstddef>
#include <memory>
#include <utility>

#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/var.h"

namespace pp {
namespace platform {

class InstanceResources {
 public:
  // |object| now belongs to |instance| (and no longer to another one).
  static void Add(PP_Instance instance, const std::shared_ptr<ResourceObject>& object);
  // Every resource inside |message|, at any depth, becomes |instance|'s.
  static void AddIn(PP_Instance instance, const Var& message);
  // Main thread, once the instance is gone: releases its resources.
  static void Release(PP_Instance instance);
  // The live resources that belong to |instance|.
  static size_t Count(PP_Instance instance);
};

// A new object of type T for |instance|, registered as its resource; null
// for the null instance, as a browser gives a null resource then.
template <typename T, typename... Args>
std::shared_ptr<T> NewInstanceResource(const InstanceHandle& instance, Args&&... args) {
  if (!instance.pp_instance()) return nullptr;
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  InstanceResources::Add(instance.pp_instance(), object);
  return object;
}

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_INSTANCE_RESOURCES_H_
