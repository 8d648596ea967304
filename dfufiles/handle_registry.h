// A process-wide table of objects behind handles: the object's own address
// is its handle. Searched from the first entry; registering appends and
// unregistering closes the gap. Used from one thread at a time.
#ifndef ZUVA_DFUFILES_HANDLE_REGISTRY_H_
#define ZUVA_DFUFILES_HANDLE_REGISTRY_H_

#include <cstddef>
#include <memory>
#include <vector>

template <typename T>
class CHandleRegistry {
 public:
  // Takes ownership; an allocation failure destroys the object and throws.
  T* Register(std::unique_ptr<T> object) {
    T* handle = object.get();
    entries_.push_back(std::move(object));
    return handle;
  }

  // The registered object behind a handle, or null.
  T* Find(const T* handle) const {
    size_t index = IndexOf(handle);
    return index < entries_.size() ? entries_[index].get() : nullptr;
  }

  // Destroys the object and removes its entry; false when it is not there.
  bool Destroy(const T* handle) {
    size_t index = IndexOf(handle);
    if (index == entries_.size()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

  // Destroys every object in registry order, then empties the table.
  void DestroyAll() {
    for (auto& entry : entries_) entry.reset();
    entries_.clear();
  }

 private:
  size_t IndexOf(const T* handle) const {
    size_t index = 0;
    if (handle == nullptr) return entries_.size();
    while (index < entries_.size() && entries_[index].get() != handle) ++index;
    return index;
  }

  std::vector<std::unique_ptr<T>> entries_;
};

#endif  // ZUVA_DFUFILES_HANDLE_REGISTRY_H_
