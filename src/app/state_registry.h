// The shared state objects, one per type, owned for the life of the application. Registering a
// second object of a type is a programming error and stops the program.
#pragma once

#include <memory>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "common/fatal.h"

namespace kavor {

class StateRegistry {
 public:
  StateRegistry() = default;
  StateRegistry(const StateRegistry&) = delete;
  StateRegistry& operator=(const StateRegistry&) = delete;
  ~StateRegistry() {
    // Later objects may refer to earlier ones: release in reverse order of registration.
    while (!order_.empty()) {
      objects_.erase(order_.back());
      order_.pop_back();
    }
  }

  template <typename T>
  T& add(std::unique_ptr<T> object) {
    const std::type_index type(typeid(T));
    if (objects_.count(type) != 0) fatal("state object registered twice");
    T& ref = *object;
    objects_.emplace(type, std::shared_ptr<void>(std::move(object)));
    order_.push_back(type);
    return ref;
  }

  template <typename T>
  T* find() const {
    const auto it = objects_.find(std::type_index(typeid(T)));
    return it == objects_.end() ? nullptr : static_cast<T*>(it->second.get());
  }

  template <typename T>
  T& get() const {
    T* object = find<T>();
    if (object == nullptr) fatal("state object used before it was registered");
    return *object;
  }

 private:
  std::unordered_map<std::type_index, std::shared_ptr<void>> objects_;
  std::vector<std::type_index> order_;
};

}  // namespace kavor
