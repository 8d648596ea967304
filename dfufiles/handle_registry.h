// A process-wide table of objects behind handles: the object's own address
// is its handle. Searched from the first entry; registering appends and
// unregistering closes the gap. Threads that each work on their own objects
// may share the table: every look at it holds its lock, and an object stays
// where it is while the table moves its entries.
#ifndef ZUVA_DFUFILES_HANDLE_REGISTRY_H_
#define ZUVA_DFUFILES_HANDLE_REGISTRY_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

template <typename T>
class CHandleRegistry {
 public:
  // Takes ownership; an allocation failure destroys the object and throws.
  T* Register(std::unique_ptr<T> object) {
    std::lock_guard<std::mutex> guard(mutex_);
    T* handle = object.get();
    entries_.push_back(std::move(object));
    return handle;
  }

  // The registered object behind a handle, or null.
  T* Find(const T* handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t index = IndexOf(handle);
    return index < entries_.size() ? entries_[index].get() : nullptr;
  }

  // Destroys the object and removes its entry; false when it is not there.
  bool Destroy(const T* handle) {
    std::unique_ptr<T> destroyed;  // goes after the lock is released
    std::lock_guard<std::mutex> guard(mutex_);
    size_t index = IndexOf(handle);
    if (index == entries_.size()) return false;
    destroyed = std::move(entries_[index]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

  // Destroys every object in registry order, then empties the table.
  void DestroyAll() {
    std::lock_guard<std::mutex> guard(mutex_);
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

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<T>> entries_;
};

#endif  // ZUVA_DFUFILES_HANDLE_REGISTRY_H_
