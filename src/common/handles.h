// Small owners of Windows handles, so that every way out of a function releases them.
#pragma once

#include <windows.h>

#include <utility>

namespace dorvex {

template <typename Traits>
class Handle {
 public:
  using value_type = typename Traits::type;
  Handle() = default;
  explicit Handle(value_type h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, Traits::invalid())) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Traits::invalid()));
    return *this;
  }
  ~Handle() { reset(); }
  value_type get() const { return h_; }
  explicit operator bool() const { return h_ != Traits::invalid(); }
  value_type release() { return std::exchange(h_, Traits::invalid()); }
  void reset(value_type h = Traits::invalid()) {
    if (h_ != Traits::invalid()) Traits::close(h_);
    h_ = h;
  }
  value_type* put() {
    reset();
    return &h_;
  }

 private:
  value_type h_ = Traits::invalid();
};

struct KernelHandleTraits {  // events, processes, semaphores: null when absent
  using type = HANDLE;
  static type invalid() { return nullptr; }
  static void close(type h) { CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFile: INVALID_HANDLE_VALUE when absent
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { CloseHandle(h); }
};
struct FindHandleTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { FindClose(h); }
};
struct RegKeyTraits {
  using type = HKEY;
  static type invalid() { return nullptr; }
  static void close(type h) { RegCloseKey(h); }
};
struct ModuleTraits {
  using type = HMODULE;
  static type invalid() { return nullptr; }
  static void close(type h) { FreeLibrary(h); }
};
struct GdiTraits {
  using type = HGDIOBJ;
  static type invalid() { return nullptr; }
  static void close(type h) { DeleteObject(h); }
};

using UniqueHandle = Handle<KernelHandleTraits>;
using FileHandle = Handle<FileHandleTraits>;
using FindHandle = Handle<FindHandleTraits>;
using RegKey = Handle<RegKeyTraits>;
using ModuleHandle = Handle<ModuleTraits>;
using GdiObject = Handle<GdiTraits>;

// Sets the process's error mode for the life of the object and restores it afterwards.
class ErrorModeGuard {
 public:
  explicit ErrorModeGuard(UINT mode) : previous_(SetErrorMode(mode)) {}
  ~ErrorModeGuard() { SetErrorMode(previous_); }
  ErrorModeGuard(const ErrorModeGuard&) = delete;
  ErrorModeGuard& operator=(const ErrorModeGuard&) = delete;

 private:
  UINT previous_;
};

}  // namespace dorvex
