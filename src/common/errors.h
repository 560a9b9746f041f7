// The one exception type of the program: an unexpected fault, or one of the few routines
// that raise on failure. It carries the Russian text that the user is shown.
#pragma once

#include <stdexcept>
#include <string>

namespace dorvex {

class Error : public std::runtime_error {
 public:
  explicit Error(std::wstring message) : std::runtime_error("dorvex error"), message_(std::move(message)) {}
  const std::wstring& Message() const { return message_; }

 private:
  std::wstring message_;
};

}  // namespace dorvex
