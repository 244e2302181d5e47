#include "ppplatform/instance_resources.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"

namespace pp {
namespace platform {

namespace {

struct Registry {
  std::mutex mutex;
  // Weak: the module's references keep resources alive, not the owner.
  std::map<PP_Instance, std::vector<std::weak_ptr<ResourceObject>>> resources;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void InstanceResources::Add(PP_Instance instance,
                            const std::shared_ptr<ResourceObject>& object) {
  if (!object || object->instance_.exchange(instance) == instance) return;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto& list = registry.resources[instance];
  // Resources that are gone leave their slots behind; drop them now and
  // then, so that a long-lived instance does not collect them.
  if (list.size() >= 64 && (list.size() & (list.size() - 1)) == 0) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<ResourceObject>& entry) {
                                return entry.expired();
                              }),
               list.end());
  }
  list.push_back(object);
}

void InstanceResources::AddIn(PP_Instance instance, const Var& message) {
  // Iterative: a page message may nest deeply.
  std::vector<Var> open{message};
  while (!open.empty()) {
    Var var = std::move(open.back());
    open.pop_back();
    if (var.is_resource()) {
      Add(instance, var.AsResource().object());
    } else if (var.is_array()) {
      VarArray array(var);
      for (uint32_t i = 0; i < array.GetLength(); ++i) open.push_back(array.Get(i));
    } else if (var.is_dictionary()) {
      VarDictionary dictionary(var);
      VarArray keys = dictionary.GetKeys();
      for (uint32_t i = 0; i < keys.GetLength(); ++i) {
        open.push_back(dictionary.Get(keys.Get(i)));
      }
    }
  }
}

void InstanceResources::Release(PP_Instance instance) {
  std::vector<std::weak_ptr<ResourceObject>> list;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.resources.find(instance);
    if (found == registry.resources.end()) return;
    list.swap(found->second);
    registry.resources.erase(found);
  }
  for (const auto& entry : list) {
    std::shared_ptr<ResourceObject> object = entry.lock();
    // Handed to another instance since.
    if (!object || object->instance() != instance) continue;
    object->released_.store(true);
    object->InstanceDestroyed();
  }
}

size_t InstanceResources::Count(PP_Instance instance) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.resources.find(instance);
  if (found == registry.resources.end()) return 0;
  size_t count = 0;
  for (const auto& entry : found->second) {
    std::shared_ptr<ResourceObject> object = entry.lock();
    if (object && object->instance() == instance && !object->is_released()) ++count;
  }
  return count;
}

}  // namespace platform
}  // namespace pp
