// The report routes of a delivery session: what the pipeline tells the window, and the
// abort method that the Stop button calls. A sender is whoever reports (may be null).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dorvex {

using StageTextHandler = std::function<void(const std::wstring& text)>;
// Sizes and counters add up in 64 bits: a map's files may together pass 2 GiB.
using SizeHandler = std::function<void(void* sender, int64_t size, bool valid)>;
using TrafficHandler = std::function<void(void* sender, bool sent, int32_t count)>;
using MessageHandler = std::function<void(void* sender, const std::wstring& text)>;
using ConnectionHandler = std::function<void(void* sender, bool connected)>;
using AbortMethod = std::function<void(void* sender)>;

// Installs an abort method into the window's abort variable for the life of the object and
// puts the previous one back on every way out, exceptions included.
class AbortScope {
 public:
  AbortScope(AbortMethod& slot, AbortMethod method) : slot_(slot), previous_(slot) { slot_ = std::move(method); }
  ~AbortScope() { slot_ = previous_; }
  AbortScope(const AbortScope&) = delete;
  AbortScope& operator=(const AbortScope&) = delete;
  const AbortMethod& Previous() const { return previous_; }

 private:
  AbortMethod& slot_;
  AbortMethod previous_;
};

}  // namespace dorvex
