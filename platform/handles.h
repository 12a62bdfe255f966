// Kernel objects behind HANDLEs (threads, serial ports): internal to
// the platform library.
#pragma once

#include <memory>
#include <new>

#include "win32.h"

namespace platform_detail {

// A process-wide table that is never destroyed: threads left running at
// exit may still use it. It lives in static storage, so a module unloaded
// with its tables empty leaves nothing behind.
template <class T, class Tag>
T &immortal() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T *object = new (storage) T();
  return *object;
}

struct KernelObject {
  virtual ~KernelObject() = default;
};

// Registers an object and returns its new handle.
HANDLE handle_create(std::shared_ptr<KernelObject> object);
// The object of a live handle, or null (ERROR_INVALID_HANDLE is set).
std::shared_ptr<KernelObject> handle_get(HANDLE h);
template <class T>
std::shared_ptr<T> handle_get_as(HANDLE h) {
  std::shared_ptr<T> p = std::dynamic_pointer_cast<T>(handle_get(h));
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}

}  // namespace platform_detail
